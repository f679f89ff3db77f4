#pragma once
// The common base of model objects: shared ownership, the archived class name and the two
// halves of keyed archiving.

#include <memory>
#include <string>
#include <vector>

namespace foundation {

class KeyedArchiver;
class KeyedUnarchiver;

class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object() = default;

    // The name this object is archived under, and the names of its ancestors after it
    // ("$classes" of the archive). Classes that are archived override both through
    // FND_ARCHIVED_CLASS.
    virtual std::string archivedClassName() const { return "NSObject"; }
    virtual std::vector<std::string> archivedClassHierarchy() const { return {"NSObject"}; }

    // Writes this object's keys. A subclass writes its superclass's keys first.
    virtual void encodeWithCoder(KeyedArchiver& coder) const {}
    // Reads this object's keys into a freshly made instance. A subclass reads its superclass's
    // keys first. Damaged input raises ArchiveError.
    virtual void initWithCoder(KeyedUnarchiver& coder) {}
    // Called once the object's keys are read: the object the archive yields in its place. Classes
    // that only exist to read old documents answer a current object, or null to drop what they
    // stood for; everything else answers itself. Objects that referred to this one while its own
    // keys were read keep this instance. A class whose instances stand for something shared (a
    // MIDI port of the machine) answers the shared object, so that later references get it.
    virtual std::shared_ptr<Object> replacementAfterDecoding() { return shared_from_this(); }
};

// Declares the archived name of a class and its parent's hierarchy.
#define FND_ARCHIVED_CLASS(NAME, PARENT)                               \
public:                                                                \
    static constexpr const char* kArchivedClassName = NAME;            \
    std::string archivedClassName() const override { return NAME; }    \
    std::vector<std::string> archivedClassHierarchy() const override { \
        auto h = PARENT::archivedClassHierarchy();                     \
        h.insert(h.begin(), NAME);                                     \
        return h;                                                      \
    }                                                                  \
                                                                       \
private:

}  // namespace foundation
