#pragma once
// One OSC server of a document: UDP or TCP on the document's port.
//
// A listener thread only waits for input; every message is received, checked and dispatched on
// the main thread, so every method of the table and everything it drives runs there. The
// hand-off: the listener waits on the server's sockets in slices of 200 ms; when input is ready
// it signals a run-loop source on the main run loop and blocks on the named semaphore
// "OSC_sem_%05i-%01i" (port, protocol). The main thread reads what is ready, lets liblo dispatch
// it through the method table and posts the semaphore, and only then does the listener wait on
// the sockets again: at most one hand-off per server is in flight, and messages are dispatched in
// the order they arrived. One hand-off takes a bounded batch of the datagrams already waiting
// (64, or 2 ms of the main thread), so that a burst does not cost two thread wake-ups per
// message and the loop's timers and other sources still run between batches.
//
// The server reads its sockets itself (liblo's server made them and keeps the method dispatch):
// every datagram and TCP frame passes QRBCheckOSCPacket before liblo's parser sees it, the
// listener never calls liblo (so the main thread may send from the same server meanwhile), and a
// stop wakes the listener at once. liblo calls on one server are serialised by its lock.
//
// liblo's sockets are IPv4 only; a socket of the server's own on the same port takes IPv6 peers
// (clients that resolve "localhost" to ::1), where the machine has IPv6. TCP streams are read
// with either framing, a length before each packet or SLIP. A bundle whose time tag lies ahead
// waits on the run loop's timers until it is due, as liblo's own queue would hold it; bundles
// due at the same time go in the order they arrived.
//
// Everything but the listener runs on the main thread.

#include "foundation/NetService.h"

#include <lo/lo.h>
#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace foundation {
class RunLoop;
class RunLoopSource;
}  // namespace foundation

class QRBServer;

// The texts of the failures the server reports.
inline constexpr const char* kQRBServerStartTimeout = "Error: timeout occurred when starting OSC thread.";
inline constexpr const char* kQRBServerStopTimeout = "Error: timeout when stopping OSC thread.";
inline constexpr const char* kQRBServerSendError = "Error: in sendToOSCAddress:method:message:";
inline constexpr const char* kQRBServerTXTRecordError = "Error: Failed to set TXT record data.";
// The TXT record key that TCP servers publish: they serve the control API.
inline constexpr const char* kQRBAPISupportTXTKey = "Quorbital-API-Support";

// Hears of the failures of a server (the manager).
class QRBServerDelegate {
public:
    virtual ~QRBServerDelegate() = default;
    // `server:errorOccurred:`: the server could not start, or could not read what arrived.
    virtual void server(QRBServer& server, const std::string& errorOccurred) = 0;
};

// What one entry of the method table is called with: liblo's view of one received message (one
// element of a bundle counts as a message) and the sender, which only the server knows (liblo's
// lo_message_get_source has no host or port for input the server read itself).
struct QRBServerMessage {
    QRBServer& server;
    // The entry's own path, or the message's path for an entry without one (the catch-all): the
    // path a pattern message reaches each entry with.
    const char* path;
    // The type tags, without the comma.
    const char* types;
    // liblo's argument values. They point into the message's data at 4-byte alignment: read
    // 64-bit values (h, d, t) with memcpy, never through the lo_arg fields.
    lo_arg** argv;
    int argc;
    lo_message message;
    // The sender's numeric address ("127.0.0.1"; IPv4-mapped IPv6 addresses in IPv4 form) and
    // port as text.
    const std::string& senderHost;
    const std::string& senderPort;
};

// An entry's handler answers 0 when it took the message; for a path without pattern characters
// the walk through the table stops at the first entry that took it. An exception thrown by a
// handler is caught and logged at the table's boundary and counts as taken.
using QRBMethodHandler = std::function<int(const QRBServerMessage&)>;

// The liblo error handler of every server: logs "OSC error %d in %s: %s" and keeps the process's
// last liblo error text ("Port %i already in use" for 9904, "Permission denied to open port %i"
// for 13, "%d in %s: %s\n" for any other). liblo may pass a null `where`.
extern "C" void QRBServerErrorHandler(int number, const char* message, const char* where);

class QRBServer : public std::enable_shared_from_this<QRBServer>, public foundation::NetServiceDelegate {
    struct Key {};

public:
    // A stopped server for `protocol` (LO_UDP or LO_TCP) on port 0.
    static std::shared_ptr<QRBServer> create(int protocol);
    QRBServer(Key, int protocol);
    ~QRBServer() override;
    QRBServer(const QRBServer&) = delete;
    QRBServer& operator=(const QRBServer&) = delete;

    // --- lifecycle
    // NO at once when running (nothing is reported). Otherwise starts the thread and publishes
    // the server; a failure is reported to the delegate with libloError() and answers NO.
    bool start();
    // Ends the publication, then the thread. Nothing when stopped.
    void stop();
    // A liblo server exists and its listener runs.
    bool isRunning() const;
    // A received packet is being dispatched through the method table right now (its handlers
    // are running).
    bool isDispatching() const;

    // Makes the liblo server and the listener (200 checks 1 ms apart for it to come up).
    bool startThread();
    // Stops the listener (200 checks 1 ms apart, then logs and waits on) and frees the liblo
    // server, its sockets and the source once the listener has ended and no dispatch is under way.
    void stopThread();
    // The main thread's half of the hand-off: reads and dispatches what is ready, then releases
    // the listener. Performed by the run-loop source.
    void notifyReady();

