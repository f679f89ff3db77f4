#pragma once
// A document's filter of the main window's list of addresses: the remembered filter addresses.
// The routing manager owns it and archives it under "contextFilterManager".
//
// The filters themselves come with the filter bar.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <memory>
#include <string>
#include <vector>

class QRBContextFilterManager;
using QRBContextFilterManagerPtr = std::shared_ptr<QRBContextFilterManager>;

class QRBContextFilterManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBContextFilterManager", foundation::Object)

public:
    const std::vector<std::string>& filterAddresses() const { return filterAddresses_; }
    void setFilterAddresses(std::vector<std::string> addresses) { filterAddresses_ = std::move(addresses); }

    // "filterAddresses" only.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::vector<std::string> filterAddresses_;
};
