#include "core/support/FiringTestSupport.h"

#include "support/TestRegistration.h"

#include <lo/lo.h>

#include <stdexcept>

namespace firing {

TEST_REGISTER_EVENT_SOURCE(RecordingEventSource)
TEST_REGISTER_EVENT_SOURCE(ChannelFreeEventSource)

VirtualMainLoop::VirtualMainLoop() : clock_(std::make_shared<foundation::ManualClock>(1000.0)) {
    foundation::RunLoop::main().setClock(clock_);
}

VirtualMainLoop::~VirtualMainLoop() { foundation::RunLoop::main().setClock(nullptr); }

void VirtualMainLoop::advance(double seconds, foundation::RunLoopMode mode) {
    clock_->advance(seconds);
    foundation::RunLoop::main().dispatchReady(mode);
}

void VirtualMainLoop::advanceInSteps(double seconds, double step, foundation::RunLoopMode mode) {
    const double end = now() + seconds;
    while (now() + step <= end + 1e-9) advance(step, mode);
    if (end > now()) advance(end - now(), mode);
}

TestHost::TestHost() : monitor(std::make_shared<QRBMessageMonitor>()) { monitor->setDirection(0); }

TestHost::~TestHost() { activityTimer.stop(); }

void TestHost::notifyActivityOnAction(QRBAction& action) {
    ++activityNotifications;
    activityTimer.notifyActivity(action);
}

RecordingEventSource::RecordingEventSource() : log(std::make_shared<std::vector<OutputCall>>()) {}

RecordingEventSource::RecordingEventSource(std::shared_ptr<std::vector<OutputCall>> sharedLog)
    : log(std::move(sharedLog)) {}

void RecordingEventSource::record(const char* what, QRBAction& action) {
    log->push_back(OutputCall{what, &action, action.argValue()->libloType(),
                              action.argValue()->hasNumericType() ? action.argValue()->doubleValue() : 0,
                              foundation::RunLoop::main().now()});
}

QRBAcceptResult RecordingEventSource::acceptAction(QRBAction& action) {
    record("accept", action);
    return result;
}

void RecordingEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    record("attach", action);
    if (onAttach) onAttach(action);
}

void RecordingEventSource::detach(QRBAction& action) { record("detach", action); }

void RecordingEventSource::reset(QRBAction& action) {
    QRBEventSource::reset(action);
    record("reset", action);
}

std::vector<OutputCall> RecordingEventSource::accepts() const {
    std::vector<OutputCall> result;
    for (const auto& call : *log)
        if (call.what == "accept") result.push_back(call);
    return result;
}

std::vector<double> RecordingEventSource::acceptedValues() const {
    std::vector<double> values;
    for (const auto& call : accepts()) values.push_back(call.value);
    return values;
}

void RecordingConfigurator::configureAction(QRBAction& action) {
    configured.push_back(&action);
    if (giveOutputs && !dynamic_cast<QRBContext*>(&action))
        action.setEventSource(std::make_shared<RecordingEventSource>(log));
}

lo_message libloMessage(const std::vector<Arg>& args) {
    lo_message m = lo_message_new();
    for (const auto& a : args) {
        switch (a.type) {
        case 'f': lo_message_add_float(m, static_cast<float>(a.number)); break;
        case 'd': lo_message_add_double(m, a.number); break;
        case 'i': lo_message_add_int32(m, static_cast<int32_t>(a.integer)); break;
        case 'h': lo_message_add_int64(m, a.integer); break;
        case 's': lo_message_add_string(m, a.text.c_str()); break;
        case 'T': lo_message_add_true(m); break;
        case 'b': {
            lo_blob b = lo_blob_new(static_cast<int32_t>(a.text.size()), a.text.data());
            lo_message_add_blob(m, b);
            lo_blob_free(b);
            break;
        }
        default: lo_message_free(m); throw std::invalid_argument("argument type");
        }
    }
    return m;
}

QRBOSCMessagePtr message(const std::string& path, const std::vector<Arg>& args) {
    lo_message m = libloMessage(args);
    // Serialise and read back, as a received packet is.
    size_t size = 0;
    void* bytes = lo_message_serialise(m, path.c_str(), nullptr, &size);
    lo_message_free(m);
    int result = 0;
    lo_message received = lo_message_deserialise(bytes, size, &result);
    free(bytes);
    if (!received) throw std::runtime_error("liblo could not read the message back");
    auto msg = QRBOSCMessage::OSCMessageWithPath(path, received);
    lo_message_free(received);
    return msg;
}

QRBArgPtr value(const Arg& arg) { return message("/v", {arg})->arguments().at(0); }

}  // namespace firing
