#pragma once
// The base of every message the system receives, sends or reports: OSC and MIDI messages, the
// application's own lines and the monitor's header lines. Each one knows how to show itself in
// the message monitor.

#include "foundation/Object.h"
#include "foundation/Value.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class QRBMessage;
using QRBMessagePtr = std::shared_ptr<QRBMessage>;

class QRBMessage : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBMessage", foundation::Object)

public:
    QRBMessage() = default;
    explicit QRBMessage(foundation::Dictionary userInfo) : userInfo_(std::move(userInfo)) {}

    // Free for the creator's use (back-mapping data of MIDI input and template matching).
    const foundation::Dictionary& userInfo() const { return userInfo_; }
    void setUserInfo(foundation::Dictionary userInfo) { userInfo_ = std::move(userInfo); }

    // The one-line form of the monitor.
    virtual std::string presentation() const { return {}; }
    // The text of the monitor's details column; none when the message has nothing to say there.
    virtual std::optional<std::string> details() const { return std::string(); }
    // How many text lines the presentation takes.
    virtual size_t countOfPresentedLines() const { return 1; }
    // Whether the monitor shows the message at all.
    virtual bool isMonitorable() const { return true; }

private:
    foundation::Dictionary userInfo_;
};
