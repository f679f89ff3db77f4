#include "ChildProcess.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment, const ChildOptions& options) {
    // Everything the child needs is made before fork: between fork and exec only async-signal-safe
    // calls may run in a process that had threads.
    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argumentTexts) argv.push_back(text.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals) merged[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
    }
    for (const auto& [key, value] : environment) merged[key] = value;
    std::vector<std::string> environmentTexts;
    for (const auto& [key, value] : merged) environmentTexts.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& text : environmentTexts) envp.push_back(text.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        // Nothing else of the test goes with the child: a socket the test holds (a listener it
        // closes later to stand for a target that went away) must not live on in the program.
        ::close_range(3, ~0U, 0);
        // The child starts with the default signal dispositions and nothing blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(signal, SIG_DFL);
        if (options.withoutFileAccessOverride) {
            // Out of the bounding and inheritable sets, the program that follows never has them.
            const int capabilities[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2]{};
            const bool have = ::syscall(SYS_capget, &header, data) == 0;
            for (int capability : capabilities) {
                ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
                data[capability / 32].inheritable &= ~(1u << (capability % 32));
            }
            if (have) ::syscall(SYS_capset, &header, data);
            ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    outputFd_ = fds[0];
    ::fcntl(outputFd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (outputFd_ >= 0) ::close(outputFd_);
}

void ChildProcess::readOutput(double timeout) {
    if (outputFd_ < 0) return;
    pollfd p{outputFd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout * 1000)) <= 0) return;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(outputFd_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<size_t>(count));
    if (count == 0) {
        ::close(outputFd_);
        outputFd_ = -1;
    }
}

bool ChildProcess::waitForOutput(const std::string& text, double timeout) {
    const double deadline = now() + timeout;
    while (output_.find(text) == std::string::npos) {
        const double left = deadline - now();
        if (left <= 0 || outputFd_ < 0) return false;
        readOutput(std::min(left, 0.1));
    }
    return true;
}

int ChildProcess::waitForExit(double timeout) {
    if (std::optional<int> status = tryWait(timeout)) return *status;
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return -1;
}

std::optional<int> ChildProcess::tryWait(double timeout) {
    if (pid_ <= 0) return std::nullopt;
    const double deadline = now() + timeout;
    int status = 0;
    for (;;) {
        readOutput(0.01);
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (now() >= deadline) return std::nullopt;
    }
    pid_ = -1;
    // What the child wrote before it ended.
    while (outputFd_ >= 0) readOutput(0.5);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void ChildProcess::sendSignal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

void ChildProcess::closeOutput() {
    if (outputFd_ >= 0) ::close(outputFd_);
    outputFd_ = -1;
}

}  // namespace e2e
