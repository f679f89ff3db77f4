#include "core/osc/QRBServer.h"

#include "core/osc/QRBOSCPacket.h"
#include "core/osc/QRBTransport.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <lo/lo_errors.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// liblo refuses to register paths that hold these; a message path that holds one is a pattern.
constexpr const char* kPatternCharacters = " #*,?[]{}";

// One pass of the run loop takes at most this many datagrams, and stops taking more once it has
// used this much of the main thread: what is left keeps the sockets ready for the next pass, so
// that a burst is taken in batches and the loop's timers and other sources (the other server
// among them) still run between them.
constexpr int kMaxDatagramsPerHandOff = 64;
constexpr auto kHandOffTimeSlice = std::chrono::milliseconds(2);
// The receive buffer asked for on the UDP socket: bursts are lost in the kernel long before the
// process is saturated, and the default buffer holds only a few hundred small datagrams. The
// kernel caps the request at net.core.rmem_max without failing, and what it grants is enough.
// TCP connections keep the kernel's own buffer sizing, which grows with the traffic; a size set
// on them would switch that off.
constexpr int kUDPReceiveBufferBytes = 4 << 20;
// The TCP listening sockets' backlog: liblo listens with 8, which makes a burst of connects (a
// control surface reconnecting all its pages) wait for SYN retransmissions, a second or more.
// The kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = SOMAXCONN;
// When accept fails for want of descriptors, the listening sockets are left alone this long:
// the connection stays in the backlog, and watching the socket meanwhile would only hand it
// over again and again.
constexpr double kAcceptPauseSeconds = 0.25;
// Bundles that wait for their time tag hold at most this much in all per server: time tags come
// from the network, and a sender could otherwise fill the memory with bundles for next year.
constexpr size_t kMaxHeldBundleBytes = 16 << 20;
// What each held bundle costs besides its bytes (its entry, the sender's texts), roughly.
constexpr size_t kHeldBundleOverhead = 160;
// The process-wide last liblo error: one for all servers, replaced by each error, never cleared.
// The two port texts keep their %i until a server fills in its own port.
struct LastError {
    enum Kind { None, PortInUse, PermissionDenied, Other } kind = None;
    std::string text;
};
std::mutex gLastErrorMutex;
LastError gLastError;

// A packet that holds a bundle: its first string is "#bundle", as liblo decides.
bool isBundlePacket(const uint8_t* packet, size_t size) { return size >= 8 && std::memcmp(packet, "#bundle", 8) == 0; }

bool isPattern(const char* path) { return path && std::strpbrk(path, kPatternCharacters) != nullptr; }

uint32_t readBigEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

// A bundle's time tag (the packet passed QRBCheckOSCPacket: the header is whole).
lo_timetag bundleTimeTag(const uint8_t* bundle) {
    return lo_timetag{readBigEndian32(bundle + 8), readBigEndian32(bundle + 12)};
}

bool isImmediate(lo_timetag tag) { return tag.sec == LO_TT_IMMEDIATE.sec && tag.frac == LO_TT_IMMEDIATE.frac; }

// Seconds until `tag`, 0 for the immediate tag and for a time that has come.
double secondsUntil(lo_timetag tag, lo_timetag now) {
    if (isImmediate(tag)) return 0;
    return std::max(0.0, lo_timetag_diff(tag, now));
}

// Calls `visit` with each element of a checked bundle: its bytes and size.
template <class Visit> void forEachElement(const uint8_t* bundle, size_t size, Visit visit) {
    for (size_t at = 16; at + 4 <= size;) {
        const size_t length = readBigEndian32(bundle + at);
        visit(bundle + at + 4, length);
        at += 4 + length;
    }
}

// Whether a bundle holds a bundle, at any depth, whose time has not come.
bool holdsLaterBundle(const uint8_t* bundle, size_t size, lo_timetag now) {
    bool later = false;
    forEachElement(bundle, size, [&](const uint8_t* element, size_t length) {
        if (later || !isBundlePacket(element, length)) return;
        later = secondsUntil(bundleTimeTag(element), now) > 0 || holdsLaterBundle(element, length, now);
    });
    return later;
}

// `bundle` without the bundles inside it whose time has not come, which go to `later` to wait for
// it; nested bundles left empty are dropped. Appends to `out`.
void splitLaterBundles(const uint8_t* bundle, size_t size, lo_timetag now, std::vector<uint8_t>& out,
                       std::vector<std::vector<uint8_t>>& later) {
    out.insert(out.end(), bundle, bundle + 16);
    forEachElement(bundle, size, [&](const uint8_t* element, size_t length) {
        std::vector<uint8_t> kept;
        if (!isBundlePacket(element, length)) {
            kept.assign(element, element + length);
        } else if (secondsUntil(bundleTimeTag(element), now) > 0) {
            later.emplace_back(element, element + length);
            return;
        } else {
            splitLaterBundles(element, length, now, kept, later);
            if (kept.size() <= 16) return;
        }
        const uint32_t length32 = htonl(static_cast<uint32_t>(kept.size()));
        const auto* lengthBytes = reinterpret_cast<const uint8_t*>(&length32);
        out.insert(out.end(), lengthBytes, lengthBytes + 4);
        out.insert(out.end(), kept.begin(), kept.end());
    });
}

