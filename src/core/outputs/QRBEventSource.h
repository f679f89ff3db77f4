#pragma once
// The output an action drives. Every kind of output (OSC routes, MIDI messages, keys, presets,
// variables, logging...) is a subclass. One output may serve many actions at once, so the base
// keeps no per-action state: what an output needs of an action it reads from the action handed to
// each operation.
//
// Output types are classes. Besides the instance, each output class has a class object
// (QRBEventSourceClass) that answers the class-level questions the menus and the type registry
// ask: which registry entry it shares, how many MIDI channels it tells apart, which ready-made
// outputs it proposes for an action. Subclasses declare themselves with QRB_EVENT_SOURCE_CLASS in
// the class body and QRB_DEFINE_EVENT_SOURCE_CLASS in their source file, and are registered in
// EngineClasses.cpp; class-level answers are static member functions (classType,
// classChannelCount, classProposedEventSourcesCollection) that a subclass hides to override, and
// inherits otherwise.

#include "core/outputs/QRBAcceptResult.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace foundation {
class UndoManager;
}

class QRBAction;
class QRBEventSource;
class QRBEventSourceClass;
class QRBEventSourceMerging;
using QRBEventSourcePtr = std::shared_ptr<QRBEventSource>;

// The class object of an output type.
class QRBEventSourceClass {
public:
    QRBEventSourceClass(std::string name, const QRBEventSourceClass* superclass)
        : name_(std::move(name)), superclass_(superclass) {}
    virtual ~QRBEventSourceClass() = default;
    QRBEventSourceClass(const QRBEventSourceClass&) = delete;
    QRBEventSourceClass& operator=(const QRBEventSourceClass&) = delete;

    // The class name (the name the class is archived under and listed under in the type
    // resource).
    const std::string& name() const { return name_; }
    const QRBEventSourceClass* superclass() const { return superclass_; }
    bool isSubclassOf(const QRBEventSourceClass& other) const;

    // The class whose registry entry this class shows under: itself, unless it shares the entry
    // of another class.
    virtual const QRBEventSourceClass& type() const { return *this; }
    // How many MIDI channels the output tells apart; 0 when it takes no channel.
    virtual unsigned channelCount() const { return 0; }
    // The ready-made outputs offered for an action (the action may be null): an array of outputs,
    // nested arrays (groups), one-entry dictionaries {title: array} (submenus) and the separator
    // marker; null when the class offers none.
    virtual foundation::Value proposedEventSourcesCollectionForAction(const QRBAction* action) const { return {}; }
    // A new output of this class, or null when the class cannot be made without arguments.
    virtual QRBEventSourcePtr create() const { return nullptr; }

    // --- the type registry's answers, for the entry of type()
    std::optional<std::string> typeDescription() const;
    foundation::Value typeDictObjectForKey(const std::string& key) const;
    bool canBeCreatedByUser() const;
    bool canBeCopiedByUser() const;

    // The registered class of that name, or null. Classes register through
    // registerEventSourceClass (the engine's registerEngineClasses).
    static const QRBEventSourceClass* classNamed(const std::string& name);
    static void registerClass(const QRBEventSourceClass& cls);

private:
    std::string name_;
    const QRBEventSourceClass* superclass_;
};

class QRBEventSource : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBEventSource", foundation::Object)

