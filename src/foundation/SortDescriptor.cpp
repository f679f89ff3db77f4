#include "foundation/SortDescriptor.h"

namespace foundation {

namespace {
constexpr const char* kKeyKey = "NSKey";
constexpr const char* kAscendingKey = "NSAscending";
constexpr const char* kSelectorKey = "NSSelector";
}  // namespace

void SortDescriptor::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeString(key_, kKeyKey);
    coder.encodeBool(ascending_, kAscendingKey);
    coder.encodeString(selector_, kSelectorKey);
}

void SortDescriptor::initWithCoder(KeyedUnarchiver& coder) {
    key_ = coder.decodeString(kKeyKey).value_or("");
    ascending_ = coder.decodeBool(kAscendingKey);
    selector_ = coder.decodeString(kSelectorKey).value_or(kDefaultSelector);
}

}  // namespace foundation
