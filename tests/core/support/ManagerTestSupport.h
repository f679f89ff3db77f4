#pragma once
// Shared pieces of the routing manager's tests: a manager routing on a free loopback port with the
// in-process Bonjour and Wii remotes, an output
// that records where and on which thread it acted, and a client that sends OSC packets over UDP
// or TCP.

#include "core/support/FiringTestSupport.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "core/mapping/QRBActionConfigurator.h"
#include "core/outputs/QRBEventSource.h"
#include "document/QRBManager.h"
#include "foundation/Date.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"
#include "platform/wii/FakeWiiRemoteBackend.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace managertest {

// Seconds a test waits for network input at most.
constexpr double kWait = 10.0;

// An OSC message as bytes.
std::vector<uint8_t> packet(const std::string& path, const std::vector<firing::Arg>& args = {});
// A bundle of messages with a time tag.
std::vector<uint8_t> bundle(foundation::OSCTimeTag tag,
                            const std::vector<std::pair<std::string, std::vector<firing::Arg>>>& messages);

// A client on the loopback: datagrams over UDP, length-prefixed frames over one TCP connection.
// Usable from any one thread.
class Sender {
public:
    Sender(int protocol, long port);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    void send(const std::vector<uint8_t>& packet);
    long localPort() const;

private:
    int protocol_;
    int fd_;
    sockaddr_in destination_{};
};

// One time an output acted.
struct Firing {
    std::string address;  // of the action
    double value;
    std::thread::id thread;
};

// An output that records where and on which thread it acted; runs a hook after that.
class ProbeEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("TestProbeEventSource", QRBEventSource)

public:
    ProbeEventSource() : firings(std::make_shared<std::vector<Firing>>()) {}
    explicit ProbeEventSource(std::shared_ptr<std::vector<Firing>> log) : firings(std::move(log)) {}
    QRBAcceptResult acceptAction(QRBAction& action) override;

    std::shared_ptr<std::vector<Firing>> firings;
    std::function<void(QRBAction&)> onAccept;
};

// Gives every new context and argument action a probe output on one shared log.
class ProbeConfigurator : public QRBActionConfigurator {
public:
    void configureAction(QRBAction& action) override {
        action.setEventSource(std::make_shared<ProbeEventSource>(firings));
    }
    std::shared_ptr<std::vector<Firing>> firings = std::make_shared<std::vector<Firing>>();
};

// A manager on a free port with the in-process Bonjour and Wii remotes, and probe outputs for new
// actions. Not started.
class ManagerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    bool runUntil(const std::function<bool()>& predicate, double timeout = kWait) {
        return foundation::RunLoop::main().runUntil(predicate, timeout);
    }
    // Runs the main loop briefly, for input that should have no effect to show none.
    void settle(double seconds = 0.2) {
        double deadline = foundation::RunLoop::main().now() + seconds;
        foundation::RunLoop::main().runUntil(deadline);
    }
    std::vector<Firing> firingsOf(const std::string& address) const;
    QRBPresetPtr currentPreset() const { return manager->presetManager()->currentPreset(); }
    // The monitor's OSC lines, oldest first ("/a ,f 0.5").
    std::vector<std::string> monitoredMessages() const;

    std::shared_ptr<platform::FakeBonjourBackend> bonjour = std::make_shared<platform::FakeBonjourBackend>();
    std::shared_ptr<ProbeConfigurator> configurator = std::make_shared<ProbeConfigurator>();
    std::shared_ptr<platform::FakeWiiRemoteBackend> wiiRemotes = std::make_shared<platform::FakeWiiRemoteBackend>();
    // The manager's Wii remote manager, on wiiRemotes.
    std::shared_ptr<QRBWiiRemoteManager> wii;
    QRBManagerPtr manager;
    long port = 0;

private:
    std::unique_ptr<firing::ConfiguratorScope> configuratorScope_;
    QRBBackmappingRouteMaker savedBackmappingRouteMaker_;
};

}  // namespace managertest