// The sockets liblo makes listen on IPv4 only. Input from IPv6 peers (a client that resolves
// "localhost" to ::1) comes through a socket of our own on the same port, IPv6 only so that it
// never competes with liblo's for IPv4. A machine without IPv6 goes on with IPv4 alone.
int openIPv6Socket(int protocol, int port) {
    const bool tcp = protocol == LO_TCP;
    int fd = socket(AF_INET6, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const char* failed = "socket";
    if (fd >= 0) {
        const int one = 1;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        failed = nullptr;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)
            failed = "setsockopt";
        else if (tcp && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
            failed = "setsockopt";
        else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            failed = "bind";
        else if (tcp && listen(fd, kListenBacklog) != 0)
            failed = "listen";
    }
    if (!failed) return fd;
    const int error = errno;
    if (fd >= 0) close(fd);
    foundation::logf("Warning: the OSC %s server on port %d takes no IPv6 input (%s: %s).", tcp ? "TCP" : "UDP", port,
                     failed, std::strerror(error));
    return -1;
}

// The numeric host and port of a peer; an IPv4 peer seen through an IPv6 socket in IPv4 form.
void describePeer(const sockaddr_storage& address, socklen_t length, std::string& host, std::string& port) {
    sockaddr_storage peer = address;
    if (peer.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            sockaddr_in v4{};
            v4.sin_family = AF_INET;
            v4.sin_port = v6->sin6_port;
            std::memcpy(&v4.sin_addr, &v6->sin6_addr.s6_addr[12], 4);
            std::memset(&peer, 0, sizeof peer);
            std::memcpy(&peer, &v4, sizeof v4);
            length = sizeof v4;
        }
    }
    char hostText[NI_MAXHOST];
    char portText[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, hostText, sizeof hostText, portText,
                    sizeof portText, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        host = hostText;
        port = portText;
    } else {
        host.clear();
        port.clear();
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// One start of a server

struct QRBMethodEntry {
    std::optional<std::string> path;
    // Rarely given (the document registers its contexts by path alone): a pointer rather than a
    // string kept in every entry, of which a document has two per top-level context.
    std::unique_ptr<const std::string> typespec;
    QRBMethodHandler handler;
    bool removed = false;
    // Grows with the entry's place in the table: the index below merges its lists by it.
    uint64_t order = 0;
};

namespace {

// The entries one message walks, listed when it starts so that handlers may change the table
// meanwhile. A plain path nearly always finds its own entry and the catch-all: those stay on the
// stack. The entries stay alive while any message is dispatched (see Run::retired), so the list
// holds plain pointers.
class MethodEntryList {
public:
    void reserve(size_t count) {
        if (count > kInline) more_.reserve(count - kInline);
    }
    void push_back(QRBMethodEntry* entry) {
        if (count_ < kInline)
            inline_[count_] = entry;
        else
            more_.push_back(entry);
        ++count_;
    }
    size_t size() const { return count_; }
    QRBMethodEntry* operator[](size_t i) const { return i < kInline ? inline_[i] : more_[i - kInline]; }

private:
    static constexpr size_t kInline = 4;
    std::array<QRBMethodEntry*, kInline> inline_{};
    size_t count_ = 0;
    std::vector<QRBMethodEntry*> more_;
};

// The entries of one plain path, in table order: nearly always a single one, which is kept
// without a heap block of its own (a document registers one entry per top-level context on each
// server, so this is paid per context).
class PathEntries {
public:
    size_t size() const { return first_ ? 1 + (more_ ? more_->size() : 0) : 0; }
    bool empty() const { return !first_; }
    QRBMethodEntry* operator[](size_t i) const { return i == 0 ? first_ : (*more_)[i - 1]; }
    QRBMethodEntry* front() const { return first_; }
    void push_back(QRBMethodEntry* entry) {
        if (!first_) {
            first_ = entry;
            return;
        }
        if (!more_) more_ = std::make_unique<std::vector<QRBMethodEntry*>>();
        more_->push_back(entry);
    }
    void erase(QRBMethodEntry* entry) {
        if (more_) std::erase(*more_, entry);
        if (first_ == entry) {
            first_ = nullptr;
            if (more_ && !more_->empty()) {
                first_ = more_->front();
                more_->erase(more_->begin());
            }
        }
        if (more_ && more_->empty()) more_.reset();
    }

private:
    QRBMethodEntry* first_ = nullptr;
    std::unique_ptr<std::vector<QRBMethodEntry*>> more_;
};

}  // namespace

struct QRBServer::Run {
    struct Connection {
        std::string host;
        std::string port;
        QRBOSCStreamFramer framer;
    };

    QRBServer* owner = nullptr;  // alive whenever liblo dispatches: notifyReady holds it
    int protocol = LO_UDP;
    lo_server server = nullptr;
    int socketFd = -1;   // liblo's socket: the UDP socket, or the listening TCP socket
    int socket6Fd = -1;  // ours on the same port for IPv6 peers, or -1 (no IPv6 here)
    // The server's sockets and connections in one descriptor, readable while any of them is:
    // what the run loop watches of a TCP server, whose connections come and go.
    int epollFd = -1;
    // The run loop's watches, while running: a UDP server's sockets themselves (one level of
    // epoll less on every message), a TCP server's epollFd.
    std::vector<foundation::FdWatch> inputs;
    // The main thread is reading and dispatching (notifyReady); a handler that runs the loop
    // again (a modal wait) must not be handed the next message meanwhile.
    bool reading = false;
    bool inputResting = false;  // the watch was cancelled for such a nested run

    std::recursive_mutex libloMutex;  // every liblo call on this server
    bool closed = false;              // stopped: nothing more is dispatched
    std::map<int, Connection> connections;
    // Descriptors ran out: the listening sockets are not watched until acceptTimer fires.
    bool acceptPaused = false;
    bool acceptFailureLogged = false;  // once until an accept succeeds again
    std::shared_ptr<foundation::Timer> acceptTimer;

    // Bundles whose time tag lies ahead, in the order they are due: by time tag, then arrival.
    struct HeldBundle {
        double due;  // in the run loop clock's seconds
        std::vector<uint8_t> bytes;
        std::string host;
        std::string port;
    };
    std::map<std::pair<uint64_t, uint64_t>, HeldBundle> held;  // (time tag, arrival)
    static size_t heldCost(const HeldBundle& bundle) { return bundle.bytes.size() + kHeldBundleOverhead; }
    size_t heldBytes = 0;
    uint64_t arrivals = 0;
    // Packets handed over in process while a handler ran the loop again: dispatched, in order,
    // once it has returned.
    struct InternalPacket {
        std::vector<uint8_t> bytes;
        std::string host;
        std::string port;
    };
    std::deque<InternalPacket> deferred;
    // What the kernel reported dropped on each UDP socket (its receive buffer was full) when the
    // last datagram was read: a running count since the socket was made.
    uint32_t kernelDropped[2] = {0, 0};
    std::shared_ptr<foundation::Timer> heldTimer;
    std::vector<std::shared_ptr<QRBMethodEntry>> table;
    // While messages are being dispatched (nested runs may dispatch one inside another), entries
    // deleted from the table wait here, so that the entries a message walks, and the handler
    // running, outlive the walk; they go when the outermost dispatch ends.
    int dispatchDepth = 0;
    std::vector<std::shared_ptr<QRBMethodEntry>> retired;
    // The entries of each plain path and the entries without a path, each list in table order,
    // so that a message walks only the entries that can take it instead of the whole table (a
    // document registers one entry per top-level context). Kept up to date by every change of the
    // table, at a cost that does not grow with the table: a document that learns a new address
    // while thousands are registered must not rebuild anything to go on routing the others.
    std::unordered_map<std::string_view, PathEntries> entriesByPath;  // keys view an entry's path
    std::vector<QRBMethodEntry*> pathlessEntries;
    uint64_t nextOrder = 0;

    bool isCatchAll(const QRBMethodEntry& entry) const { return !entry.path && !entry.typespec; }

    // Puts `entry` in the table: before the catch-all, unless it is one, which goes last.
    void insertEntry(std::shared_ptr<QRBMethodEntry> entry) {
        QRBMethodEntry* added = entry.get();
        added->order = ++nextOrder;
        QRBMethodEntry* catchAll = !table.empty() && isCatchAll(*table.back()) ? table.back().get() : nullptr;
        if (catchAll && !isCatchAll(*added)) {
            table.insert(table.end() - 1, std::move(entry));
            catchAll->order = ++nextOrder;  // still the last
        } else {
            catchAll = nullptr;
            table.push_back(std::move(entry));
        }
        if (added->path) {
            entriesByPath[*added->path].push_back(added);
        } else if (catchAll) {
            // The catch-all is the last entry without a path too.
            pathlessEntries.insert(pathlessEntries.end() - 1, added);
        } else {
            pathlessEntries.push_back(added);
        }
    }

    // Takes an entry marked removed out of the index (the table drops it afterwards).
    void unindexEntry(QRBMethodEntry* entry) {
        if (!entry->path) {
            std::erase(pathlessEntries, entry);
            return;
        }
        auto found = entriesByPath.find(std::string_view(*entry->path));
        if (found == entriesByPath.end()) return;
        PathEntries remaining = std::move(found->second);
        remaining.erase(entry);
        // The key may view the path of the entry that goes: it is keyed again by one that stays.
        auto node = entriesByPath.extract(found);
        if (remaining.empty()) return;
        node.key() = std::string_view(*remaining.front()->path);
        node.mapped() = std::move(remaining);
        entriesByPath.insert(std::move(node));
    }

    // The entries that may take a message for `path` without pattern characters, in table order.
    void entriesForPlainPath(const char* path, MethodEntryList& entries) const {
        static const PathEntries kNone;
        auto found = entriesByPath.find(std::string_view(path));
        const PathEntries& named = found == entriesByPath.end() ? kNone : found->second;
        const size_t namedCount = named.size();
        entries.reserve(namedCount + pathlessEntries.size());
        size_t a = 0;
        auto b = pathlessEntries.begin();
        while (a < namedCount || b != pathlessEntries.end()) {
            if (b == pathlessEntries.end() || (a < namedCount && named[a]->order < (*b)->order))
                entries.push_back(named[a++]);
            else
                entries.push_back(*b++);
        }
    }
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kQRBMaxOSCPacketSize + 1);
    // The last UDP sender, described: a stream of datagrams mostly comes from one peer, and
    // describing its address again for each one would cost more than routing the message.
    sockaddr_storage lastPeer{};
    socklen_t lastPeerLength = 0;
    std::string lastPeerHost, lastPeerPort;
    const std::string* senderHost = nullptr;  // of the packet being dispatched
    const std::string* senderPort = nullptr;

    ~Run() {
        inputs.clear();  // before the descriptors they watch are closed
        if (server) lo_server_free(server);
        for (auto& [fd, connection] : connections) close(fd);
        if (socket6Fd >= 0) close(socket6Fd);
        if (acceptTimer) acceptTimer->invalidate();
        if (heldTimer) heldTimer->invalidate();
        if (epollFd >= 0) close(epollFd);
    }

    bool watch(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
    }
};

namespace {

// Walks our table with one message liblo parsed. Handlers may change the table (or stop the
// server) while the message walks it; no exception leaves.
void dispatchToTable(QRBServer::Run* run, const char* path, const char* types, lo_arg** argv, int argc,
                     lo_message message) noexcept {
    if (!run || run->closed || !path || !types) return;
    struct Depth {
        QRBServer::Run& run;
        explicit Depth(QRBServer::Run& r) : run(r) { ++run.dispatchDepth; }
        ~Depth() {
            if (--run.dispatchDepth > 0 || run.retired.empty()) return;
            // What a handler captured may reach the table again as it goes.
            std::vector<std::shared_ptr<QRBMethodEntry>> gone;
            gone.swap(run.retired);
        }
    } depth(*run);
    try {
        const bool pattern = isPattern(path);
        // A list of its own: handlers may change the table while the message walks it.
        MethodEntryList entries;
        if (pattern) {
            entries.reserve(run->table.size());
            for (const auto& entry : run->table) entries.push_back(entry.get());
        } else {
            run->entriesForPlainPath(path, entries);
        }
        static const std::string kNone;
        const std::string& host = run->senderHost ? *run->senderHost : kNone;
        const std::string& port = run->senderPort ? *run->senderPort : kNone;
        int result = 1;
        for (size_t i = 0; i < entries.size(); ++i) {
            QRBMethodEntry* entry = entries[i];
            if (run->closed) break;
            if (entry->removed) continue;
            // A plain path listed only the entries for it and those without a path.
            if (pattern && entry->path && *entry->path != path && !lo_pattern_match(entry->path->c_str(), path))
                continue;
            if (!entry->typespec || *entry->typespec == types) {
                QRBServerMessage received{
                    *run->owner, entry->path ? entry->path->c_str() : path, types, argv, argc, message, host, port};
                try {
                    result = entry->handler(received);
                } catch (const std::exception& e) {
                    foundation::logf("Error: exception in the OSC method for %s: %s",
                                     foundation::logQuoted(path).c_str(), e.what());
                    result = 0;
                } catch (...) {
                    foundation::logf("Error: exception in the OSC method for %s", foundation::logQuoted(path).c_str());
                    result = 0;
                }
            }
            if (result == 0 && !pattern) break;
        }
    } catch (...) {
        foundation::logf("Error: OSC dispatch of %s failed", foundation::logQuoted(path ? path : "").c_str());
    }
}

// The arguments of a plain message, read the way liblo's parse hands them to a method: numbers
// in host order, strings as they are, each at its offset in a copy of the argument bytes. Only
// messages of numbers, strings and bare tags, of modest size, are read here (the rest go
// through liblo): for them liblo's parse would cost as much as all the routing, with a message
// object and three blocks of memory made and freed for each one. The packet has passed
// QRBCheckOSCPacket, so every string ends inside it and every argument fits.
struct PlainArguments {
    static constexpr size_t kMaxBytes = 512;
    static constexpr size_t kMaxCount = 32;
    alignas(8) std::array<uint8_t, kMaxBytes> bytes;
    std::array<lo_arg*, kMaxCount> argv;
    const char* types = nullptr;  // without the comma
    int argc = 0;

    bool read(const uint8_t* packet, size_t size) {
        const size_t pathSize = 4 * (std::strlen(reinterpret_cast<const char*>(packet)) / 4 + 1);
        const char* tags = reinterpret_cast<const char*>(packet) + pathSize;
        const size_t count = std::strlen(tags + 1);
        const size_t start = pathSize + 4 * ((count + 1) / 4 + 1);
        if (count > kMaxCount || size - start > kMaxBytes) return false;
        std::memcpy(bytes.data(), packet + start, size - start);
        size_t at = 0;
        for (size_t i = 0; i < count; ++i) {
            uint8_t* p = bytes.data() + at;
            argv[i] = reinterpret_cast<lo_arg*>(p);
            switch (tags[1 + i]) {
            case 'i':
            case 'f': {
                uint32_t v;
                std::memcpy(&v, p, 4);
                v = ntohl(v);
                std::memcpy(p, &v, 4);
                at += 4;
                break;
            }
            case 'h':
            case 'd': {
                uint32_t high, low;
                std::memcpy(&high, p, 4);
                std::memcpy(&low, p + 4, 4);
                const uint64_t v = uint64_t{ntohl(high)} << 32 | ntohl(low);
                std::memcpy(p, &v, 8);
                at += 8;
                break;
            }
            case 's':
            case 'S': at += 4 * (std::strlen(reinterpret_cast<const char*>(p)) / 4 + 1); break;
            case 'T':
            case 'F':
            case 'N':
            case 'I': break;
            default: return false;
            }
        }
        types = tags + 1;
        argc = static_cast<int>(count);
        return true;
    }
};

// The only method liblo knows, for the messages of bundles. It always answers 0, so liblo adds
// nothing of its own (its method listing reply would go to a source address it does not have).
int dispatchTrampoline(const char* path, const char* types, lo_arg** argv, int argc, lo_message message,
                       void* userData) noexcept {
    dispatchToTable(static_cast<QRBServer::Run*>(userData), path, types, argv, argc, message);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors

extern "C" void QRBServerErrorHandler(int number, const char* message, const char* where) {
    const char* w = where ? where : "(null)";
    const char* m = message ? message : "(null)";
    // `where` is the path of the message refused, as the sender wrote it.
    foundation::logf("OSC error %d in %s: %s", number, where ? foundation::logQuoted(where).c_str() : w, m);
    std::lock_guard lock(gLastErrorMutex);
    if (number == LO_NOPORT) {
        gLastError = {LastError::PortInUse, "Port %i already in use"};
    } else if (number == EACCES) {
        gLastError = {LastError::PermissionDenied, "Permission denied to open port %i"};
    } else {
        gLastError = {LastError::Other, foundation::format("%d in %s: %s\n", number, w, m)};
    }
}

std::string QRBServer::libloError() const {
    const char* name = protocol_ == LO_UDP ? "UDP" : "TCP";
    LastError last;
    {
        std::lock_guard lock(gLastErrorMutex);
        last = gLastError;
    }
    std::string text;
    switch (last.kind) {
    case LastError::None: return foundation::format("OSC %s Server error", name);
    case LastError::PortInUse: text = foundation::format("Port %i already in use", int(port_)); break;
    case LastError::PermissionDenied: text = foundation::format("Permission denied to open port %i", int(port_)); break;
    case LastError::Other: text = last.text; break;
    }
    return foundation::format("OSC %s Server error: %s", name, text.c_str());
}

void QRBServer::reportError(const std::string& text) {
    if (auto delegate = delegate_.lock()) delegate->server(*this, text);
}

void QRBServer::refusePacket(const std::string& text, int number, const std::optional<std::string>& path) {
    const foundation::LogKind kind("refused OSC packet", number);  // a flood of bad packets is summarised
    // Reported as liblo reports a message it cannot parse: through the error handler, then as a
    // failed receive.
    QRBServerErrorHandler(number, text.c_str(), path ? path->c_str() : nullptr);
    reportError(libloError());
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

std::shared_ptr<QRBServer> QRBServer::create(int protocol) { return std::make_shared<QRBServer>(Key{}, protocol); }

QRBServer::QRBServer(Key, int protocol) : protocol_(LO_UDP) { setProtocol(protocol); }

QRBServer::~QRBServer() {
    if (service_) {
        service_->setDelegate({});
        service_->stop();
    }
    stopThread();
}

void QRBServer::setProtocol(int protocol) {
    FND_PARAMETER_ASSERT(protocol == LO_UDP || protocol == LO_TCP);
    protocol_ = protocol;
}

bool QRBServer::isRunning() const { return run_ && !run_->closed; }

bool QRBServer::isDispatching() const { return run_ && run_->senderHost != nullptr; }

bool QRBServer::start() {
    if (isRunning()) return false;
    if (startThread()) {
        registerService();
        return true;
    }
    reportError(libloError());
    return false;
}

void QRBServer::stop() {
    if (!run_ && !service_) return;
    setService(nullptr);
    stopThread();
}

bool QRBServer::startThread() {
    std::string portText = foundation::format("%ld", port_);
    if (lo_server server = lo_server_new_with_proto(portText.c_str(), protocol_, QRBServerErrorHandler)) {
        lo_server_enable_coercion(server, 0);
        // liblo's queue would wait for a later receive that nothing asks for: bundles whose time
        // lies ahead wait on the run loop's timers instead (holdBundle), and liblo dispatches
        // each one when its time comes, with its time tag on each message.
        lo_server_enable_queue(server, 0, 0);

        auto run = std::make_shared<Run>();
        run->owner = this;
        run->protocol = protocol_;
        run->server = server;
        run->socketFd = lo_server_get_socket_fd(server);
        run->epollFd = epoll_create1(EPOLL_CLOEXEC);
        if (protocol_ == LO_TCP) {
            fcntl(run->socketFd, F_SETFL, fcntl(run->socketFd, F_GETFL) | O_NONBLOCK);
            // liblo has no setting for its backlog; listening again on a listening socket only
            // changes it.
            listen(run->socketFd, kListenBacklog);
        }
        run->socket6Fd = openIPv6Socket(protocol_, lo_server_get_port(server));
        // A larger buffer than asked for (a system that sets a large default) stays.
        for (int fd : {run->socketFd, run->socket6Fd}) {
            if (fd < 0 || protocol_ != LO_UDP) continue;
            // Every datagram read then tells how many the kernel dropped on the socket so far.
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
            int granted = 0;
            socklen_t grantedLength = sizeof granted;
            if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength) != 0 ||
                granted < kUDPReceiveBufferBytes) {
                int size = kUDPReceiveBufferBytes;
                setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            }
        }
        if (run->epollFd < 0 || !run->watch(run->socketFd) || (run->socket6Fd >= 0 && !run->watch(run->socket6Fd))) {
            QRBServerErrorHandler(errno, std::strerror(errno), "epoll");
            return false;
        }
        lo_server_add_method(server, nullptr, nullptr, dispatchTrampoline, run.get());

        if (runLoop_ != nullptr) FND_INTERNAL_ERROR("runLoop must be nil");
        runLoop_ = &foundation::RunLoop::current();
        watchInput(run);
        run_ = run;
    }
    return isRunning();
}

void QRBServer::watchInput(const std::shared_ptr<Run>& run) {
    // The run loop itself waits for input, in every mode (also while menus track), and the main
    // thread reads and dispatches it when it comes: one wake-up per message, where a thread of
    // its own that waited and handed over would cost two.
    std::weak_ptr<QRBServer> weak = weak_from_this();
    const auto watch = [&](int fd) {
        run->inputs.push_back(runLoop_->watchFd(fd, foundation::FdEvent::Readable, [weak](uint32_t) {
            if (auto self = weak.lock()) self->notifyReady();
        }));
    };
    run->inputs.clear();
    if (run->protocol == LO_UDP) {
        for (int fd : {run->socketFd, run->socket6Fd})
            if (fd >= 0) watch(fd);
    } else {
        watch(run->epollFd);
    }
}

void QRBServer::stopThread() {
    std::shared_ptr<Run> run = run_;
    if (run) {
        run->closed = true;
        // Nothing more is read; a stop from inside a handler ends the watch under way too.
        run->inputs.clear();
        // Bundles still waiting for their time go with the run, as liblo's queue goes with its
        // server.
        if (run->heldTimer) run->heldTimer->invalidate();
        if (run->acceptTimer) run->acceptTimer->invalidate();
    }
    // When a handler stopped the server, the dispatch under way holds the run until it returns.
    run_.reset();
    runLoop_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Hand-off and input

void QRBServer::notifyReady() {
    std::shared_ptr<QRBServer> self = shared_from_this();
    std::shared_ptr<Run> run = run_;
    if (!run || run->closed) return;
    if (run->reading) {
        // A handler runs the loop again. Messages are handled one at a time, so what came
        // meanwhile waits until that handler returns; the watch rests until then, or the nested
        // run would find the sockets ready again and again and spin.
        run->inputs.clear();
        run->inputResting = true;
        return;
    }
    struct Reading {
        Run& run;
        explicit Reading(Run& r) : run(r) { run.reading = true; }
        ~Reading() { run.reading = false; }
    };
    {
        Reading reading(*run);
        receive(run);
    }
    dispatchDeferred(run);
    if (run->inputResting && !run->closed && runLoop_) {
        run->inputResting = false;
        watchInput(run);  // what is still waiting makes it ready at once
    }
}

void QRBServer::receive(const std::shared_ptr<Run>& run) {
    std::lock_guard lock(run->libloMutex);
    // A UDP server has nothing to wait on but its sockets, and reading them until they would
    // block tells as much as asking epoll first.
    if (run->protocol == LO_UDP) {
        receiveDatagrams(run);
        return;
    }
    epoll_event events[32];
    int count = epoll_wait(run->epollFd, events, 32, 0);
    for (int i = 0; i < count && !run->closed; ++i) {
        int fd = events[i].data.fd;

        if (fd == run->socketFd || fd == run->socket6Fd) {
            acceptConnections(run, fd);
            continue;
        }

        auto it = run->connections.find(fd);
        if (it == run->connections.end()) continue;
        ssize_t size = recv(fd, run->buffer.data(), run->buffer.size(), MSG_DONTWAIT);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        bool keep = size > 0;
        if (size > 0) {
            std::vector<std::vector<uint8_t>> packets;
            keep = it->second.framer.append(run->buffer.data(), static_cast<size_t>(size), packets);
            std::string host = it->second.host;
            std::string port = it->second.port;
            std::string failure = it->second.framer.failure();
            const bool unframed = it->second.framer.isUnframed();
            for (auto& packet : packets) {
                if (run->closed) break;
                dispatchPacket(run, packet.data(), packet.size(), host, port);
            }
            if (!keep && !run->closed) {
                // One line for the connection: the framer refuses everything after its fault.
                refusePacket(
                    unframed
                        ? "Unreadable TCP stream from " + host + ":" + port + " (" + failure + "), connection closed"
                        : "Invalid TCP stream from " + host + ":" + port + " (" + failure + "), connection closed",
                    LO_TOOBIG, std::nullopt);
            }
        } else if (size == 0 && !run->closed && it->second.framer.unfinishedBytes() > 0) {
            // Without this the bytes would go without a word: a sender that writes OSC packets
            // with no framing at all (they look like SLIP that never ends one), or one that hung
            // up in the middle of a packet.
            refusePacket(foundation::format("TCP connection from %s:%s closed with %zu bytes that never completed a "
                                            "packet (neither length-prefixed nor SLIP-framed OSC, or cut short)",
                                            it->second.host.c_str(), it->second.port.c_str(),
                                            it->second.framer.unfinishedBytes()),
                         LO_ESIZE, std::nullopt);
        }
        if (!keep) {
            // End of stream, a read error, or a stream that cannot be followed any more.
            epoll_ctl(run->epollFd, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
            run->connections.erase(fd);
        }
    }
}

void QRBServer::acceptConnections(const std::shared_ptr<Run>& run, int listeningFd) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        int connection =
            accept4(listeningFd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) break;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The connection stays ready in the backlog, so a watched socket would be handed
                // over again at once, for ever: a core spinning and a log line each time.
                if (!run->acceptFailureLogged)
                    foundation::logf(
                        "Error: cannot accept TCP connections on port %ld (%s); they wait until "
                        "descriptors are free",
                        port_, std::strerror(error));
                run->acceptFailureLogged = true;
                pauseAccepting(run);
                break;
            }
            foundation::logf("Error: accept failed (errno=%d)", error);
            break;
        }
        run->acceptFailureLogged = false;
        Run::Connection c;
        describePeer(from, length, c.host, c.port);
        if (!run->watch(connection)) {
            close(connection);
            continue;
        }
        run->connections.emplace(connection, std::move(c));
    }
}

