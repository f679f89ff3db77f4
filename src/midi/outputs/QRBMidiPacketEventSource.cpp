#include "midi/outputs/QRBMidiPacketEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/osc/QRBArg.h"
#include "midi/QRBMIDIManager.h"
#include "midi/outputs/QRBMidiCCEventSource.h"
#include "midi/tarn/TarnMIDIManager.h"

#include <typeinfo>

QRB_DEFINE_EVENT_SOURCE_CLASS(QRBMidiPacketEventSource)

namespace {

// The length of a MIDI message from its status byte.
size_t lengthOfMessage(uint8_t status) {
    if (status >= 0xC0 && status <= 0xDF) return 2;
    if (status == 0xF0 || status == 0xF2) return 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status >= 0xF4) return 1;
    return 3;
}

}  // namespace

QRBMidiPacketEventSource::~QRBMidiPacketEventSource() { unregisterSender(); }

foundation::Value QRBMidiPacketEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    foundation::Array list;
    auto outputs = std::make_shared<QRBMidiPacketEventSource>();
    outputs->setEndpoint(nullptr);
    list.emplace_back(outputs);
    if (auto tarn = TarnMIDIManager::shared()) {
        for (const auto& destination : tarn->realDestinations()) {
            auto source = std::make_shared<QRBMidiPacketEventSource>();
            source->setEndpoint(destination);
            list.emplace_back(source);
        }
    }
    return foundation::Value(std::move(list));
}

void QRBMidiPacketEventSource::registerSender() {
    auto endpoint = endpoint_.lock();
    if (registered_ || !endpoint) return;
    endpoint->addSender(std::shared_ptr<void>(shared_from_this()));
    registeredWith_ = endpoint;
    registered_ = true;
}

void QRBMidiPacketEventSource::unregisterSender() {
    if (!registered_) return;
    if (auto endpoint = registeredWith_.lock()) endpoint->removeSender(senderKey());
    registeredWith_.reset();
    registered_ = false;
}

void QRBMidiPacketEventSource::setEndpoint(const TarnMIDIEndpointPtr& endpoint) {
    if (endpoint != endpoint_.lock()) {
        unregisterSender();
        endpoint_ = endpoint;
        // Made again for the new endpoint at the next send.
        messageEndpoint_.reset();
        registerSender();
    }
    if (endpoint)
        setName(endpoint->displayName());
    else
        setName(std::string(kActiveMIDIOutputsName));
}

QRBMIDIMessageEndpointPtr QRBMidiPacketEventSource::messageEndpoint() {
    if (!messageEndpoint_) {
        if (auto endpoint = endpoint_.lock())
            messageEndpoint_ = std::make_shared<QRBMIDIMessageEndpoint>(endpoint, 2);
        else
            return QRBMIDIMessageEndpoint::MIDIOutputsEndpoint();
    }
    return messageEndpoint_;
}

std::optional<std::string> QRBMidiPacketEventSource::displayName() const {
    if (auto endpoint = endpoint_.lock()) return endpoint->displayName();
    return name();
}

void QRBMidiPacketEventSource::attach(QRBAction& action) {
    QRBEventSource::attach(action);
    users_.insert(&action);
    registerSender();
}

void QRBMidiPacketEventSource::detach(QRBAction& action) {
    users_.erase(&action);
    if (users_.empty()) unregisterSender();
    QRBEventSource::detach(action);
}

QRBAcceptResult QRBMidiPacketEventSource::acceptAction(QRBAction& action) {
    const QRBArgPtr& value = action.argValue();
    if (!value || value->libloType() != 'm') return QRBAcceptResult::Failed;
    const foundation::Data raw = value->rawData();
    if (raw.size() < 4) return QRBAcceptResult::Failed;
    const uint8_t status = raw[1];
    // Without a status byte the receiver would take the bytes as part of whatever it is in the
    // middle of; a system-exclusive message never fits in the argument's four bytes.
    if (status < 0x80 || status == 0xF0 || status == 0xF7) return QRBAcceptResult::Failed;
    const size_t length = lengthOfMessage(status);
    foundation::Data bytes(raw.begin() + 1, raw.begin() + 1 + static_cast<long>(length));
    for (size_t i = 1; i < bytes.size(); ++i) bytes[i] &= 0x7F;

    auto manager = QRBMIDIManagerOfAction(action);
    if (!manager) return QRBAcceptResult::Failed;
    return static_cast<QRBAcceptResult>(
        manager->sendMIDIMessage(QRBMIDIMessage::MIDIMessageWithData(std::move(bytes)), messageEndpoint()));
}

bool QRBMidiPacketEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    if (typeid(other) != typeid(*this)) return false;
    return static_cast<const QRBMidiPacketEventSource&>(other).endpoint() == endpoint();
}

void QRBMidiPacketEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    coder.encodeObject(foundation::Value(endpoint()), kEndpointKey);
}

void QRBMidiPacketEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    // The endpoint names the output; the archived name may be stale.
    setName(std::nullopt);
    TarnMIDIEndpointPtr endpoint;
    foundation::Value decoded = coder.decodeObject(kEndpointKey);
    if (!decoded.isNull()) {
        endpoint = decoded.object<TarnMIDIEndpoint>();
        if (!endpoint) throw foundation::ArchiveError("value for key 'endpoint' is not a MIDI endpoint");
    }
    setEndpoint(endpoint);
}
