// Bonjour through a real Avahi daemon. Each test that needs one starts its own D-Bus system bus and
// avahi-daemon inside new network, mount and process namespaces, where the only interface is the
// loopback: nothing is announced beyond this process's namespace, and the daemon dies with it.
// Without unshare, dbus-daemon or avahi-daemon, or the right to make namespaces, those tests
// skip.

#include "platform/AvahiBonjourBackend.h"

#include "core/osc/QRBServer.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using foundation::BonjourBackend;
using foundation::NetService;
using foundation::NetServiceBrowser;
using foundation::RunLoop;

namespace {

std::string findProgram(const char* name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// A D-Bus system bus and an avahi-daemon of their own, in namespaces of their own.
class PrivateAvahi {
public:
    ~PrivateAvahi() {
        if (pid_ > 0) {
            // unshare ignores SIGTERM while it waits; its end kills the namespace's first process
            // (--kill-child), and with it every process of the namespace.
            kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
        }
    }

    // Empty when the daemon answers; otherwise why it does not.
    std::string start() {
        std::string unshare = findProgram("unshare");
        std::string dbus = findProgram("dbus-daemon");
        std::string avahi = findProgram("avahi-daemon");
        std::string ip = findProgram("ip");
        if (unshare.empty() || dbus.empty() || avahi.empty() || ip.empty())
            return "needs unshare, ip, dbus-daemon and avahi-daemon";

        bus_ = dir_.file("bus");
        std::ofstream(dir_.file("bus.conf"))
            << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)"
            << bus_ << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";
        std::ofstream(dir_.file("avahi.conf")) << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                                                  "enable-dbus=yes\n[wide-area]\nenable-wide-area=no\n"
                                                  "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
        std::ostringstream script;
        script << "set -e\n"
               << "mkdir -p /run/avahi-daemon\n"
               << "mount -t tmpfs tmpfs /run/avahi-daemon\n"  // its pid file, apart from any other daemon's
               << ip << " link set lo up\n"
               << ip << " link set lo multicast on\n"
               << dbus << " --config-file=" << dir_.file("bus.conf") << " --nofork --nopidfile &\n"
               << "i=0; while [ ! -S " << bus_ << " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
               << "export DBUS_SYSTEM_BUS_ADDRESS=unix:path=" << bus_ << "\n"
               << "exec " << avahi << " -f " << dir_.file("avahi.conf")
               << " --no-drop-root --no-chroot --no-rlimits --no-proc-title\n";

        std::vector<std::string> args = {unshare,  "--net",        "--mount",       "--pid",
                                         "--fork", "--kill-child", "--propagation", "private"};
        if (geteuid() != 0) args.insert(args.begin() + 1, {"--user", "--map-root-user"});
        args.insert(args.end(), {"/bin/sh", "-c", script.str()});
        std::string log = dir_.file("daemons.log");

        pid_ = fork();
        if (pid_ == 0) {
            // Should this test process die, unshare dies with it, and the namespace with unshare.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (pid_ < 0) return "fork failed";

        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus_).c_str(), 1);
        foundation::LogCapture quiet;  // the attempts before the daemon is up
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return "the daemons could not start: " + readLog(log);
            }
            if (platform::AvahiBonjourBackend().connect()) return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "the daemon did not answer: " + readLog(log);
    }

private:
    static std::string readLog(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    testsupport::TempDir dir_;
    std::string bus_;
    pid_t pid_ = -1;
};

class Recorder : public foundation::NetServiceDelegate, public foundation::NetServiceBrowserDelegate {
public:
    void netServiceDidPublish(NetService& s) override { published.push_back(s.name()); }
    void netServiceDidNotPublish(NetService&, const foundation::Dictionary&) override { ++notPublished; }
    void netServiceDidResolveAddress(NetService&) override { ++resolved; }
    void netServiceDidNotResolve(NetService&, const foundation::Dictionary&) override { ++notResolved; }
    void netServiceBrowserDidNotSearch(NetServiceBrowser&, const foundation::Dictionary&) override { ++notSearched; }
    void netServiceBrowserDidFindService(NetServiceBrowser&, const std::shared_ptr<NetService>& s, bool) override {
        found.push_back(s);
    }
    void netServiceBrowserDidRemoveService(NetServiceBrowser&, const std::shared_ptr<NetService>& s, bool) override {
        lost.push_back(s);
    }

    std::vector<std::string> published;
    int notPublished = 0, resolved = 0, notResolved = 0, notSearched = 0;
    std::vector<std::shared_ptr<NetService>> found, lost;
};

std::shared_ptr<NetService> findNamed(const std::vector<std::shared_ptr<NetService>>& services,
                                      const std::string& name) {
    for (const auto& s : services)
        if (s->name() == name) return s;
    return nullptr;
}

