#pragma once
// An X server of the test's own: Xvfb on a free display number it picks itself (-displayfd), no
// TCP, stopped when the object goes. Waits at most 10 s for the server to be ready.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

class XvfbServer {
public:
    XvfbServer() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // The write end survives exec for the server to tell its number.
            const int fd = dup(fds[1]);
            const std::string fdText = std::to_string(fd);
            execlp("Xvfb", "Xvfb", "-displayfd", fdText.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(fds[0], &c, 1) != 1) break;
            if (c == '\n') {
                display_ = ":" + number;
                break;
            }
            number += c;
        }
        close(fds[0]);
    }
    ~XvfbServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            usleep(10000);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", none when the server did not start.
    const std::optional<std::string>& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::optional<std::string> display_;
};