void QRBServer::pauseAccepting(const std::shared_ptr<Run>& run) {
    if (run->acceptPaused || !runLoop_) return;
    run->acceptPaused = true;
    for (int fd : {run->socketFd, run->socket6Fd})
        if (fd >= 0) epoll_ctl(run->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    std::weak_ptr<Run> weak = run;
    run->acceptTimer = runLoop_->scheduleTimer(kAcceptPauseSeconds, false, foundation::RunLoopMode::Common,
                                               [weak](foundation::Timer&) {
                                                   auto run = weak.lock();
                                                   if (!run || run->closed) return;
                                                   run->acceptTimer.reset();
                                                   run->acceptPaused = false;
                                                   // Watched again, a socket with connections
                                                   // waiting wakes the run loop at once.
                                                   for (int fd : {run->socketFd, run->socket6Fd})
                                                       if (fd >= 0) run->watch(fd);
                                               });
}

bool QRBServer::receivePacket(std::vector<uint8_t> packet, const std::string& host, const std::string& port) {
    std::shared_ptr<QRBServer> self = shared_from_this();
    std::shared_ptr<Run> run = run_;
    if (!run || run->closed) return false;
    run->deferred.push_back(Run::InternalPacket{std::move(packet), host, port});
    if (!run->reading) dispatchDeferred(run);
    return true;
}

void QRBServer::dispatchDeferred(const std::shared_ptr<Run>& run) {
    if (run->reading) return;
    struct Reading {
        Run& run;
        explicit Reading(Run& r) : run(r) { run.reading = true; }
        ~Reading() { run.reading = false; }
    } reading(*run);
    std::lock_guard lock(run->libloMutex);
    while (!run->deferred.empty() && !run->closed) {
        Run::InternalPacket packet = std::move(run->deferred.front());
        run->deferred.pop_front();
        if (packet.bytes.size() > kQRBMaxOSCPacketSize) {
            refusePacket(foundation::format("Message too large: %zu bytes", packet.bytes.size()), LO_TOOBIG,
                         std::nullopt);
            continue;
        }
        dispatchPacket(run, packet.bytes.data(), packet.bytes.size(), packet.host, packet.port);
    }
}

// The kernel's running count of datagrams it dropped on a socket, from a datagram's control
// data; `previous` when the datagram carried none.
static uint32_t kernelDropCount(msghdr& header, uint32_t previous) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&header); control; control = CMSG_NXTHDR(&header, control)) {
        if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SO_RXQ_OVFL &&
            control->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            uint32_t count;
            std::memcpy(&count, CMSG_DATA(control), sizeof count);
            return count;
        }
    }
    return previous;
}

