#pragma once
// A document's filter of the main window's list of addresses: the active filter and the
// remembered filter texts. The routing manager owns it and archives it under
// "contextFilterManager".
//
// Only the remembered texts are archived: a document always opens showing every address,
// whatever filter was active when it was saved. The main window observes "activeFilter" and lists
// again the contexts the new filter accepts.
//
// Main thread only.

#include "features/QRBContextFilter.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"

#include <memory>
#include <string>
#include <vector>

class QRBContextFilterManager;
using QRBContextFilterManagerPtr = std::shared_ptr<QRBContextFilterManager>;

class QRBContextFilterManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBContextFilterManager", foundation::Object)

public:
    static constexpr const char* kActiveFilterKey = "activeFilter";

    // Shows every address; no remembered texts.
    QRBContextFilterManager();

    // Never null.
    const QRBContextFilterPtr& activeFilter() const { return activeFilter_; }
    // Null installs the show-all filter (mode 0, no text).
    void setActiveFilter(QRBContextFilterPtr filter);

    const std::vector<std::string>& filterAddresses() const { return filterAddresses_; }
    void setFilterAddresses(std::vector<std::string> addresses) { filterAddresses_ = std::move(addresses); }

    // "filterAddresses" only.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    QRBContextFilterPtr activeFilter_;
    std::vector<std::string> filterAddresses_;
};
