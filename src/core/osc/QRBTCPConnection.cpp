#include "core/osc/QRBTCPConnection.h"

#include "foundation/Format.h"
#include "foundation/Log.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {
constexpr const char* kNothingListens = "nothing listens at that port";
}

QRBTCPConnection::QRBTCPConnection(std::string numericHost, int port) : host_(std::move(numericHost)), port_(port) {}

QRBTCPConnection::~QRBTCPConnection() { close(); }

void QRBTCPConnection::logSendError(int error, const std::string& text) {
    // A send fails the same way for every message routed to a target that is gone, refuses the
    // connection or stopped reading: a flood, written whole once a second and counted between.
    const foundation::LogKind kind("failed OSC send", error);
    foundation::logf("Error %i during OSC routing: %s", error, text.c_str());
}

QRBTCPConnection::Result QRBTCPConnection::failure(int error, const std::string& what) {
    std::string text = std::strerror(error);
    if (!what.empty()) text += " (" + what + ")";
    return Result{error, std::move(text)};
}

QRBTCPConnection::Result QRBTCPConnection::send(const void* packet, size_t size) {
    if (state_ == State::Connected) checkPeer();  // a closed peer leaves it Closed: made again below
    double wait = 0;
    if (state_ == State::Closed) {
        if (Result started = connect(); !started) return started;
        wait = kConnectWait;
    }
    if (state_ == State::Connecting) {
        if (Result connecting = finishConnect(wait); !connecting) return connecting;
    }
    if (Result held = hold(packet, size); !held) return held;
    Result result;
    if (state_ == State::Connected) {
        result = flush();
        if (!result) {
            result.text += foundation::format(" (%zu message%s not sent)", heldPackets_, heldPackets_ == 1 ? "" : "s");
            close();
            return result;
        }
    }
    updateWatch();
    return result;
}

bool QRBTCPConnection::isConnectedToItself(int fd) {
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
    return localLength == peerLength && std::memcmp(&local, &peer, localLength) == 0;
}

QRBTCPConnection::Result QRBTCPConnection::connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(port_);
    if (int status = getaddrinfo(host_.c_str(), port.c_str(), &hints, &found); status != 0)
        return Result{EINVAL, foundation::format("%s: %s", host_.c_str(), gai_strerror(status))};
    fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        const int error = errno;
        freeaddrinfo(found);
        return failure(error);
    }
    // Control data is small and wants to leave at once.
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int status = ::connect(fd_, found->ai_addr, found->ai_addrlen);
    const int error = errno;
    freeaddrinfo(found);
    if (status == 0) {
        if (isConnectedToItself(fd_)) {
            close();
            return failure(ECONNREFUSED, kNothingListens);
        }
        state_ = State::Connected;
    } else if (error == EINPROGRESS) {
        state_ = State::Connecting;
        connectStarted_ = Clock::now();
    } else {
        close();
        return failure(error);
    }
    updateWatch();
    return {};
}

QRBTCPConnection::Result QRBTCPConnection::finishConnect(double wait) {
    pollfd ready{fd_, POLLOUT, 0};
    if (::poll(&ready, 1, static_cast<int>(std::ceil(wait * 1000))) <= 0) {
        if (std::chrono::duration<double>(Clock::now() - connectStarted_).count() < kConnectTimeout) return {};
        Result timedOut = failure(ETIMEDOUT, "no answer to the connection");
        close(timedOut);
        return timedOut;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0 || isConnectedToItself(fd_)) {
        Result refused = error != 0 ? failure(error) : failure(ECONNREFUSED, kNothingListens);
        close(refused);
        return refused;
    }
    state_ = State::Connected;
    if (Result written = flush(); !written) {
        close(written);
        return written;
    }
    updateWatch();
    return {};
}

