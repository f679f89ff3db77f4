#pragma once
// A document's interpretation of special input on its OSC servers: the TUIO profile interpreters
// and the control API under "/quorbital/v1/", whose methods it installs on each server when the
// manager registers its methods (before the catch-all goes back to the end). The routing manager
// owns it and archives it under "tuioManager".
//
// The interpreters and the API come with those features; until then nothing is installed.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <memory>

class QRBManager;
class QRBServer;
class QRBInterpretationManager;
using QRBInterpretationManagerPtr = std::shared_ptr<QRBInterpretationManager>;

class QRBInterpretationManager : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBInterpretationManager", foundation::Object)

public:
    // Bit 1: TUIO profile messages also pass as ordinary input; bit 2: they are interpreted.
    static constexpr unsigned kPassThroughMode = 1;
    static constexpr unsigned kInterpretMode = 2;

    QRBInterpretationManager() = default;
    // The interpretation of `manager`'s document, in mode 2.
    static QRBInterpretationManagerPtr initWithManager(const std::shared_ptr<QRBManager>& manager);

    // Installs this manager's methods on `server`, replacing those it installed before.
    void installTUIOCallbacks(QRBServer& server) {}

    unsigned inputMode() const { return inputMode_; }
    void setInputMode(unsigned mode) { inputMode_ = mode; }
    std::shared_ptr<QRBManager> oscManager() const { return oscManager_.lock(); }

    // "oscManager" (conditional) and "inputMode".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    unsigned inputMode_ = kInterpretMode;
    std::weak_ptr<QRBManager> oscManager_;
};