    // --- texts
    // QRBLocalOSCURLForPort with the port and protocol.
    std::string loopbackURL() const;
    // "OSC UDP Server error" or "OSC TCP Server error", with ": " and the last liblo error text
    // when there is one (its %i filled with this server's port).
    std::string libloError() const;
    // Hands `text` to the delegate.
    void reportError(const std::string& text);

    // --- Bonjour
    // Publishes "<host>:<port> (Quorbital)" as the type of the protocol in the default domains.
    void registerService();
    // Replaces the publication (the same one: nothing). The old one, when cleared, loses its
    // delegate and stops; a new one gets this server as delegate and is published.
    void setService(std::shared_ptr<foundation::NetService> service);
    const std::shared_ptr<foundation::NetService>& service() const { return service_; }
    // A published TCP server adds the TXT record {"Quorbital-API-Support": "YES"}.
    void netServiceDidPublish(foundation::NetService& sender) override;

    // --- the method table (empty after every start, refused while stopped)
    // Entries are walked in order for each message; an entry without a path takes every path,
    // one without a type list every type list (coercion is off: an entry with one takes
    // only messages whose types equal it). The catch-all (neither path nor types) is always the
    // last entry: new entries go before it.
    //
    // Adds an entry; NO while stopped or when the path holds a pattern character
    // (" #*,?[]{}"), which liblo refuses too.
    bool addMethod(const std::optional<std::string>& path, const std::optional<std::string>& typespec,
                   QRBMethodHandler handler);
    // Deletes the entries liblo's lo_server_del_method would: those whose path equals `path`
    // (or that `path` matches as a pattern; a null path deletes entries without a path) and whose
    // type list equals `typespec` (null: without one).
    void deleteMethod(const std::optional<std::string>& path, const std::optional<std::string>& typespec);
    // Deletes every entry that has a path and no type list; the catch-all stays.
    void clearRegisteredMethods();
    // Puts `handler` as the catch-all, replacing the one there was, at the end of the table.
    void registerRootCallback(QRBMethodHandler handler);
    // An entry for `path` without a type list, then the catch-all moved to the end
    // again: what the manager registers for each top-level context. NO while stopped or for a
    // path with a pattern character.
    bool registerMethod(const std::string& path, QRBMethodHandler handler);
    // How many entries the table holds (the catch-all included).
    size_t methodCount() const;

    // Changes of the table made while a message is being dispatched (by the handlers it
    // reaches) are safe: an entry deleted meanwhile is not called again, one added is called
    // from the next message on.

    // --- output
    // Sends `message` to `address` under `path` from this server's socket (UDP: the datagram
    // leaves from the document's port; TCP: over the address's own connection) and answers
    // liblo's result; -1 and the log's "Error: in sendToOSCAddress:method:message:" when
    // something is missing or the server is stopped.
    long sendToOSCAddress(lo_address address, const char* method, lo_message message);
    // Sends one packet's bytes from this UDP server's socket to an IPv4 destination, as liblo
    // sends a UDP message from a server (the datagram leaves from the document's port). 0, or
    // the errno of the failure (EBADF while stopped or for a TCP server).
    int sendDatagram(const void* bytes, size_t size, const sockaddr_in& to);
    // The same to an IPv6 destination, from the server's IPv6 socket on the document's port
    // (EBADF too where there is none: a machine without IPv6).
    int sendDatagram(const void* bytes, size_t size, const sockaddr_in6& to);

    // --- accessors
    long port() const { return port_; }
    // Takes effect at the next start.
    void setPort(long port) { port_ = port; }
    int protocol() const { return protocol_; }
    // LO_UDP or LO_TCP; takes effect at the next start.
    void setProtocol(int protocol);
    std::weak_ptr<QRBServerDelegate> delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<QRBServerDelegate> delegate) { delegate_ = std::move(delegate); }

    // The semaphore name of a port and protocol: "OSC_sem_%05i-%01i".
    static std::string semaphoreName(long port, int protocol);

    struct Run;  // one start's liblo server, sockets, listener and table

private:
    void runThreadLoop(std::shared_ptr<Run> run);
    void receive(const std::shared_ptr<Run>& run);
    void receiveDatagrams(const std::shared_ptr<Run>& run);
    void acceptConnections(const std::shared_ptr<Run>& run, int listeningFd);
    // Stops watching the listening sockets for a moment (accept ran out of descriptors).
    void pauseAccepting(const std::shared_ptr<Run>& run);
    // A bundle whose time tag lies ahead waits on the run loop's timers until it is due.
    void holdBundle(const std::shared_ptr<Run>& run, const uint8_t* bundle, size_t size, lo_timetag now,
                    const std::string& host, const std::string& port);
    void scheduleHeldBundles(const std::shared_ptr<Run>& run);
    void dispatchHeldBundles(const std::shared_ptr<Run>& run);
    // A bundle whose time tag lies ahead is held (holdBundle); `dueAt` is the time of a held
    // bundle whose time has come.
    void dispatchPacket(const std::shared_ptr<Run>& run, uint8_t* packet, size_t size, const std::string& host,
                        const std::string& port, const lo_timetag* dueAt = nullptr);
    void refusePacket(const std::string& text, int number, const std::optional<std::string>& path);

    long port_ = 0;
    int protocol_;
    std::weak_ptr<QRBServerDelegate> delegate_;
    std::shared_ptr<foundation::NetService> service_;
    foundation::RunLoop* runLoop_ = nullptr;  // the loop that started the server; not owned
    std::shared_ptr<foundation::RunLoopSource> runLoopSource_;
    std::shared_ptr<Run> run_;  // the liblo server and what goes with it, while running
    std::thread thread_;
};
