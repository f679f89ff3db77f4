#pragma once
// The argument-rewriting language of routes. A route describes the arguments it sends as a list of
// tokens; each token, evaluated against the action that fired, appends zero, one or several
// values to the outgoing argument list:
//
//   $args            every argument (QRBArgTokenCopy)
//   $arg[N]          argument N (QRBArgTokenIndexValue)
//   $var[N]          the document's variable N (QRBArgTokenVarRef)
//   $argf[1] $vari[3] $arg s[2]
//                    the same with a type letter (f, i or s) before the bracket
//   $$               a dollar sign
//   (a,b,c)          one member, chosen by where the action's value lies in its output range
//   5  0.25  hello   literals (QRBArgTokenStatic)
//
// Two more kinds take the value of another action by its location: the manager's backmapping
// makes them, the user can't type them (QRBArgTokenByRef, QRBArgTokenUpdateRef). The base class
// alone stands for the firing action's own value.
//
// Token texts come from users and documents: no text, however malformed, raises.
// Main thread only.

#include "core/osc/QRBArg.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {
class UndoManager;
}

class QRBAction;
class QRBActionLocation;
class QRBArgToken;
using QRBArgTokenPtr = std::shared_ptr<QRBArgToken>;

class QRBArgToken : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBArgToken", foundation::Object)

public:
    // Text of the error of a type letter the token language does not know.
    static constexpr const char* kUnhandledTypeFormat = "Unhandled argument type: %i";

    // Keeps the value's own type ('=').
    QRBArgToken() = default;
    // The type as setType() stores it, without undo.
    explicit QRBArgToken(int32_t type);

    // The token a text stands for, or null when it stands for none: no text, an empty text, a
    // group with an empty member, a negative or too large index, a text that is not UTF-8.
    static QRBArgTokenPtr parseArgToken(const std::optional<std::string>& text);

    // '=' (keep the value's type), 'f', 'i' or 's'.
    int32_t type() const { return type_; }
    // Any letter other than 'f', 'i' and 's' becomes '='. Undoable (no action name).
    void setType(int32_t type);

    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    // Groups hand it down to their members.
    virtual void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    // Appends the token's values for the firing action to `result`.
    virtual void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const;

    // Shown in the token field and in route names.
    virtual std::string displayString() const;
    // The text that parseArgToken() reads back as an equal token; none for tokens that can't be
    // edited as text.
    virtual std::optional<std::string> editingString() const;
    // The keyword after "$" ("args", "arg", "var"); none for the base class.
    virtual std::optional<std::string> typeSuffixString() const { return std::nullopt; }
    // "" for '=', else "s:", "i:" or "f:".
    std::string typePrefixString() const;
    // Whether the editor may offer numeric types for the token.
    virtual bool canCoerceToNumber() const { return true; }

    // The same object, or the same class, type and content (value, index, members, location).
    virtual bool isEqualToArgToken(const QRBArgToken& other) const;

    // A token of the same class and type with a copy of its content; no undo manager.
    QRBArgTokenPtr copy() const;

    // "QRBArgTokenType". Decoding takes a missing or unknown letter as '='.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    // A new, empty token of the receiver's class, for copy().
    virtual QRBArgTokenPtr makeEmptyCopy() const { return std::make_shared<QRBArgToken>(); }
    // Fills a token made by makeEmptyCopy(); subclasses add their content after this.
    virtual void copyInto(QRBArgToken& copy) const { copy.type_ = type_; }
    // The value converted to the token's type ('=' keeps it).
    QRBArgPtr coerced(const QRBArg& value) const;
    // The undo manager when a change should register its inverse there (there is one and
    // registration is on), else null.
    std::shared_ptr<foundation::UndoManager> registeringUndoManager() const;
    template <class T> std::shared_ptr<T> selfAs() { return std::static_pointer_cast<T>(shared_from_this()); }

private:
    int32_t type_ = '=';
    std::weak_ptr<foundation::UndoManager> undoManager_;
};

// $args: every argument as received for a context, the scaled value for a single action.
class QRBArgTokenCopy : public QRBArgToken {
    FND_ARCHIVED_CLASS("QRBArgTokenCopy", QRBArgToken)

public:
    QRBArgTokenCopy() = default;

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    std::string displayString() const override { return "<all args>"; }
    std::optional<std::string> typeSuffixString() const override { return "args"; }
    bool canCoerceToNumber() const override { return false; }

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenCopy>(); }
};

// A literal value.
class QRBArgTokenStatic : public QRBArgToken {
    FND_ARCHIVED_CLASS("QRBArgTokenStatic", QRBArgToken)

public:
    // A Nil value.
    QRBArgTokenStatic();
    // The literal reading of the text, type '='.
    explicit QRBArgTokenStatic(const std::string& text);

    const QRBArgPtr& arg() const { return arg_; }
    // Takes a copy.
    void setArg(const QRBArg& arg) { arg_ = arg.copy(); }
    // The literal reading: a text that is one decimal number (white space around it aside) gives
    // an int32 when the number, taken to single precision, has no fractional part and fits, a
    // float otherwise; any other text gives a string. A text that is not UTF-8 changes nothing.
    // The token's type stays.
    void setStringValue(const std::string& text);
    // Whether the value already shows as the token's type, so that no type prefix is needed.
    bool hasNativeType() const;

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    std::string displayString() const override;
    std::optional<std::string> editingString() const override;
    bool canCoerceToNumber() const override;
    bool isEqualToArgToken(const QRBArgToken& other) const override;