class AvahiBonjourTest : public ::testing::Test {
protected:
    void TearDown() override {
        BonjourBackend::setShared(nullptr);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    bool runUntil(const std::function<bool()>& predicate) { return RunLoop::main().runUntil(predicate, 20.0); }
};

TEST_F(AvahiBonjourTest, AServerIsPublishedFoundAndResolvedThroughTheDaemon) {
    PrivateAvahi daemon;
    if (std::string why = daemon.start(); !why.empty()) GTEST_SKIP() << why;
    BonjourBackend::setShared(std::make_shared<platform::AvahiBonjourBackend>());

    auto recorder = std::make_shared<Recorder>();
    auto browser = NetServiceBrowser::create();
    browser->setDelegate(recorder);
    browser->searchForServicesOfType("_osc._tcp", "");

    // A TCP server on a port of its own publishes itself with the control-API mark.
    auto server = QRBServer::create(LO_TCP);
    long port = testsupport::freePort();
    server->setPort(port);
    ASSERT_TRUE(server->start());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name = std::string(host) + ":" + std::to_string(port) + " (Quorbital)";

    ASSERT_TRUE(runUntil([&] { return findNamed(recorder->found, name) != nullptr; }));
    std::shared_ptr<NetService> found = findNamed(recorder->found, name);
    EXPECT_EQ(found->type(), "_osc._tcp");
    EXPECT_EQ(found->domain(), "local.");
    found->setDelegate(recorder);
    found->resolveWithTimeout(0);
    ASSERT_TRUE(runUntil([&] { return recorder->resolved + recorder->notResolved > 0; }));
    ASSERT_EQ(recorder->resolved, 1);
    EXPECT_EQ(found->port(), port);
    EXPECT_FALSE(found->hostName().empty());
    EXPECT_EQ(found->addresses(), std::vector<std::string>{"127.0.0.1"});
    // The record is set once the publication stands, so a first resolution may precede it.
    if (found->TXTRecordData().empty()) {
        ASSERT_TRUE(runUntil([&] {
            recorder->resolved = 0;
            found->resolveWithTimeout(0);
            RunLoop::main().runUntil([&] { return recorder->resolved > 0; }, 5.0);
            return !found->TXTRecordData().empty();
        }));
    }
    EXPECT_EQ(found->TXTRecordData(), (foundation::TXTRecord{{"Quorbital-API-Support", {'Y', 'E', 'S'}}}));

    // A plain publication, then its end, seen by the same browser.
    auto plain = NetService::create("", "_osc._tcp", "Plain test service", 4321);
    plain->setDelegate(recorder);
    plain->publish();
    ASSERT_TRUE(runUntil(
        [&] { return findNamed(recorder->found, "Plain test service") != nullptr && !recorder->published.empty(); }));
    EXPECT_EQ(recorder->published, std::vector<std::string>{"Plain test service"});
    plain->stop();
    ASSERT_TRUE(runUntil([&] { return findNamed(recorder->lost, "Plain test service") != nullptr; }));
    EXPECT_EQ(findNamed(recorder->lost, "Plain test service"), findNamed(recorder->found, "Plain test service"));

    server->stop();
    ASSERT_TRUE(runUntil([&] { return findNamed(recorder->lost, name) != nullptr; }));
    EXPECT_EQ(recorder->notSearched, 0);
}

TEST_F(AvahiBonjourTest, WithoutADaemonOperationsFailAndTheServerRunsOn) {
    testsupport::TempDir dir;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    BonjourBackend::setShared(std::make_shared<platform::AvahiBonjourBackend>());
    foundation::LogCapture log;

    auto recorder = std::make_shared<Recorder>();
    auto browser = NetServiceBrowser::create();
    browser->setDelegate(recorder);
    browser->searchForServicesOfType("_osc._udp", "");
    auto server = QRBServer::create(LO_UDP);
    server->setPort(testsupport::freePort());
    ASSERT_TRUE(server->start());
    auto service = NetService::create("", "_osc._udp", "Unpublished", 1);
    service->setDelegate(recorder);
    service->publish();
    ASSERT_TRUE(runUntil([&] { return recorder->notSearched == 1 && recorder->notPublished == 1; }));
    EXPECT_TRUE(server->isRunning());
    EXPECT_FALSE(server->service()->isPublished());
    // Said once, not for every operation.
    size_t mentions = 0;
    for (const std::string& line : log.lines())
        if (line.find("the Avahi daemon cannot be reached") != std::string::npos) ++mentions;
    EXPECT_EQ(mentions, 1u);
}

}  // namespace
