#include "foundation/Task.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

namespace foundation {

// Watches one child until it ends and reaps it. It lives on its own (held by the run loop's watch
// or by the waiting thread) so that a child whose Task went away is still reaped.
struct Task::Watcher : std::enable_shared_from_this<Task::Watcher> {
    pid_t pid = 0;
    int pidfd = -1;
    FdWatch watch;
    std::weak_ptr<Task> task;

    ~Watcher() {
        if (pidfd >= 0) close(pidfd);
    }

    // Main run loop: the process descriptor became readable, so the child has ended.
    void pidfdReady() {
        auto self = shared_from_this();
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == 0) return;  // not ended after all; keep watching
        if (r < 0) {
            // Someone else reaped it (SIGCHLD ignored in this process): the status is lost.
            logf("Task: the status of process %d could not be collected: %s", static_cast<int>(pid),
                 std::strerror(errno));
            status = -1;
        }
        watch.cancel();
        close(pidfd);
        pidfd = -1;
        deliver(status);
    }

    void deliver(int status) {
        if (auto t = task.lock()) t->finished(status);
    }

    bool signal(int sig) {
        if (pidfd >= 0) return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
        return kill(pid, sig) == 0;
    }
};

std::shared_ptr<Task> Task::create() { return std::make_shared<Task>(Key{}); }

Task::Task(Key) {}

Task::~Task() {
    // The watcher goes on without us until the child is reaped.
    if (watcher_) watcher_->task.reset();
}

void Task::setLaunchPath(std::string path) { launchPath_ = std::move(path); }

void Task::setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }

void Task::setTerminationHandler(std::function<void(Task&)> handler) { terminationHandler_ = std::move(handler); }

void Task::launch() {
    if (launched_) raise(kInvalidArgumentException, "task already launched");
    if (launchPath_.empty()) raise(kInvalidArgumentException, "must provide launch path");

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(launchPath_.c_str()));
    for (auto& a : arguments_) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The child starts clean: what this process blocks or ignores (SIGPIPE for its sockets, for
    // one) is not the child's business.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int err = posix_spawn(&pid, launchPath_.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        raise(kInvalidArgumentException, format("could not launch %s: %s", launchPath_.c_str(), std::strerror(err)));
    }

    launched_ = true;
    running_ = true;
    pid_ = pid;

    auto watcher = std::make_shared<Watcher>();
    watcher->pid = pid;
    watcher->task = weak_from_this();
    watcher_ = watcher;

    // Not reaped yet, the pid cannot have been reused, so the descriptor is this child's.
    watcher->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (watcher->pidfd >= 0) {
        try {
            watcher->watch = RunLoop::main().watchFd(watcher->pidfd, FdEvent::Readable,
                                                     [watcher](uint32_t) { watcher->pidfdReady(); });
            return;
        } catch (const Exception& e) {
            logf("Task: cannot watch process %d: %s", static_cast<int>(pid), e.reason().c_str());
            close(watcher->pidfd);
            watcher->pidfd = -1;
        }
    }
    // Without a process descriptor (an old kernel, or out of descriptors), a thread waits for this
    // one child and hands its status to the main run loop.
    std::thread([watcher] {
        int status = 0;
        pid_t r;
        do {
            r = waitpid(watcher->pid, &status, 0);
        } while (r < 0 && errno == EINTR);
        if (r < 0) status = -1;
        RunLoop::main().post([watcher, status] { watcher->deliver(status); });
    }).detach();
}

void Task::terminate() {
    if (running_ && watcher_) watcher_->signal(SIGTERM);
}

void Task::finished(int waitStatus) {
    auto self = shared_from_this();  // the handler may drop the last other reference
    running_ = false;
    ended_ = true;
    if (waitStatus != -1 && WIFSIGNALED(waitStatus)) {
        reason_ = TerminationReason::UncaughtSignal;
        status_ = WTERMSIG(waitStatus);
    } else {
        reason_ = TerminationReason::Exit;
        status_ = waitStatus == -1 ? -1 : WEXITSTATUS(waitStatus);
    }
    if (terminationHandler_) {
        auto handler = terminationHandler_;  // may replace itself
        handler(*this);
    }
}

int Task::terminationStatus() const {
    if (!ended_) raise(kInvalidArgumentException, "task not launched or still running");
    return status_;
}

Task::TerminationReason Task::terminationReason() const {
    if (!ended_) raise(kInvalidArgumentException, "task not launched or still running");
    return reason_;
}

}  // namespace foundation
