#pragma once
// What the benchmarks share besides sockets: the programs they run (the program under test, a
// bridge, a JACK server), each with its output in a log file, and the percentile of a sample.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A program a benchmark runs. Its standard output and error go to `logPath`; `environment`
// ("NAME=value" entries) is set on top of the benchmark's own. It dies with the benchmark, and is
// asked to end (SIGTERM, then SIGKILL after 2 s) when the object goes.
class Child {
public:
    Child(std::vector<std::string> arguments, std::string logPath, std::vector<std::string> environment = {})
        : logPath_(std::move(logPath)), environment_(std::move(environment)) {
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            for (auto& entry : environment_) putenv(entry.data());
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Asks the program to end: SIGTERM, then SIGKILL after 2 s.
    void stop() { interrupt(SIGTERM, 2.0); }
    // Sends `signal` and waits up to `timeout` seconds for the program to end by itself; kills it
    // after that. True when it ended by itself.
    bool interrupt(int signal, double timeout) {
        if (pid_ <= 0) return false;
        kill(pid_, signal);
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }

    // Resident memory in kB; -1 when unknown.
    long residentKB() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
    // User and system CPU time in seconds; -1 when unknown.
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return -1;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    std::string output() const {
        std::ifstream in(logPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool waitForOutput(const std::string& text, double timeout) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    std::string logPath_;
    std::vector<std::string> environment_;  // putenv keeps pointers into these in the child
};

// Settings and run-time files of a child under `home` (made if missing), away from the user's.
inline std::vector<std::string> homeEnvironment(const std::string& home) {
    std::filesystem::create_directories(home + "/config");
    std::filesystem::create_directories(home + "/runtime");
    return {"XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home + "/runtime"};
}

// The nearest-rank percentile of `values` for `fraction` (0.5 the median, 0.99 the 99th); NAN
// for no values.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(fraction * static_cast<double>(values.size()));
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(std::max(rank, 1.0)) - 1);
    return values[index];
}

inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

}  // namespace bench
