#include "zz/ZZHeartbeat.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>

namespace {

std::string uniqueName(const char* what) { return std::string("test_") + what + "_" + std::to_string(::getpid()); }

// Runs a heartbeat server in a separate process and waits until it answers.
struct ServerProcess {
    pid_t pid = -1;
    explicit ServerProcess(const std::string& name) {
        pid = ::fork();
        if (pid == 0) {
            execl(HEARTBEAT_SERVER_PROGRAM, HEARTBEAT_SERVER_PROGRAM, name.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {  // at most 5 s
            if (std::filesystem::exists(ZZHeartbeatSocketPath(name))) break;
            ::usleep(10000);
        }
    }
    void signal(int sig) { ::kill(pid, sig); }
    ~ServerProcess() {
        ::kill(pid, SIGKILL);
        ::kill(pid, SIGCONT);
        int status;
        ::waitpid(pid, &status, 0);
    }
};

// Runs the main loop in real time until `done` or the limit; returns the seconds it ran.
double runUntil(const std::function<bool()>& done, double limit) {
    auto& loop = foundation::RunLoop::main();
    double start = loop.now();
    loop.runUntil(done, limit);
    return loop.now() - start;
}

}  // namespace

TEST(ZZHeartbeat, ClientForAnUnregisteredNameIsNil) {
    foundation::LogCapture log;
    EXPECT_EQ(ZZHeartbeatClient::initWithName(uniqueName("nobody")), nullptr);
    EXPECT_TRUE(log.contains("Failed to get root proxy, bailing out."));
    EXPECT_EQ(ZZHeartbeatClient::initWithName(""), nullptr);
    EXPECT_TRUE(log.contains("ERROR: Can't initialize heartbeat client with a nil proxy name."));
}

TEST(ZZHeartbeat, ANameServedByALiveServerCannotBeTakenTwice) {
    std::string name = uniqueName("twice");
    auto first = ZZHeartbeatServer::newHeartbeatServerWithName(name);
    ASSERT_TRUE(first);
    foundation::LogCapture log;
    EXPECT_EQ(ZZHeartbeatServer::newHeartbeatServerWithName(name), nullptr);
    EXPECT_TRUE(log.contains("Warning: Failed to install heartbeat server."));
    first.reset();
    EXPECT_TRUE(ZZHeartbeatServer::newHeartbeatServerWithName(name)) << "the name is free again once released";
}

TEST(ZZHeartbeat, BeatsKeepTheClientAliveAndAKilledServerEndsItAtTheNextCheck) {
    std::string name = uniqueName("killed");
    ServerProcess server(name);
    auto client = ZZHeartbeatClient::initWithName(name);
    ASSERT_TRUE(client);
    EXPECT_THROW(client->setTerminationSelector(nullptr), foundation::Exception);
    int terminated = 0;
    client->setTerminationSelector([&] { ++terminated; });
    client->start();
    double before = client->lastCheck();
    runUntil([&] { return client->lastCheck() > before; }, 3.0);
    EXPECT_GT(client->lastCheck(), before) << "a beat was answered";
    EXPECT_EQ(terminated, 0);

    server.signal(SIGKILL);
    double took = runUntil([&] { return terminated > 0; }, 8.0);
    EXPECT_EQ(terminated, 1);
    EXPECT_LE(took, 2.6) << "the first check after the connection failed ends it";
    runUntil([] { return false; }, 2.5);
    EXPECT_EQ(terminated, 1) << "only once";
}

TEST(ZZHeartbeat, ServerThatStopsAnsweringEndsTheClientBetweenTwoAndSixSeconds) {
    std::string name = uniqueName("stopped");
    ServerProcess server(name);
    auto client = ZZHeartbeatClient::initWithName(name);
    ASSERT_TRUE(client);
    int terminated = 0;
    client->setTerminationSelector([&] { ++terminated; });
    client->start();
    server.signal(SIGSTOP);
    double took = runUntil([&] { return terminated > 0; }, 9.0);
    EXPECT_EQ(terminated, 1);
    EXPECT_GE(took, 2.0);
    EXPECT_LE(took, 6.5);
}