    // "Version" (2) and "QRBArgTokenArg"; older versions hold the literal's text.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenStatic>(); }
    void copyInto(QRBArgToken& copy) const override;

private:
    QRBArgPtr arg_;
};

// $arg[N]: argument N of a context's last message as received; a single action's scaled value.
class QRBArgTokenIndexValue : public QRBArgToken {
    FND_ARCHIVED_CLASS("QRBArgTokenIndexValue", QRBArgToken)

public:
    // The largest index: index forms refuse larger ones, and a larger index given otherwise is
    // lowered to it (it names no argument and no variable either way), so that every index
    // archives as the 32-bit integer older readers expect.
    static constexpr uint64_t kMaxIndex = INT32_MAX;

    QRBArgTokenIndexValue() = default;
    explicit QRBArgTokenIndexValue(uint64_t index) : index_(std::min(index, kMaxIndex)) {}

    uint64_t index() const { return index_; }
    // Undoable (no action name).
    void setIndex(uint64_t index);

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    std::optional<std::string> typeSuffixString() const override { return "arg"; }
    // arg[0], f:arg[1], i:var[3]
    std::string displayString() const override;
    // $arg[0], $argf[1], $vari[3]; a string-typed argument index edits as "$arg s[N]", since
    // "$args..." reads back as every argument.
    std::optional<std::string> editingString() const override;
    bool isEqualToArgToken(const QRBArgToken& other) const override;

    // "QRBArgTokenIndex".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenIndexValue>(); }
    void copyInto(QRBArgToken& copy) const override;

private:
    uint64_t index_ = 0;
};

// $var[N]: the document's variable N; nothing for an index that names no variable.
class QRBArgTokenVarRef : public QRBArgTokenIndexValue {
    FND_ARCHIVED_CLASS("QRBArgTokenVarRef", QRBArgTokenIndexValue)

public:
    QRBArgTokenVarRef() = default;
    explicit QRBArgTokenVarRef(uint64_t index) : QRBArgTokenIndexValue(index) {}

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    std::optional<std::string> typeSuffixString() const override { return "var"; }

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenVarRef>(); }
};

// The value of the action at a location of the current preset; nothing when none is there.
class QRBArgTokenByRef : public QRBArgToken {
    FND_ARCHIVED_CLASS("QRBArgTokenByRef", QRBArgToken)

public:
    QRBArgTokenByRef() = default;
    QRBArgTokenByRef(const std::shared_ptr<QRBActionLocation>& location, int32_t type);

    // Older documents refer to the action itself: its location is taken on first use, once the
    // document is whole.
    std::shared_ptr<QRBActionLocation> location() const;
    // Takes a copy.
    void setLocation(const std::shared_ptr<QRBActionLocation>& location);

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    // "bref " and the location's display name, after the type prefix.
    std::string displayString() const override;
    std::optional<std::string> editingString() const override { return std::nullopt; }
    bool isEqualToArgToken(const QRBArgToken& other) const override;

    // "location"; decoding also reads the older "QRBArgTokenRefAction".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenByRef>(); }
    void copyInto(QRBArgToken& copy) const override;
    // The referred action in the current preset, or null.
    std::shared_ptr<QRBAction> resolve(const QRBAction& action) const;
    // The location's display name, or what it will be.
    std::string referenceName() const;

private:
    mutable std::shared_ptr<QRBActionLocation> location_;
    // The action an older document referred to, until its location is known.
    mutable std::weak_ptr<QRBAction> legacyAction_;
};

// The firing value, first written into the referred action (and its own actions), then appended.
class QRBArgTokenUpdateRef : public QRBArgTokenByRef {
    FND_ARCHIVED_CLASS("QRBArgTokenUpdateRef", QRBArgTokenByRef)

public:
    QRBArgTokenUpdateRef() = default;
    QRBArgTokenUpdateRef(const std::shared_ptr<QRBActionLocation>& location, int32_t type)
        : QRBArgTokenByRef(location, type) {}

    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    // "uref " and the location's display name, after the type prefix.
    std::string displayString() const override;

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenUpdateRef>(); }
};

// (a,b,c): with n members, member ⌊value × n / |output range|⌋, limited to 0 … n − 1.
class QRBArgTokenGroup : public QRBArgToken {
    FND_ARCHIVED_CLASS("QRBArgTokenGroup", QRBArgToken)

public:
    // Only for decoding.
    QRBArgTokenGroup() = default;
    // At least one member ("Invalid parameter not satisfying: count > 0").
    explicit QRBArgTokenGroup(std::vector<QRBArgTokenPtr> tokens);

    const std::vector<QRBArgTokenPtr>& tokens() const { return tokens_; }

    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) override;
    void processAction(const QRBAction& action, std::vector<QRBArgPtr>& result) const override;
    std::string displayString() const override;
    std::optional<std::string> editingString() const override;
    bool canCoerceToNumber() const override { return false; }
    bool isEqualToArgToken(const QRBArgToken& other) const override;

    // "tokens".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

protected:
    QRBArgTokenPtr makeEmptyCopy() const override { return std::make_shared<QRBArgTokenGroup>(); }
    void copyInto(QRBArgToken& copy) const override;

private:
    std::vector<QRBArgTokenPtr> tokens_;
    // Set while the group reads its members: an archive whose members contain the group itself
    // is refused.
    bool decoding_ = false;
};