void QRBServer::receiveDatagrams(const std::shared_ptr<Run>& run) {
    // What is already waiting, up to the hand-off's share; what is left keeps the socket ready
    // for the next hand-off.
    // Both sockets take turns, so that a burst on one does not hold the other back.
    const auto start = std::chrono::steady_clock::now();
    const int sockets[2] = {run->socketFd, run->socket6Fd};
    bool drained[2] = {false, run->socket6Fd < 0};
    for (int taken = 0, which = 0; taken < kMaxDatagramsPerHandOff && !run->closed && !(drained[0] && drained[1]);
         which ^= 1) {
        if (drained[which]) continue;
        if (taken > 0 && std::chrono::steady_clock::now() - start >= kHandOffTimeSlice) break;
        ++taken;
        sockaddr_storage from{};
        iovec data{run->buffer.data(), run->buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        ssize_t size = recvmsg(sockets[which], &header, MSG_DONTWAIT | MSG_TRUNC);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) drained[which] = true;
            continue;  // else an ICMP error of an earlier send, reported once; datagrams may follow it
        }
        socklen_t length = header.msg_namelen;
        const uint32_t dropped = kernelDropCount(header, run->kernelDropped[which]);
        if (dropped != run->kernelDropped[which]) {
            // Input that reached the machine and was lost before the program could read it: a
            // burst larger than the socket's buffer. Said in the bounded form, a flood being the
            // very thing that causes it.
            foundation::logOfKind("udp-receive-overflow",
                                  foundation::format("OSC input: the system dropped %u datagrams at port %ld, whose "
                                                     "receive buffer was full",
                                                     dropped - run->kernelDropped[which], port_));
            run->kernelDropped[which] = dropped;
        }
        if (length != run->lastPeerLength || std::memcmp(&from, &run->lastPeer, length) != 0) {
            describePeer(from, length, run->lastPeerHost, run->lastPeerPort);
            run->lastPeer = from;
            run->lastPeerLength = length;
        }
        if (static_cast<size_t>(size) > kQRBMaxOSCPacketSize) {
            refusePacket(foundation::format("Message too large: %zd bytes", size), LO_TOOBIG, std::nullopt);
            continue;
        }
        dispatchPacket(run, run->buffer.data(), static_cast<size_t>(size), run->lastPeerHost, run->lastPeerPort);
    }
}

