#pragma once
// A child process: launched once from a path and arguments, watched until it ends, and reaped.
//
// The end of the process is noticed on the main run loop (through a process descriptor that the
// loop watches); only then does the task stop running, take its termination status and call its
// termination handler, on the main thread. The child is always reaped, also when the Task object
// is gone by then, and only this task's child is ever waited for. A task is used from the main
// thread.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace foundation {

class Task : public std::enable_shared_from_this<Task> {
    struct Key {};

public:
    enum class TerminationReason { Exit, UncaughtSignal };

    static std::shared_ptr<Task> create();
    explicit Task(Key);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    const std::string& launchPath() const { return launchPath_; }
    void setLaunchPath(std::string path);
    const std::vector<std::string>& arguments() const { return arguments_; }
    void setArguments(std::vector<std::string> arguments);

    // Called on the main run loop once the process has ended.
    void setTerminationHandler(std::function<void(Task&)> handler);

    // Starts the process with the launch path as its program and the arguments after its name.
    // The child inherits the environment and the standard descriptors, with default signal
    // dispositions and an empty signal mask. Raises NSInvalidArgumentException when the task was
    // launched before or the program cannot be started.
    void launch();

    // Sends SIGTERM while the process runs.
    void terminate();

    bool isRunning() const { return running_; }
    // 0 before launch.
    pid_t processIdentifier() const { return pid_; }
    // The exit status, or the number of the signal that ended the process. Raises
    // NSInvalidArgumentException before the end was noticed.
    int terminationStatus() const;
    TerminationReason terminationReason() const;

private:
    struct Watcher;
    void finished(int waitStatus);

    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::function<void(Task&)> terminationHandler_;
    bool launched_ = false;
    bool running_ = false;
    bool ended_ = false;
    pid_t pid_ = 0;
    int status_ = 0;
    TerminationReason reason_ = TerminationReason::Exit;
    std::shared_ptr<Watcher> watcher_;
};

}  // namespace foundation
