#pragma once
// The output that sends OSC to the network. When an action's trigger lets it act, the route
// builds a new message from its address template and its argument tokens, and the manager sends
// it to one of the document's targets, over UDP or TCP as the target says.
//
// Routes are the document's own: the manager's "oscRoutes" list holds them, any number of actions
// may use the same one, and carrying an action into another document reuses an equal route there
// (or adds this one). The route keeps no state between firings.
//
// The address template is plain text with placeholders in angle brackets, matched without regard
// to case, white space around them ignored:
//   <address>   the firing action's own address
//   <var N>     the document's variable N in its plain text form ("nil" when there is none)
//   <arg N>     a context's argument N after scaling (its own value without an argument N); a
//               single action's own value whatever N is
// Any other run of brackets is dropped, an unknown placeholder gives nothing, and a placeholder
// whose closing bracket is missing is logged once, when the template is first used. A template
// without brackets is sent as it stands. Templates are read once and kept read: each send only
// fills in the values.
//
// Everything here runs on the main thread.

#include "core/outputs/QRBArgToken.h"
#include "core/outputs/QRBEventSource.h"
#include "foundation/SortDescriptor.h"
#include "foundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBRouteEventSource;
using QRBRouteEventSourcePtr = std::shared_ptr<QRBRouteEventSource>;

class QRBRouteEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBRouteEventSource", QRBEventSource)

public:
    static constexpr int32_t kArchiveVersion = 5;
    static constexpr const char* kCollectionKeyPath = "oscRoutes";
    // Undo action names.
    static constexpr const char* kEditArgumentsActionName = "Edit Arguments";
    static constexpr const char* kEditRewriteAddressActionName = "Edit Rewrite Address";
    static constexpr const char* kSetTriggerModeActionName = "Set Trigger Mode";
    // The proposed collection of a document without routes: {kNoRoutesTitle: []}.
    static constexpr const char* kNoRoutesTitle = "No User Defined OSC Routing";
    static constexpr const char* kMissingClosingDelimiter =
        "Invalid routing address string: closing delimiter '>' was expected but has not been found, bailing out.";
    // The internal error of an element of setRewriteTokens that is neither a token nor a text.
    static constexpr const char* kNotAToken = "token in not an QRBArgToken";

    // Sends the firing action's address with all its arguments to the default target.
    QRBRouteEventSource();

    // ---- the protocol
    // 1 when the manager sent the message, -1 when it could not (no manager, no target, a target
    // without an address, a failed send). Never 0.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // The base's attach, then the action's trigger takes the route's trigger mode.
    void attach(QRBAction& action) override;
    // Same class, target, address (both none or equal), tokens (pairwise isEqualToArgToken) and
    // trigger mode; the memo does not count.
    bool isEqualToEventSource(const QRBEventSource& other) const override;
    // Uniquing into the destination's "oscRoutes".
    std::shared_ptr<QRBEventSourceMerging> merger() const override;
    // YES when the first token's type is 'h' or 'i'.
    bool requireIntegralScalingsFormatting() const override;
    // The base's setter and then every token's, when it changes.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;

    // The routes of the action's manager in the manager's routes order; without any, the one-entry
    // dictionary {kNoRoutesTitle: []}.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);
    // `routes` ordered by the sort descriptors' keys ("rewriteAddress", "name", "memo",
    // "targetIdentifier", "triggerMode", "argumentsRewrite"; others leave the order alone). Absent
    // texts come first; equal entries keep their order.
    static std::vector<QRBEventSourcePtr> sortedRoutes(std::vector<QRBEventSourcePtr> routes,
                                                       const std::vector<foundation::SortDescriptorPtr>& descriptors);

    // ---- what a send is made of
    std::string addressWithAction(const QRBAction& action) const;
    std::vector<QRBArgPtr> argumentsWithAction(const QRBAction& action) const;

    // ---- fields. Every setter but setMemo remakes the name afterwards, also when nothing changed.
    // -2 the local target, -1 the default target, 0 and up a slot.
    int64_t targetIdentifier() const { return targetIdentifier_; }
    // Undoable (no action name).
    void setTargetIdentifier(int64_t identifier);
    // None: the firing action's own address.
    const std::optional<std::string>& rewriteAddress() const { return rewriteAddress_; }
    // Undoable, named "Edit Rewrite Address".
    void setRewriteAddress(const std::optional<std::string>& address);
    const std::vector<QRBArgTokenPtr>& rewriteTokens() const { return rewriteTokens_; }
    // A list of tokens and token texts, as the token field gives it (null: nothing at all). The
    // same tokens as now change nothing but the name; a text that reads as no token drops the
    // whole change; otherwise undoable, named "Edit Arguments", and the tokens take the route's
    // undo manager. An element that is neither a token nor a text is an internal error, raised
    // before anything changes.
    void setRewriteTokens(const foundation::Value& tokens);
    void setRewriteTokens(const std::vector<QRBArgTokenPtr>& tokens);
    // The trigger mode the route gives every action that uses it (QRBTrigger::Mode).
    uint64_t triggerMode() const { return triggerMode_; }
    // Undoable, named "Set Trigger Mode"; the actions using the route attach again at their next
    // fire, so that their triggers take the new mode.
    void setTriggerMode(uint64_t mode);
    const std::optional<std::string>& memo() const { return memo_; }
    // Undoable (no action name); nothing at all when unchanged.
    void setMemo(const std::optional<std::string>& memo);

    // "" without tokens or with a $args token alone; else the tokens' display strings joined by
    // ", ".
    std::string argumentsRewrite() const;
    // "<target> ➛ <address> [mode] : <tokens>" or "<target> ➛ <memo>": L for the local target, Đ
    // for the default one, else the slot counted from 1. See the source for the parts.
    std::string makeName() const;

    // A new route of the same class with the same target, address, trigger mode, memo and name,
    // and a copy of each token.
    QRBRouteEventSourcePtr copy() const;

    // After the base's keys: "Version" (5), "targetIdentifier", "QRBRouteRewriteAddress",
    // "QRBRouteTokens", "triggerMode", "memo". Older versions are converted: see the source.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    virtual QRBRouteEventSourcePtr makeEmptyCopy() const { return std::make_shared<QRBRouteEventSource>(); }

