#pragma once
// The connection a TCP target sends through: OSC packets framed by their length (4 bytes, big
// endian), written on a non-blocking socket of our own.
//
// liblo's TCP client connects and writes with blocking calls on the caller's thread. On the main
// loop that means a connect to a host that does not answer holds everything for the kernel's
// whole SYN time-out (about two minutes), and a peer that stops reading (a hung program, a machine
// gone without closing) holds it for good once the socket buffers are full. Here nothing waits
// longer than kConnectWait, once per connection attempt:
// - the connect is non-blocking; the send that starts it waits at most kConnectWait for it (a
//   listening or refusing host on the loopback or the local network answers well within it), and
//   packets sent while it is still under way are held until it completes;
// - a connect that has not completed after kConnectTimeout fails, and so does one the peer
//   refuses; the packets held for it are dropped and the failure is logged;
// - a connection that came back to itself (a loopback port nobody listens on, picked as its own
//   source port) counts as refused;
// - a peer that closed its end is noticed before the next write (the end of its stream, or a
//   reset), and the connection is made again at once, as liblo does, so a target that comes back
//   gets what is sent from then on;
// - a peer that reads slowly gets its packets held, up to kMaxHeldBytes; past that a packet is
//   refused (EWOULDBLOCK) rather than blocking the loop.
// Whatever the peer sends back is read and dropped, so that its replies can't fill the buffers.
//
// Main thread only (it watches its socket on the main run loop).

#include "foundation/RunLoop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// What a send answers: error 0 when the packet was written or is held to be written, else an
// errno value with a text that says what happened.
struct QRBSendResult {
    int error = 0;
    std::string text;
    explicit operator bool() const { return error == 0; }
};

class QRBTCPConnection {
public:
    static constexpr double kConnectWait = 0.05;
    static constexpr double kConnectTimeout = 5.0;
    static constexpr size_t kMaxHeldBytes = 1 << 20;

    using Result = QRBSendResult;

    // To a numeric host (IPv4 or IPv6) and port; nothing is connected before the first send.
    QRBTCPConnection(std::string numericHost, int port);
    ~QRBTCPConnection();
    QRBTCPConnection(const QRBTCPConnection&) = delete;
    QRBTCPConnection& operator=(const QRBTCPConnection&) = delete;

    // Sends one OSC packet (a message or a bundle as bytes), framed.
    Result send(const void* packet, size_t size);

    // The packets' bytes written but not yet taken by the socket.
    size_t heldBytes() const { return held_.size() - heldOffset_; }
    bool isConnected() const { return state_ == State::Connected; }

    // The log line of a failed send: "Error %i during OSC routing: %s", in the log's bounded
    // form (one kind per error number).
    static void logSendError(int error, const std::string& text);
    // A connect to a loopback port that nothing listens on can pick that very port as its own and
    // succeed, connected to itself (TCP's simultaneous open): what is written comes back to the
    // same socket and reaches no one. Such a connection counts as refused.
    static bool isConnectedToItself(int fd);

private:
    enum class State { Closed, Connecting, Connected };
    using Clock = std::chrono::steady_clock;

    // Starts a connect; a failure closes the socket and is answered.
    Result connect();
    // Checks a connect under way (waiting at most `wait` seconds): Connected, still Connecting, or
    // failed (closed, answered).
    Result finishConnect(double wait);
    // Reads and drops what the peer sent; a closed or broken connection is closed and answered.
    Result checkPeer();
    // Writes what is held as far as the socket takes it; an error closes the connection.
    Result flush();
    // Closes the socket and drops what is held; with an error, logs it with the number of packets
    // that were dropped.
    void close(const Result& failure = Result{});
    // Watches for writability while something waits to be written (or a connect to complete).
    void updateWatch();
    void socketReady(uint32_t events);
    Result hold(const void* packet, size_t size);
    static Result failure(int error, const std::string& what = {});

    std::string host_;
    int port_;
    int fd_ = -1;
    State state_ = State::Closed;
    Clock::time_point connectStarted_{};
    // Framed packets not yet written, from heldOffset_ on; heldPackets_ counts the packets in it.
    std::vector<uint8_t> held_;
    size_t heldOffset_ = 0;
    size_t heldPackets_ = 0;
    std::deque<size_t> frameEnds_;
    std::shared_ptr<foundation::Timer> connectTimer_;
    foundation::FdWatch watch_;
    bool watchingWrites_ = false;
};
