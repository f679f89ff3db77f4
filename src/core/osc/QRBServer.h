#pragma once
// One OSC server of a document: UDP or TCP on the document's port.
//
// Every message is received, checked and dispatched on the main thread, so every method of the
// table and everything it drives runs there. No thread stands between the sockets and the main
// thread: the main run loop watches the server's sockets (through one epoll descriptor that holds
// them and the TCP connections), in every mode, and when input is ready the main thread reads it
// and lets liblo dispatch it through the method table, one message at a time, in the order it
// arrived. At live rates a message costs one thread wake-up, as in a program that waits on its
// socket itself. One pass of the loop takes a bounded batch of the datagrams already waiting (64,
// or 2 ms of the main thread); what is left keeps the socket ready, so that the loop's timers and
// other sources (the other server's among them) still run between batches of a burst.
//
// The server reads its sockets itself (liblo's server made them and keeps the method dispatch):
// every datagram and TCP frame passes QRBCheckOSCPacket before liblo's parser sees it. liblo
// calls on one server are serialised by its lock.
//
// liblo's sockets are IPv4 only; a socket of the server's own on the same port takes IPv6 peers
// (clients that resolve "localhost" to ::1), where the machine has IPv6. TCP streams are read
// with either framing, a length before each packet or SLIP. A bundle whose time tag lies ahead
// waits on the run loop's timers until it is due, as liblo's own queue would hold it; bundles
// due at the same time go in the order they arrived.
//
// Everything runs on the thread whose run loop started the server: the main thread.

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
#include <vector>

namespace foundation {
class RunLoop;
class RunLoopSource;
}  // namespace foundation

class QRBServer;

// The texts of the failures the server reports.
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
    // liblo's message, for the messages of bundles and those read through liblo; null for a plain
    // message read without it, whose time tag is "immediately".
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
    // NO at once when running (nothing is reported). Otherwise opens the sockets (startThread)
    // and publishes the server; a failure is reported to the delegate with libloError() and
    // answers NO.
    bool start();
    // Ends the publication, then the sockets (stopThread). Nothing when stopped.
    void stop();
    // A liblo server exists and the run loop watches its sockets.
    bool isRunning() const;
    // A received packet is being dispatched through the method table right now (its handlers
    // are running).
    bool isDispatching() const;

    // Makes the liblo server and has the current thread's run loop (the main one) watch its
    // sockets. No thread is started: the names are kept from when a listener thread waited.
    bool startThread();
    // Ends the watch at once and frees the liblo server and its sockets once no dispatch is under
    // way (a handler that stops its own server finishes first). Nothing read but not yet
    // dispatched is dispatched after it.
    void stopThread();
    // The main thread's reading: takes what is ready (a bounded batch) and dispatches it. The run
    // loop calls it whenever the sockets are readable.
    void notifyReady();

    // A packet made inside the program (MIDI input turned into OSC) enters as a datagram from
    // `host`:`port` would: checked, held while its time tag lies ahead, dispatched through the
    // table. Handed over in process it cannot be lost, as a datagram sent to the server's own
    // port is when a burst fills the socket's receive buffer. While a handler runs the loop
    // again, it waits until that handler has returned, as datagrams do. NO when not running.
    bool receivePacket(std::vector<uint8_t> packet, const std::string& host, const std::string& port);

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

    struct Run;  // one start's liblo server, sockets, watch and table

private:
    // Has the run loop call notifyReady whenever the run's sockets are readable.
    void watchInput(const std::shared_ptr<Run>& run);
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
    // Dispatches the packets handed over in process, unless a dispatch is under way.
    void dispatchDeferred(const std::shared_ptr<Run>& run);

    long port_ = 0;
    int protocol_;
    std::weak_ptr<QRBServerDelegate> delegate_;
    std::shared_ptr<foundation::NetService> service_;
    foundation::RunLoop* runLoop_ = nullptr;  // the loop that started the server; not owned
    std::shared_ptr<Run> run_;                // the liblo server and what goes with it, while running
};
