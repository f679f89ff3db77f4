#include "foundation/FoundationClasses.h"

#include "foundation/KeyedArchiver.h"
#include "foundation/SortDescriptor.h"

namespace foundation {

namespace {

void registerAll() {
    // One line per archived class.
    registerArchivedClass<SortDescriptor>();
}

}  // namespace

void registerFoundationClasses() {
    static const bool registered = (registerAll(), true);
    (void)registered;
}

}  // namespace foundation
