#include "foundation/Task.h"

#include "foundation/Exception.h"
#include "foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

using foundation::RunLoop;
using foundation::Task;

extern char** environ;

namespace {

struct Ended {
    bool called = false;
    bool onMainThread = false;
    bool runningInHandler = true;
};

std::shared_ptr<Task> launched(const std::string& path, std::vector<std::string> args, Ended& ended) {
    auto task = Task::create();
    task->setLaunchPath(path);
    task->setArguments(std::move(args));
    task->setTerminationHandler([&ended](Task& t) {
        ended.called = true;
        ended.onMainThread = gettid() == getpid();
        ended.runningInHandler = t.isRunning();
    });
    task->launch();
    return task;
}

bool waitForEnd(const Ended& ended, double seconds = 10.0) {
    return RunLoop::main().runUntil([&] { return ended.called; }, seconds);
}

// True once the process is gone entirely: a zombie still answers kill(pid, 0).
bool reaped(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

}  // namespace

TEST(Task, ReportsHowTheProcessEndedOnTheMainRunLoopAndReapsIt) {
    struct Case {
        const char* path;
        std::vector<std::string> args;
        Task::TerminationReason reason;
        int status;
    };
    const Case cases[] = {
        {"/bin/true", {}, Task::TerminationReason::Exit, 0},
        {"/bin/sh", {"-c", "exit 3"}, Task::TerminationReason::Exit, 3},
        {"/bin/sh", {"-c", "kill -KILL $$"}, Task::TerminationReason::UncaughtSignal, SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.args.empty() ? "" : " " + c.args.back()));
        Ended ended;
        auto task = launched(c.path, c.args, ended);
        EXPECT_TRUE(task->isRunning());
        EXPECT_GT(task->processIdentifier(), 0);
        ASSERT_TRUE(waitForEnd(ended));
        EXPECT_TRUE(ended.onMainThread);
        EXPECT_FALSE(ended.runningInHandler);
        EXPECT_FALSE(task->isRunning());
        EXPECT_EQ(task->terminationReason(), c.reason);
        EXPECT_EQ(task->terminationStatus(), c.status);
        EXPECT_TRUE(reaped(task->processIdentifier()));
    }
}

TEST(Task, TerminateEndsALongRunningChildWithSigterm) {
    Ended ended;
    auto started = std::chrono::steady_clock::now();
    auto task = launched("/bin/sleep", {"30"}, ended);
    EXPECT_FALSE(waitForEnd(ended, 0.05));
    EXPECT_TRUE(task->isRunning());
    task->terminate();
    ASSERT_TRUE(waitForEnd(ended, 10.0));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(task->terminationReason(), Task::TerminationReason::UncaughtSignal);
    EXPECT_EQ(task->terminationStatus(), SIGTERM);
    task->terminate();  // after the end: nothing to signal
}

TEST(Task, ChildStartsWithDefaultSignalDispositions) {
    // This process ignores SIGPIPE (as a program with sockets does); a shell started with it
    // ignored could not even be killed by it.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    Ended ended;
    auto task = launched("/bin/sh", {"-c", "kill -PIPE $$; exit 7"}, ended);
    bool done = waitForEnd(ended);
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(done);
    EXPECT_EQ(task->terminationReason(), Task::TerminationReason::UncaughtSignal);
    EXPECT_EQ(task->terminationStatus(), SIGPIPE);
}

TEST(Task, ChildOfAGoneTaskIsStillReapedAndOtherChildrenAreLeftAlone) {
    // A child that is not a task's: its status belongs to whoever started it.
    pid_t other = 0;
    char sh[] = "/bin/sh", c[] = "-c", code[] = "exit 5";
    char* argv[] = {sh, c, code, nullptr};
    ASSERT_EQ(posix_spawn(&other, "/bin/sh", nullptr, nullptr, argv, environ), 0);

    pid_t orphan;
    {
        auto task = Task::create();
        task->setLaunchPath("/bin/sh");
        task->setArguments({"-c", "exit 0"});
        task->launch();
        orphan = task->processIdentifier();
    }
    Ended ended;
    auto witness = launched("/bin/true", {}, ended);
    ASSERT_TRUE(waitForEnd(ended));
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return reaped(orphan); }, 10.0));

    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(Task, MisuseRaises) {
    auto missing = Task::create();
    missing->setLaunchPath("/nonexistent/quorbital-test-program");
    EXPECT_THROW(missing->launch(), foundation::Exception);
    EXPECT_FALSE(missing->isRunning());

    auto noPath = Task::create();
    EXPECT_THROW(noPath->launch(), foundation::Exception);

    Ended ended;
    auto task = launched("/bin/sleep", {"30"}, ended);
    EXPECT_THROW(task->terminationStatus(), foundation::Exception);
    EXPECT_THROW(task->launch(), foundation::Exception);
    task->terminate();
    ASSERT_TRUE(waitForEnd(ended));
}