void QRBServer::dispatchPacket(const std::shared_ptr<Run>& run, uint8_t* packet, size_t size, const std::string& host,
                               const std::string& port, const lo_timetag* dueAt) {
    if (auto error = QRBCheckOSCPacket(packet, size)) {
        refusePacket(error->text, error->number, error->path);
        return;
    }
    std::vector<uint8_t> due;  // a bundle without its later parts
    if (isBundlePacket(packet, size)) {
        // A bundle that waited is due: the bundles inside it wait on from its time, whatever the
        // wall clock says meanwhile.
        lo_timetag now;
        if (dueAt)
            now = *dueAt;
        else
            lo_timetag_now(&now);
        if (secondsUntil(bundleTimeTag(packet), now) > 0) {
            holdBundle(run, packet, size, now, host, port);
            return;
        }
        // A bundle inside may be for later still: it waits on its own, the rest goes now.
        if (holdsLaterBundle(packet, size, now)) {
            std::vector<std::vector<uint8_t>> later;
            splitLaterBundles(packet, size, now, due, later);
            for (auto& bundle : later) holdBundle(run, bundle.data(), bundle.size(), now, host, port);
            if (due.size() <= 16) return;
            packet = due.data();
            size = due.size();
        }
    }
    run->senderHost = &host;
    run->senderPort = &port;
    int result;
    PlainArguments plain;
    if (isBundlePacket(packet, size)) {
        // liblo walks the elements and gives each message its bundle's time tag.
        result = lo_server_dispatch_data(run->server, packet, size);
    } else if (plain.read(packet, size)) {
        // No liblo message: a plain message's time tag is "immediately".
        dispatchToTable(run.get(), reinterpret_cast<const char*>(packet), plain.types, plain.argv.data(), plain.argc,
                        nullptr);
        result = static_cast<int>(size);
    } else if (lo_message message = lo_message_deserialise(packet, size, &result)) {
        // A plain message goes straight to the table: liblo's dispatch would only add a source
        // address per message that nothing reads (the sender is ours) and a walk through its one
        // method. The reference taken is the one liblo's dispatch holds while handlers run.
        lo_message_incref(message);
        dispatchToTable(run.get(), reinterpret_cast<const char*>(packet), lo_message_get_types(message),
                        lo_message_get_argv(message), lo_message_get_argc(message), message);
        lo_message_free(message);
        result = static_cast<int>(size);
    } else {
        // What the check let through liblo parses; should it refuse anyway, its dispatch reports
        // the refusal in its own words.
        result = lo_server_dispatch_data(run->server, packet, size);
    }
    run->senderHost = nullptr;
    run->senderPort = nullptr;
    // liblo's error handler has said why; "read error or timeout" would only mislead.
    if (result < 0 && !run->closed) reportError(libloError());
}