public:
    QRBEventSource() = default;

    // --- class side
    static const QRBEventSourceClass& staticClass();
    virtual const QRBEventSourceClass& eventSourceClass() const { return staticClass(); }
    // Class-level answers; a subclass hides the ones it changes. A null type means the class
    // itself.
    static const QRBEventSourceClass* classType() { return nullptr; }
    static unsigned classChannelCount() { return 0; }
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action) { return {}; }

    // The class registered for a type description (its type), or null.
    static const QRBEventSourceClass* typeForTypeDescription(const std::string& description);
    // The registry entry of a type, or null.
    static const foundation::Dictionary* typeDictForType(const QRBEventSourceClass& type);
    // Depth-first search of a proposed collection (arrays and the values of dictionaries): the
    // first output whose name equals `name`.
    static QRBEventSourcePtr findEventSourceWithName(const std::string& name, const foundation::Value& collection);
    // The one shared plain output that stands for a separator in proposed collections.
    static const QRBEventSourcePtr& menuSeparatorMarker();
    // The menu title that stands for no output: a single figure dash.
    static const std::string& notAvailableString();

    // --- what the menus and the action's range display ask
    virtual bool requireIntegralScalingsFormatting() const { return false; }
    virtual bool canEditOutputScaling() const { return true; }
    // Shown output value = offset + factor × stored value, for floating inputs only.
    virtual double outputScalingFudgeFactorForAction(const QRBAction& action) const;
    virtual double outputScalingFudgeOffsetForAction(const QRBAction& action) const;
    virtual double outputScalingFudgeFactor() const { return 1; }
    virtual double outputScalingFudgeOffset() const { return 0; }
    virtual bool canBeEditedByUser() const { return eventSourceClass().canBeCreatedByUser(); }

    // Same object, or else same class: outputs without state of their own are interchangeable.
    virtual bool isEqualToEventSource(const QRBEventSource& other) const;

    // The document's undo manager, set by the output's owner; held weakly.
    std::shared_ptr<foundation::UndoManager> undoManager() const { return undoManager_.lock(); }
    virtual void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
        undoManager_ = undoManager;
    }

    const std::optional<std::string>& name() const { return name_; }
    // Registers the inverse (no action name) when the name changes.
    virtual void setName(const std::optional<std::string>& name);
    const std::optional<std::string>& alternateName() const { return alternateName_; }
    void setAlternateName(const std::optional<std::string>& name) { alternateName_ = name; }
    virtual std::optional<std::string> displayName() const { return name_; }
    std::string description() const;

    // --- the protocol. attach is where an output configures the action for itself (its
    // trigger's mode, say); reset releases what it holds for the action (held notes, timers).
    // Both must be harmless when repeated.
    // Done when the output acted, Nothing when there was nothing to do, Failed on failure. The base raises
    // "Abstract method.".
    virtual QRBAcceptResult acceptAction(QRBAction& action);
    virtual void attach(QRBAction& action) { needsAttach_ = false; }
    virtual void detach(QRBAction& action) {}
    // Stops the action's auto-repeat.
    virtual void reset(QRBAction& action);

    virtual QRBEventSourcePtr previousProposedEventSource();
    virtual QRBEventSourcePtr nextProposedEventSource();

    // Decides what this output becomes when an action that uses it is carried into another
    // document. Null: the output is carried as it is (the same object is shared).
    virtual std::shared_ptr<QRBEventSourceMerging> merger() const { return nullptr; }

    // Whether actions must attach again before their next trigger decision. setNeedsAttach()
    // asks every action that uses the output to attach again: each action remembers the attach
    // generation it last attached at (attachGeneration()), so a shared output reaches all of
    // them, not only the first that fires.
    bool needsAttach() const { return needsAttach_; }
    void setNeedsAttach(bool needsAttach);
    void setNeedsAttach() { setNeedsAttach(true); }
    uint64_t attachGeneration() const { return attachGeneration_; }

    // Orders by name, as proposed lists are sorted.
    int compareName(const QRBEventSource& other) const;
    // Makes the name unique among the names of the collection's outputs (this output's own entry
    // does not count).
    // The names are looked at where they are, not copied: a collection may hold thousands.
    template <class Source>
    void ensureUniqueNameComparedToEventSources(const std::vector<std::shared_ptr<Source>>& sources) {
        std::vector<std::string_view> taken;
        taken.reserve(sources.size());
        for (const auto& s : sources)
            if (s && static_cast<const QRBEventSource*>(s.get()) != this && s->name()) taken.emplace_back(*s->name());
        ensureUniqueNameAmong(taken);
    }
    void ensureUniqueNameComparedToEventSources(const std::vector<QRBEventSourcePtr>& sources) {
        ensureUniqueNameComparedToEventSources<QRBEventSource>(sources);
    }
    // Makes the name unique among `taken` (ZZUniqueString).
    void ensureUniqueNameAmong(const std::vector<std::string_view>& taken);

    // "QRBEventSourceName" and "alternateName". Decoding asks for attach again, and turns the
    // Kyma-related features on for outputs whose class name says Kyma.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    bool needsAttach_ = true;
    uint64_t attachGeneration_ = 1;
    std::weak_ptr<foundation::UndoManager> undoManager_;
    std::optional<std::string> name_;
    std::optional<std::string> alternateName_;
};

// The class object of output class T, answering through T's static class-level functions.
template <class T> class QRBEventSourceMeta final : public QRBEventSourceClass {
public:
    using QRBEventSourceClass::QRBEventSourceClass;

    const QRBEventSourceClass& type() const override {
        const QRBEventSourceClass* t = T::classType();
        return t ? *t : *this;
    }
    unsigned channelCount() const override { return T::classChannelCount(); }
    foundation::Value proposedEventSourcesCollectionForAction(const QRBAction* action) const override {
        return T::classProposedEventSourcesCollection(action);
    }
    QRBEventSourcePtr create() const override {
        if constexpr (std::is_default_constructible_v<T>) {
            return std::make_shared<T>();
        } else {
            return nullptr;
        }
    }
};

// In the body of an output class: its archived name, its superclass and its class object.
#define QRB_EVENT_SOURCE_CLASS(NAME, PARENT)                                               \
    FND_ARCHIVED_CLASS(NAME, PARENT)                                                       \
public:                                                                                    \
    using EventSourceSuperclass = PARENT;                                                  \
    static const QRBEventSourceClass& staticClass();                                       \
    const QRBEventSourceClass& eventSourceClass() const override { return staticClass(); } \
                                                                                           \
private:

// In the source file of an output class: defines its class object. The class is registered by
// registerEventSourceClass<T>(), from the engine's registration function (EngineClasses.cpp).
#define QRB_DEFINE_EVENT_SOURCE_CLASS(T)                                                                          \
    const QRBEventSourceClass& T::staticClass() {                                                                 \
        static const QRBEventSourceMeta<T> meta(T::kArchivedClassName, &T::EventSourceSuperclass::staticClass()); \
        return meta;                                                                                              \
    }

// Registers the output class T for the type registry (classNamed) and for archives.
template <class T> void registerEventSourceClass() {
    QRBEventSourceClass::registerClass(T::staticClass());
    foundation::registerArchivedClass<T>();
}
