#include "zz/ZZHeartbeat.h"

#include "foundation/Exception.h"
#include "foundation/Log.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr char kAsk = 'b';
constexpr char kAnswer = 'Y';
// How long one check waits for the answer before leaving it to the next check.
constexpr int kAnswerWaitMs = 250;

bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectTo(const std::string& path) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string ZZHeartbeatSocketPath(const std::string& name) {
    std::string safe = name;
    for (char& c : safe)
        if (c == '/') c = '_';
    fs::path dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        dir = fs::path(runtime) / "quorbital";
    else
        dir = fs::path("/tmp") / ("quorbital-" + std::to_string(::getuid()));
    return (dir / (safe + ".sock")).string();
}

// ---- server ----

std::unique_ptr<ZZHeartbeatServer> ZZHeartbeatServer::newHeartbeatServerWithName(const std::string& name) {
    std::unique_ptr<ZZHeartbeatServer> server(new ZZHeartbeatServer());
    server->path_ = ZZHeartbeatSocketPath(name);
    auto fail = [&] {
        foundation::log("Warning: Failed to install heartbeat server.");
        return nullptr;
    };
    if (name.empty()) return fail();

    std::error_code ec;
    fs::path dir = fs::path(server->path_).parent_path();
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);

    // A name answered by a live server is taken; a socket file nobody answers is left over from
    // a program that ended without cleaning up.
    if (int other = connectTo(server->path_); other >= 0) {
        ::close(other);
        return fail();
    }
    ::unlink(server->path_.c_str());

    // The socket is bound and listening under a private name first and then renamed into place,
    // so a client that sees the name never finds it refusing (bound but not yet listening).
    const std::string staging = server->path_ + "." + std::to_string(::getpid());
    sockaddr_un addr;
    if (!makeAddress(staging, addr)) return fail();
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail();
    ::unlink(staging.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0 ||
        ::rename(staging.c_str(), server->path_.c_str()) != 0) {
        ::close(fd);
        ::unlink(staging.c_str());
        return fail();
    }
    server->listenFd_ = fd;
    ZZHeartbeatServer* raw = server.get();
    server->listenWatch_ = foundation::RunLoop::current().watchFd(fd, EPOLLIN, [raw](uint32_t) { raw->accept(); });
    return server;
}

ZZHeartbeatServer::~ZZHeartbeatServer() {
    listenWatch_.cancel();
    for (auto& p : peers_) {
        p->watch.cancel();
        ::close(p->fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
}

void ZZHeartbeatServer::accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        auto peer = std::make_unique<Peer>();
        peer->fd = fd;
        peer->watch = foundation::RunLoop::current().watchFd(fd, EPOLLIN, [this, fd](uint32_t) { serve(fd); });
        peers_.push_back(std::move(peer));
    }
}

void ZZHeartbeatServer::serve(int fd) {
    char buf[64];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == kAsk) {
                    char answer = kAnswer;
                    if (::send(fd, &answer, 1, MSG_NOSIGNAL) != 1) {
                        close(fd);
                        return;
                    }
                }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(fd);  // the client went away
        return;
    }
}

void ZZHeartbeatServer::close(int fd) {
    for (auto it = peers_.begin(); it != peers_.end(); ++it)
        if ((*it)->fd == fd) {
            (*it)->watch.cancel();
            ::close(fd);
            peers_.erase(it);
            return;
        }
}

// ---- client ----

std::unique_ptr<ZZHeartbeatClient> ZZHeartbeatClient::initWithName(const std::string& name) {
    if (name.empty()) {
        foundation::log("ERROR: Can't initialize heartbeat client with a nil proxy name.");
        return nullptr;
    }
    int fd = connectTo(ZZHeartbeatSocketPath(name));
    if (fd < 0) {
        foundation::log("Failed to get root proxy, bailing out.");
        return nullptr;
    }
    std::unique_ptr<ZZHeartbeatClient> client(new ZZHeartbeatClient());
    client->fd_ = fd;
    return client;
}

ZZHeartbeatClient::~ZZHeartbeatClient() {
    stop();
    if (fd_ >= 0) ::close(fd_);
}

void ZZHeartbeatClient::start() {
    updateLastCheck();
    if (timer_) timer_->invalidate();
    timer_ = foundation::RunLoop::current().scheduleTimer(kPollInterval, true, foundation::RunLoopMode::Default,
                                                          [this](foundation::Timer&) { checkHeartbeat(); });
}

void ZZHeartbeatClient::stop() {
    if (timer_) {
        timer_->invalidate();
        timer_.reset();
    }
}

void ZZHeartbeatClient::updateLastCheck() { lastCheck_ = foundation::RunLoop::current().now(); }

bool ZZHeartbeatClient::beat() {
    char ask = kAsk;
    if (::send(fd_, &ask, 1, MSG_NOSIGNAL) != 1)
        throw foundation::Exception("NSPortTimeoutException", "connection failed");
    bool answered = false;
    pollfd p{fd_, POLLIN, 0};
    int wait = kAnswerWaitMs;
    while (::poll(&p, 1, wait) > 0) {
        char buf[16];
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) throw foundation::Exception("NSPortTimeoutException", "connection closed");
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            throw foundation::Exception("NSPortTimeoutException", std::strerror(errno));
        }
        for (ssize_t i = 0; i < n; ++i) answered = answered || buf[i] == kAnswer;
        wait = 0;  // take what else is waiting, then stop
    }
    return answered;
}

void ZZHeartbeatClient::checkHeartbeat() {
    try {
        if (beat()) updateLastCheck();
        if (std::fabs(foundation::RunLoop::current().now() - lastCheck_) > kTimeout)
            throw foundation::Exception("NSGenericException", "Heartbeat check timeout, bailing out.");
    } catch (const foundation::Exception&) {
        stop();
        terminateProcess();
    }
}

void ZZHeartbeatClient::setTerminationSelector(std::function<void()> terminate) {
    if (!terminate) FND_INTERNAL_ERROR("target can't be nil");
    terminate_ = std::move(terminate);
}

void ZZHeartbeatClient::terminateProcess() {
    if (terminate_) terminate_();
}
