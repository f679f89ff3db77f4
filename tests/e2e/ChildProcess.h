#pragma once
// A program run as a child process for the whole-program tests: its standard output and error
// are collected together, and every wait is bounded.

#include <sys/types.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct ChildOptions {
    // The child runs without the capabilities that let root read and write any file
    // (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER), so that file permissions hold for it as
    // they hold for a user; a test run as root stages unreadable files and read-only folders so.
    bool withoutFileAccessOverride = false;
};

class ChildProcess {
public:
    // Starts `program` with `arguments` (after the program's name) and the current environment
    // with `environment` laid over it. The child gets no descriptor of the test but its standard
    // input; its output and error go to the test.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment = {}, const ChildOptions& options = {});
    // Kills the child when it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads output until it contains `text`; false when the child ended or `timeout` seconds
    // passed first.
    bool waitForOutput(const std::string& text, double timeout);
    // The exit status once the child has ended, at most `timeout` seconds from now; -1 when it
    // had to be killed, 128 + the signal when a signal ended it.
    int waitForExit(double timeout);
    // The exit status when the child ends within `timeout` seconds; none (and still running)
    // otherwise.
    std::optional<int> tryWait(double timeout);
    void sendSignal(int signal);
    // Stops reading the child's output: its next write to it finds a pipe without a reader.
    void closeOutput();
    bool isRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Reads what the child wrote so far without waiting, so that a talkative child never blocks
    // on a full pipe during a long run.
    void collectOutput() { readOutput(0); }
    // Everything the child wrote so far, what it wrote since the last read included.
    const std::string& output() {
        readOutput(0);
        return output_;
    }

private:
    // Reads what is there, waiting at most `timeout` seconds for something.
    void readOutput(double timeout);

    pid_t pid_ = -1;
    int outputFd_ = -1;
    std::string output_;
};

}  // namespace e2e