private:
    // One piece of a read address template.
    struct TemplatePart {
        enum class Kind { Text, Address, Variable, Argument };
        Kind kind = Kind::Text;
        std::string text;    // Text
        uint64_t index = 0;  // Variable, Argument
    };
    struct ReadTemplate {
        std::vector<TemplatePart> parts;
        // Placeholders not followed by exactly one closing delimiter: one log line each.
        size_t missingClosingDelimiters = 0;
    };
    static ReadTemplate readTemplate(const std::string& text);
    static std::string fillTemplate(const ReadTemplate& read, const QRBAction& action);

    std::shared_ptr<foundation::UndoManager> registeringUndoManager() const;
    std::shared_ptr<QRBRouteEventSource> self() {
        return std::static_pointer_cast<QRBRouteEventSource>(shared_from_this());
    }
    void remakeName() { setName(makeName()); }
    void storeTokens(std::vector<QRBArgTokenPtr> tokens);

    int64_t targetIdentifier_ = -1;
    std::optional<std::string> rewriteAddress_;
    std::vector<QRBArgTokenPtr> rewriteTokens_;
    uint64_t triggerMode_ = 0;
    std::optional<std::string> memo_;
    // rewriteAddress_ as read, made at the first send after it changed.
    mutable std::shared_ptr<const ReadTemplate> readAddress_;
    // The argument list of a send, kept so that sending allocates none; empty between sends.
    std::vector<QRBArgPtr> sendArguments_;
    bool sending_ = false;
};
