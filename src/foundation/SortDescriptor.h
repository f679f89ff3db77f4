#pragma once
// How a list is ordered in the interface: a key and a direction. Documents keep the orders of
// their lists (routes, key combinations, delays) so that a reopened window shows them as they
// were; they are archived in the standard keyed form of sort descriptors.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <memory>
#include <string>

namespace foundation {

class SortDescriptor;
using SortDescriptorPtr = std::shared_ptr<SortDescriptor>;

class SortDescriptor : public Object {
    FND_ARCHIVED_CLASS("NSSortDescriptor", Object)

public:
    static constexpr const char* kDefaultSelector = "compare:";

    SortDescriptor() = default;
    SortDescriptor(std::string key, bool ascending, std::string selector = kDefaultSelector)
        : key_(std::move(key)), ascending_(ascending), selector_(std::move(selector)) {}
    static SortDescriptorPtr create(std::string key, bool ascending) {
        return std::make_shared<SortDescriptor>(std::move(key), ascending);
    }

    const std::string& key() const { return key_; }
    bool ascending() const { return ascending_; }
    // The name of the comparison the values are ordered with.
    const std::string& selector() const { return selector_; }

    bool isEqualToSortDescriptor(const SortDescriptor& other) const {
        return this == &other || (key_ == other.key_ && ascending_ == other.ascending_ && selector_ == other.selector_);
    }

    // "NSKey", "NSAscending", "NSSelector".
    void encodeWithCoder(KeyedArchiver& coder) const override;
    void initWithCoder(KeyedUnarchiver& coder) override;

private:
    std::string key_;
    bool ascending_ = true;
    std::string selector_ = kDefaultSelector;
};

}  // namespace foundation