void QRBServer::holdBundle(const std::shared_ptr<Run>& run, const uint8_t* bundle, size_t size, lo_timetag now,
                           const std::string& host, const std::string& port) {
    if (run->heldBytes + size + kHeldBundleOverhead > kMaxHeldBundleBytes) {
        refusePacket(
            foundation::format("Too many bundles waiting for their time (%zu bytes): bundle dropped", run->heldBytes),
            LO_TOOBIG, std::nullopt);
        return;
    }
    const lo_timetag tag = bundleTimeTag(bundle);
    // Equal time tags keep their order of arrival.
    auto [position, inserted] =
        run->held.emplace(std::make_pair(uint64_t(tag.sec) << 32 | tag.frac, run->arrivals++),
                          Run::HeldBundle{runLoop_->now() + secondsUntil(tag, now),
                                          std::vector<uint8_t>(bundle, bundle + size), host, port});
    run->heldBytes += Run::heldCost(position->second);
    if (position == run->held.begin()) scheduleHeldBundles(run);
}

void QRBServer::scheduleHeldBundles(const std::shared_ptr<Run>& run) {
    if (run->heldTimer) {
        run->heldTimer->invalidate();
        run->heldTimer.reset();
    }
    if (run->held.empty() || !runLoop_) return;
    std::weak_ptr<QRBServer> weakSelf = weak_from_this();
    std::weak_ptr<Run> weakRun = run;
    run->heldTimer = runLoop_->scheduleTimer(std::max(0.0, run->held.begin()->second.due - runLoop_->now()), false,
                                             foundation::RunLoopMode::Common, [weakSelf, weakRun](foundation::Timer&) {
                                                 auto self = weakSelf.lock();
                                                 auto run = weakRun.lock();
                                                 if (self && run && self->run_ == run) self->dispatchHeldBundles(run);
                                             });
}

