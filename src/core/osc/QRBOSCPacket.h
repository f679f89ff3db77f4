#pragma once
// Checks on OSC packets from the network, made before liblo's parser sees them, and the framing
// of OSC over a TCP stream.
//
// liblo 0.31 validates what it parses, but not everywhere before it reads: a blob argument with
// fewer than four bytes left, or a bundle element of length 0 at the end of a bundle, make it
// read past its buffer. So every datagram and every TCP frame must pass QRBCheckOSCPacket first;
// what passes is a complete, well-formed message or bundle that liblo parses without surprise.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The largest packet taken from the network: liblo's default limit, above any UDP datagram.
inline constexpr size_t kQRBMaxOSCPacketSize = 65535;

// Bundles inside bundles are followed to this depth at most.
inline constexpr int kQRBMaxOSCBundleDepth = 16;

// Why a packet was refused: liblo's error number for the fault (LO_ESIZE, LO_ETERM, ...), the
// text liblo gives that kind of failure with the fault itself after it, and the message's path
// when the packet got as far as a readable path (a bundle's element names its own).
struct QRBOSCPacketError {
    int number = 0;
    std::string text;
    std::optional<std::string> path;
};

// Nothing when `data` holds one well-formed OSC message or bundle: strings terminated and padded
// with zeros inside their bounds, a type tag string that begins with ',' and holds only the
// letters i h f d s S c b m t T F N I, every argument inside the packet and the packet ending
// with the last one; bundle elements that are not empty, a multiple of four long, inside the
// bundle and themselves well formed, nested at most kQRBMaxOSCBundleDepth deep.
std::optional<QRBOSCPacketError> QRBCheckOSCPacket(const uint8_t* data, size_t size);

// Cuts a TCP byte stream into OSC packets. Like liblo's TCP servers it reads either framing: a
// 32-bit big-endian length before each packet, or SLIP (RFC 1055), told apart by the first bytes
// of the stream as liblo does. Each stream gets its own framer.
class QRBOSCStreamFramer {
public:
    enum class Framing { Unknown, CountPrefix, SLIP };

    // Takes the next bytes of the stream and appends each packet it completes to `packets`.
    // Answers NO when the stream can no longer be read: a length prefix above
    // kQRBMaxOSCPacketSize, or a SLIP packet that grows beyond it. Packets completed before the
    // fault are still appended; the framer then refuses everything.
    bool append(const uint8_t* bytes, size_t count, std::vector<std::vector<uint8_t>>& packets);

    Framing framing() const { return framing_; }
    // What the stream's last fault was, for the log.
    const std::string& failure() const { return failure_; }
    // The fault came before any packet: the stream is framed neither way.
    bool isUnframed() const { return unframed_; }
    // Bytes taken that are not (yet) part of a whole packet: at the end of the stream, a packet
    // cut short, or a stream that is framed neither way.
    size_t unfinishedBytes() const { return failed_ ? 0 : pending_.size(); }

private:
    bool fail(std::string text);

    Framing framing_ = Framing::Unknown;
    std::vector<uint8_t> pending_;  // bytes not yet part of a whole packet (SLIP: decoded)
    bool slipEscape_ = false;
    bool framedAny_ = false;  // a packet was cut from the stream
    bool unframed_ = false;
    bool failed_ = false;
    std::string failure_;
};
