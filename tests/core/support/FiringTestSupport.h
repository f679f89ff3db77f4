#pragma once
// Shared pieces of the firing tests: the main run loop in virtual time, a stand-in for the
// document's manager, an output that records what it is asked, and OSC messages built through
// liblo as the network input builds them.

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionConfigurator.h"
#include "core/mapping/QRBActionHost.h"
#include "core/mapping/QRBContext.h"
#include "core/monitor/QRBActivityTimer.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/Clock.h"
#include "foundation/RunLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace firing {

// Puts the main run loop on a manual clock for the life of the object; time moves only through
// advance(), which then dispatches what became due.
class VirtualMainLoop {
public:
    VirtualMainLoop();
    ~VirtualMainLoop();
    VirtualMainLoop(const VirtualMainLoop&) = delete;
    VirtualMainLoop& operator=(const VirtualMainLoop&) = delete;

    double now() const { return foundation::RunLoop::main().now(); }
    void advance(double seconds, foundation::RunLoopMode mode = foundation::RunLoopMode::Default);
    // Moves in steps of `step` seconds so that each timer firing is seen at its own time.
    void advanceInSteps(double seconds, double step, foundation::RunLoopMode mode = foundation::RunLoopMode::Default);

private:
    std::shared_ptr<foundation::ManualClock> clock_;
};

// The manager as contexts see it.
class TestHost : public QRBActionHost {
public:
    TestHost();
    ~TestHost() override;

    bool isInputLocked() const override { return locked; }
    void notifyActivityOnAction(QRBAction& action) override;
    void removeContext(const std::shared_ptr<QRBContext>& context) override { removed.push_back(context); }
    QRBMessageMonitorPtr messageMonitor() const override { return monitor; }
    void setLastRecalledSnapshotDirty() override { ++dirtyCount; }

    bool locked = false;
    int activityNotifications = 0;
    int dirtyCount = 0;
    std::vector<std::shared_ptr<QRBContext>> removed;
    QRBMessageMonitorPtr monitor;
    QRBActivityTimer activityTimer;
};

// One thing an output was asked.
struct OutputCall {
    std::string what;  // "accept", "attach", "detach", "reset"
    const QRBAction* action;
    int32_t type;  // the action's output value at the time
    double value;
    double time;  // main loop clock
};

// An output that records every call into a log (its own, or one shared by several outputs).
class RecordingEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("TestRecordingEventSource", QRBEventSource)

public:
    RecordingEventSource();
    explicit RecordingEventSource(std::shared_ptr<std::vector<OutputCall>> log);

    static unsigned classChannelCount() { return 16; }

    QRBAcceptResult acceptAction(QRBAction& action) override;
    void attach(QRBAction& action) override;
    void detach(QRBAction& action) override;
    void reset(QRBAction& action) override;
    double outputScalingFudgeFactor() const override { return fudgeFactor; }
    double outputScalingFudgeOffset() const override { return fudgeOffset; }

    // The accept calls only.
    std::vector<OutputCall> accepts() const;
    std::vector<double> acceptedValues() const;

    std::shared_ptr<std::vector<OutputCall>> log;
    QRBAcceptResult result = QRBAcceptResult::Done;
    double fudgeFactor = 1;
    double fudgeOffset = 0;
    // Runs at attach, as real outputs configure the action's trigger there.
    std::function<void(QRBAction&)> onAttach;

private:
    void record(const char* what, QRBAction& action);
};

// An output without channels, to check that an action's channel follows its output.
class ChannelFreeEventSource : public RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestChannelFreeEventSource", RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    static unsigned classChannelCount() { return 0; }
    // Shows under the recording output's type.
    static const QRBEventSourceClass* classType() { return &RecordingEventSource::staticClass(); }
};

// Gives every new argument action its own recording output on a shared log, as the automatic
// configuration gives new actions their outputs; counts what it configured.
class RecordingConfigurator : public QRBActionConfigurator {
public:
    void configureAction(QRBAction& action) override;

    std::shared_ptr<std::vector<OutputCall>> log = std::make_shared<std::vector<OutputCall>>();
    std::vector<const QRBAction*> configured;
    bool giveOutputs = true;
};

// Installs a configurator for the life of the object.
class ConfiguratorScope {
public:
    explicit ConfiguratorScope(std::shared_ptr<QRBActionConfigurator> c)
        : previous_(QRBActionConfigurator::sharedPointer()) {
        QRBActionConfigurator::setShared(std::move(c));
    }
    ~ConfiguratorScope() { QRBActionConfigurator::setShared(previous_); }

private:
    std::shared_ptr<QRBActionConfigurator> previous_;
};

// One OSC argument to build a message from.
struct Arg {
    char type;
    double number = 0;
    int64_t integer = 0;
    std::string text;
};
inline Arg Float(double v) { return Arg{'f', v, 0, {}}; }
inline Arg Double(double v) { return Arg{'d', v, 0, {}}; }
inline Arg Int(int32_t v) { return Arg{'i', 0, v, {}}; }
inline Arg Int64(int64_t v) { return Arg{'h', 0, v, {}}; }
inline Arg String(std::string v) { return Arg{'s', 0, 0, std::move(v)}; }
inline Arg True() { return Arg{'T', 0, 0, {}}; }
inline Arg Blob(std::string bytes) { return Arg{'b', 0, 0, std::move(bytes)}; }

// A message built as liblo builds it for a received packet.
// A liblo message holding the arguments (f d i h s T b); the caller frees it.
lo_message libloMessage(const std::vector<Arg>& args);
QRBOSCMessagePtr message(const std::string& path, const std::vector<Arg>& args = {});
// One value built the same way.
QRBArgPtr value(const Arg& arg);

}  // namespace firing
