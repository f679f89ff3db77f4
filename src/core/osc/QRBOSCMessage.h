#pragma once
// An OSC message: an address and its typed arguments. All input reaches the mappings in this
// form, and all OSC output leaves in it.

#include "core/osc/QRBArg.h"
#include "core/osc/QRBMessage.h"

#include <lo/lo.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

class QRBOSCMessage;
using QRBOSCMessagePtr = std::shared_ptr<QRBOSCMessage>;

// A liblo message owned by its holder; freed with lo_message_free.
struct QRBLibloMessageFree {
    void operator()(lo_message message) const { lo_message_free(message); }
};
using QRBLibloMessagePtr = std::unique_ptr<std::remove_pointer_t<lo_message>, QRBLibloMessageFree>;

class QRBOSCMessage : public QRBMessage {
    FND_ARCHIVED_CLASS("QRBOSCMessage", QRBMessage)

public:
    QRBOSCMessage();
    QRBOSCMessage(std::string path, std::vector<QRBArgPtr> arguments, foundation::Dictionary userInfo = {});

    // One argument per argument of the liblo message, in order; the liblo message stays the
    // caller's.
    static QRBOSCMessagePtr OSCMessageWithPath(const std::string& path, lo_message message);
    // Asserts that no argument is null.
    static QRBOSCMessagePtr OSCMessageWithPath(const std::string& path, std::vector<QRBArgPtr> arguments,
                                               foundation::Dictionary userInfo = {});
    // A message to `path` with this message's arguments from `index` on (none when `index` is the
    // count): one part of a demultiplexed message. Asserts at least one argument and an index no
    // greater than the count.
    QRBOSCMessagePtr OSCMessageWithPathKeepArgumentsAfterIndex(const std::string& path, size_t index) const;

    const std::string& path() const { return path_; }
    const std::vector<QRBArgPtr>& arguments() const { return arguments_; }

    // The arguments' type letters, without a leading comma.
    std::string OSCTypesSignature() const;
    // The path, " ,", the type signature, then a space and each argument as the argument printer
    // writes it.
    std::string presentation() const override;
    // The arguments in a new liblo message, or null when one of them cannot be added.
    QRBLibloMessagePtr createLibloMessage() const { return createLibloMessage(arguments_); }
    static QRBLibloMessagePtr createLibloMessage(const std::vector<QRBArgPtr>& arguments);
    // The bytes of the message `path` with `arguments`, as liblo serialises it, into `out`
    // (replaced), when every argument is an int32, a float or a string (what routes nearly
    // always send), without making a liblo message; false for other types, which liblo writes.
    static bool serialisePlain(const std::string& path, const std::vector<QRBArgPtr>& arguments,
                               std::vector<uint8_t>& out);
    // NO for the traffic of the device managers that feed the loopback input ("/midi", "/wacom",
    // "/wii"): the monitor shows MIDI in its own form and the rest not at all.
    bool isMonitorable() const override { return isMonitorablePath(path_); }
    // Whether a message to `path` is monitorable, before any message is made.
    static bool isMonitorablePath(const std::string& path);

    bool isEqualToOSCMessage(const QRBOSCMessage& other) const;

    // Archived under "path" and "arguments".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

    // Hook for the preferences, which the program's start installs: the source of the argument
    // printer's float precision (decimals). It is read once, the first time the class is used
    // after it is installed, and handed to QRBArg::setPrettyPrinterFloatPrecision; installing a
    // source again reads it again at the next use. An empty function removes the source.
    static void setPrettyPrinterFloatPrecisionSource(std::function<long()> source);

private:
    static void applyPrettyPrinterFloatPrecisionOnce();

    std::string path_;
    std::vector<QRBArgPtr> arguments_;
};
