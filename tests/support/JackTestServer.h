#pragma once
// A JACK server of a test's (or a benchmark's) own: `jackd -r -d dummy` under a name no other run
// uses, started once and stopped at the end. Where jackd cannot start, whyNot() says why.

#include <jack/jack.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

extern char** environ;

// Runs `step` (one short slice of the main loop, say) until `condition` holds, for at most
// `seconds` of the wall clock: a count of slices is no bound on a loaded machine, where each slice
// may do work that takes far longer than its own time-out.
inline bool waitWithDeadline(const std::function<bool()>& condition, const std::function<void()>& step,
                             double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        step();
    }
    return condition();
}

class JackTestServer {
public:
    // `period` frames at 48 kHz: the dummy driver runs a cycle every period / 48 ms.
    explicit JackTestServer(const std::string& tag, int period = 1024) : period_(period) {
        name_ = "quorbital-" + tag + "-" + std::to_string(getpid());
        start();
    }
    ~JackTestServer() { stop(); }

    // Ends the server, as a user who stops it would (SIGTERM; SIGKILL after 5 s).
    void stop() {
        if (!pid_) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    // Starts it (again) under its name; whyNot() says whether it runs.
    void start() {
        whyNot_.clear();
        const std::string nameOption = "-n" + name_;
        const std::string periodOption = std::to_string(period_);
        // A client time-out of 5 s keeps a busy machine from failing clients as they activate.
        const char* argv[] = {"jackd", "-r", "-t",    "5000", nameOption.c_str(),   "-d",
                              "dummy", "-r", "48000", "-p",   periodOption.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int failed = posix_spawnp(&pid_, "jackd", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) {
            pid_ = 0;
            whyNot_ = "jackd could not be run (is jackd2 installed?)";
            return;
        }
        // Up when a client can connect: at most 10 s. Until then libjack would say on standard
        // error that there is no server.
        jack_set_error_function([](const char*) {});
        for (int i = 0; i < 200; ++i) {
            if (jack_client_t* probe = openClient("probe")) {
                jack_client_close(probe);
                return;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                whyNot_ = "jackd exited at start-up";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        whyNot_ = "jackd did not accept clients within 10 s";
    }
    JackTestServer(const JackTestServer&) = delete;
    JackTestServer& operator=(const JackTestServer&) = delete;

    const std::string& name() const { return name_; }
    // Empty when the server runs.
    const std::string& whyNot() const { return whyNot_; }

    // Another program on this server; null when it refused.
    jack_client_t* openClient(const char* clientName) const {
        jack_status_t status{};
        return jack_client_open(clientName, static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                name_.c_str());
    }

private:
    int period_;
    pid_t pid_ = 0;
    std::string name_;
    std::string whyNot_;
};