void QRBServer::dispatchHeldBundles(const std::shared_ptr<Run>& run) {
    run->heldTimer.reset();
    {
        std::lock_guard lock(run->libloMutex);
        // Only the front is taken each time: what is due later never overtakes it.
        // (A microsecond early counts as due: the timer's date and `due` may round apart.)
        while (!run->held.empty() && !run->closed && run->held.begin()->second.due <= runLoop_->now() + 1e-6) {
            const uint64_t tag = run->held.begin()->first.first;
            Run::HeldBundle bundle = std::move(run->held.begin()->second);
            run->held.erase(run->held.begin());
            run->heldBytes -= Run::heldCost(bundle);
            const lo_timetag dueAt{uint32_t(tag >> 32), uint32_t(tag)};
            dispatchPacket(run, bundle.bytes.data(), bundle.bytes.size(), bundle.host, bundle.port, &dueAt);
        }
    }
    if (!run->closed && run_ == run && !run->heldTimer) scheduleHeldBundles(run);
}

// ---------------------------------------------------------------------------------------------
// Texts and Bonjour

std::string QRBServer::loopbackURL() const { return QRBLocalOSCURLForPort(port_, protocol_); }

void QRBServer::registerService() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::string name = foundation::format("%s:%ld (Quorbital)", host, port_);
    setService(foundation::NetService::create("", QRBServiceTypeForTransportProtocol(protocol_), name, int(port_)));
}

