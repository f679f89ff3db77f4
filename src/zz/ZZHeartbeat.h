#pragma once
// The liveness link between the application and its tablet daemon. The application serves a
// heartbeat under a name; the daemon's client asks for a beat every 2.0 s and ends its own
// process at the first failed call, or once 4.0 s have passed without a beat.
//
// The link is a Unix-domain stream socket named after the connection name, in the user's runtime
// folder. A beat is one byte asked ('b') and one byte answered ('Y').

#include "foundation/RunLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kZZHeartbeatConnectionName = "quorbl_heartbeat";

// Where the socket of a connection name lives: $XDG_RUNTIME_DIR/quorbital/<name>.sock, or
// /tmp/quorbital-<uid>/<name>.sock without a runtime folder.
std::string ZZHeartbeatSocketPath(const std::string& name);

class ZZHeartbeatServer {
public:
    // A server registered under `name` on the current run loop, or null (with a warning in the
    // log) when the name is taken by a live server or the socket cannot be made.
    static std::unique_ptr<ZZHeartbeatServer> newHeartbeatServerWithName(const std::string& name);
    ~ZZHeartbeatServer();

    const std::string& path() const { return path_; }

private:
    ZZHeartbeatServer() = default;
    void accept();
    void serve(int fd);
    void close(int fd);

    std::string path_;
    int listenFd_ = -1;
    foundation::FdWatch listenWatch_;
    struct Peer {
        int fd;
        foundation::FdWatch watch;
    };
    std::vector<std::unique_ptr<Peer>> peers_;
};

class ZZHeartbeatClient {
public:
    static constexpr double kPollInterval = 2.0;
    static constexpr double kTimeout = 4.0;

    // A client connected to the server registered under `name`, or null (logged) when the name
    // is empty or no server answers under it.
    static std::unique_ptr<ZZHeartbeatClient> initWithName(const std::string& name);
    ~ZZHeartbeatClient();

    // Checks every 2.0 s on the current run loop.
    void start();
    void stop();
    void checkHeartbeat();
    void updateLastCheck();
    // What ends the process; must be given.
    void setTerminationSelector(std::function<void()> terminate);
    void terminateProcess();

    double lastCheck() const { return lastCheck_; }
    const std::shared_ptr<foundation::Timer>& timer() const { return timer_; }

private:
    ZZHeartbeatClient() = default;
    // True when the server answered; throws when the connection failed.
    bool beat();

    int fd_ = -1;
    double lastCheck_ = 0.0;
    std::shared_ptr<foundation::Timer> timer_;
    std::function<void()> terminate_;
};
