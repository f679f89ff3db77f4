#include "core/support/ManagerTestSupport.h"

#include "controllers/devices/DeviceLayers.h"
#include "core/support/OSCBytes.h"
#include "support/TestRegistration.h"
#include "support/TestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/monitor/QRBMessageEvent.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace managertest {

TEST_REGISTER_EVENT_SOURCE(ProbeEventSource)

namespace {

std::vector<uint8_t> take(void* data, size_t size) {
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    std::free(data);
    return bytes;
}

}  // namespace

std::vector<uint8_t> packet(const std::string& path, const std::vector<firing::Arg>& args) {
    lo_message m = firing::libloMessage(args);
    size_t size = 0;
    void* data = lo_message_serialise(m, path.c_str(), nullptr, &size);
    lo_message_free(m);
    return take(data, size);
}

std::vector<uint8_t> bundle(foundation::OSCTimeTag tag,
                            const std::vector<std::pair<std::string, std::vector<firing::Arg>>>& messages) {
    lo_bundle b = lo_bundle_new(lo_timetag{tag.seconds, tag.fraction});
    for (const auto& [path, args] : messages) lo_bundle_add_message(b, path.c_str(), firing::libloMessage(args));
    size_t size = 0;
    void* data = lo_bundle_serialise(b, nullptr, &size);
    lo_bundle_free_recursive(b);
    return take(data, size);
}

Sender::Sender(int protocol, long port) : protocol_(protocol) {
    fd_ = socket(AF_INET, protocol == LO_TCP ? SOCK_STREAM : SOCK_DGRAM, 0);
    destination_.sin_family = AF_INET;
    destination_.sin_port = htons(uint16_t(port));
    destination_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Bound before the first send, so that the sender's port is known at once.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    if (protocol == LO_TCP) {
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&destination_), sizeof destination_), 0);
    }
}

Sender::~Sender() { close(fd_); }

void Sender::send(const std::vector<uint8_t>& bytes) {
    if (protocol_ == LO_UDP) {
        ssize_t sent =
            sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&destination_), sizeof destination_);
        EXPECT_EQ(sent, ssize_t(bytes.size()));
        return;
    }
    std::vector<uint8_t> frame = oscbytes::Bytes().element(bytes);
    ssize_t sent = ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL);
    EXPECT_EQ(sent, ssize_t(frame.size()));
}

long Sender::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

QRBAcceptResult ProbeEventSource::acceptAction(QRBAction& action) {
    firings->push_back(Firing{action.address(), action.argValue()->doubleValue(), std::this_thread::get_id()});
    if (onAccept) onAccept(action);
    return QRBAcceptResult::Done;
}

void ManagerFixture::SetUp() {
    savedBackmappingRouteMaker_ = QRBManager::currentBackmappingRouteMaker();
    foundation::BonjourBackend::setShared(bonjour);
    configuratorScope_ = std::make_unique<firing::ConfiguratorScope>(configurator);
    port = testsupport::freePort();
    ASSERT_NE(port, 0) << "no free port";
    devices::DeviceLayers layers;
    layers.wiiRemotes = wiiRemotes;
    devices::DeviceLayers::install(layers);
    wii = std::make_shared<QRBWiiRemoteManager>();
    manager = QRBManager::create();
    manager->fixWiiRemoteManager(wii);
    manager->setServerPort(port);
}

void ManagerFixture::TearDown() {
    if (manager) manager->close();
    manager.reset();
    configuratorScope_.reset();
    QRBManager::setTerminateApplicationHandler(nullptr);
    QRBManager::setBackmappingRouteMaker(savedBackmappingRouteMaker_);
    foundation::BonjourBackend::setShared(nullptr);
    devices::DeviceLayers::reset();
}

std::vector<Firing> ManagerFixture::firingsOf(const std::string& address) const {
    std::vector<Firing> result;
    for (const auto& firing : *configurator->firings)
        if (firing.address == address) result.push_back(firing);
    return result;
}

std::vector<std::string> ManagerFixture::monitoredMessages() const {
    std::vector<std::string> lines;
    for (const auto& event : manager->messageMonitor()->events().events())
        if (event->timestamp()) lines.push_back(event->message()->presentation());
    return lines;
}

}  // namespace managertest