void QRBServer::setService(std::shared_ptr<foundation::NetService> service) {
    if (service == service_) return;
    if (!service && service_) {
        service_->setDelegate({});
        service_->stop();
    }
    service_ = std::move(service);
    if (service_) {
        service_->setDelegate(weak_from_this());
        service_->publish();
    }
}

void QRBServer::netServiceDidPublish(foundation::NetService& sender) {
    if (protocol_ != LO_TCP) return;
    foundation::TXTRecord record{{kQRBAPISupportTXTKey, foundation::Data{'Y', 'E', 'S'}}};
    if (!sender.setTXTRecordData(record)) foundation::log(kQRBServerTXTRecordError);
}

// ---------------------------------------------------------------------------------------------
// Method table

bool QRBServer::addMethod(const std::optional<std::string>& path, const std::optional<std::string>& typespec,
                          QRBMethodHandler handler) {
    if (!run_ || run_->closed) return false;
    if (path && isPattern(path->c_str())) return false;
    run_->insertEntry(std::make_shared<QRBMethodEntry>(
        QRBMethodEntry{path, typespec ? std::make_unique<const std::string>(*typespec) : nullptr, std::move(handler)}));
    return true;
}

void QRBServer::deleteMethod(const std::optional<std::string>& path, const std::optional<std::string>& typespec) {
    if (!run_) return;
    const bool pattern = path && isPattern(path->c_str());
    Run& run = *run_;
    for (const auto& entry : run.table) {
        bool pathMatches = (!entry->path && !path) || (entry->path && path && *entry->path == *path) ||
                           (pattern && entry->path && lo_pattern_match(entry->path->c_str(), path->c_str()));
        bool typeMatches =
            (!entry->typespec && !typespec) || (entry->typespec && typespec && *entry->typespec == *typespec);
        if (!pathMatches || !typeMatches) continue;
        entry->removed = true;
        run.unindexEntry(entry.get());
        // A message being dispatched may still reach it, or be running its handler.
        if (run.dispatchDepth > 0) run.retired.push_back(entry);
    }
    std::erase_if(run.table, [](const std::shared_ptr<QRBMethodEntry>& entry) { return entry->removed; });
}

void QRBServer::clearRegisteredMethods() { deleteMethod(std::string("*"), std::nullopt); }

void QRBServer::registerRootCallback(QRBMethodHandler handler) {
    if (!run_ || run_->closed) return;
    deleteMethod(std::nullopt, std::nullopt);
    addMethod(std::nullopt, std::nullopt, std::move(handler));
}

bool QRBServer::registerMethod(const std::string& path, QRBMethodHandler handler) {
    return addMethod(path, std::nullopt, std::move(handler));
}

size_t QRBServer::methodCount() const { return run_ ? run_->table.size() : 0; }

// ---------------------------------------------------------------------------------------------
// Output

long QRBServer::sendToOSCAddress(lo_address address, const char* method, lo_message message) {
    std::shared_ptr<Run> run = run_;
    if (!message || !method || !address || !isRunning() || !run) {
        foundation::log(kQRBServerSendError);
        return -1;
    }
    std::lock_guard lock(run->libloMutex);
    // UDP leaves from the server's own socket, so that replies come back to the document's port.
    // A TCP message travels over the address's own connection whatever liblo is given as the
    // sender; handing it the TCP server would only make that server own the address's socket
    // (and close it under the address when the server is freed).
    lo_server from = (protocol_ == LO_UDP && lo_address_get_protocol(address) == LO_UDP) ? run->server : nullptr;
    return lo_send_message_from(address, from, method, message);
}

int QRBServer::sendDatagram(const void* bytes, size_t size, const sockaddr_in& to) {
    // No liblo call is made here, so the liblo lock is not taken; the socket stays open for as
    // long as the run is kept, and only the main thread ends a run.
    const Run* run = run_.get();
    if (!run || run->closed || protocol_ != LO_UDP || run->socketFd < 0) return EBADF;
    // The flags liblo sends with: a peer that went away must not raise SIGPIPE.
    if (sendto(run->socketFd, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return errno;
    return 0;
}

int QRBServer::sendDatagram(const void* bytes, size_t size, const sockaddr_in6& to) {
    const Run* run = run_.get();
    if (!run || run->closed || protocol_ != LO_UDP || run->socket6Fd < 0) return EBADF;
    if (sendto(run->socket6Fd, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return errno;
    return 0;
}