QRBTCPConnection::Result QRBTCPConnection::checkPeer() {
    uint8_t scratch[4096];
    for (;;) {
        const ssize_t size = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (size > 0) continue;
        if (size < 0 && errno == EINTR) continue;
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
        // The peer closed its end or the connection broke: what is still held can't reach it.
        Result closed = size == 0 ? failure(EPIPE, "the target closed the connection") : failure(errno);
        close(closed);
        return closed;
    }
}

QRBTCPConnection::Result QRBTCPConnection::flush() {
    while (heldOffset_ < held_.size()) {
        const ssize_t written =
            ::send(fd_, held_.data() + heldOffset_, held_.size() - heldOffset_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return failure(errno);
        }
        heldOffset_ += static_cast<size_t>(written);
        while (!frameEnds_.empty() && frameEnds_.front() <= heldOffset_) {
            frameEnds_.pop_front();
            --heldPackets_;
        }
    }
    if (heldOffset_ == held_.size()) {
        held_.clear();
        heldOffset_ = 0;
        frameEnds_.clear();
    }
    return {};
}

QRBTCPConnection::Result QRBTCPConnection::hold(const void* packet, size_t size) {
    if (size + 4 > kMaxHeldBytes) return failure(EMSGSIZE);
    if (heldBytes() + 4 + size > kMaxHeldBytes)
        return failure(EWOULDBLOCK,
                       foundation::format("the target takes nothing, %zu messages are waiting", heldPackets_));
    if (heldOffset_ > 0 && heldOffset_ >= held_.size() / 2) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(heldOffset_));
        for (size_t& end : frameEnds_) end -= heldOffset_;
        heldOffset_ = 0;
    }
    const uint32_t length = htonl(static_cast<uint32_t>(size));
    const auto* lengthBytes = reinterpret_cast<const uint8_t*>(&length);
    held_.insert(held_.end(), lengthBytes, lengthBytes + 4);
    const auto* bytes = static_cast<const uint8_t*>(packet);
    held_.insert(held_.end(), bytes, bytes + size);
    frameEnds_.push_back(held_.size());
    ++heldPackets_;
    return {};
}

void QRBTCPConnection::close(const Result& failure) {
    if (failure.error != 0 && heldPackets_ > 0)
        logSendError(failure.error, failure.text + foundation::format(" (%zu message%s not sent)", heldPackets_,
                                                                      heldPackets_ == 1 ? "" : "s"));
    watch_.cancel();
    watchingWrites_ = false;
    if (connectTimer_) {
        connectTimer_->invalidate();
        connectTimer_.reset();
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = State::Closed;
    held_.clear();
    heldOffset_ = 0;
    heldPackets_ = 0;
    frameEnds_.clear();
}

void QRBTCPConnection::updateWatch() {
    if (fd_ < 0) return;
    const bool writes = state_ == State::Connecting || heldBytes() > 0;
    if (watch_.isActive() && writes == watchingWrites_) return;
    watch_.cancel();
    watchingWrites_ = writes;
    uint32_t events = foundation::FdEvent::Readable;
    if (writes) events |= foundation::FdEvent::Writable;
    watch_ = foundation::RunLoop::main().watchFd(fd_, events, [this](uint32_t ready) { socketReady(ready); });
    if (state_ == State::Connecting && !connectTimer_) {
        // A connect nobody sends through again still ends within its time-out.
        connectTimer_ = foundation::RunLoop::main().scheduleTimer(
            kConnectTimeout, false, foundation::RunLoopMode::Common, [this](foundation::Timer&) {
                connectTimer_.reset();
                if (state_ == State::Connecting) finishConnect(0);
            });
    }
}

void QRBTCPConnection::socketReady(uint32_t events) {
    if (state_ == State::Connecting) {
        finishConnect(0);
        return;
    }
    if (state_ != State::Connected) return;
    if (events & (foundation::FdEvent::Readable | foundation::FdEvent::Error | foundation::FdEvent::HangUp)) {
        if (Result peer = checkPeer(); !peer) return;
    }
    if (Result written = flush(); !written) {
        close(written);
        return;
    }
    updateWatch();
}
