#pragma once
// Shared pieces of the preset, snapshot and location tests: a document's manager as presets see
// it (its preset manager, its undo manager, its document-wide output collections), outputs that
// name presets and snapshots, and an output that runs a hook when it acts.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBEventSourceMerger.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/UndoManager.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace presets {

// A list of outputs kept by the document, as the merge sees it.
class TestCollection : public QRBEventSourceCollection {
public:
    std::vector<QRBEventSourcePtr> eventSources() const override { return sources; }
    void addEventSource(const QRBEventSourcePtr& source) override { sources.push_back(source); }
    std::vector<QRBEventSourcePtr> sources;
};

// The document's manager: contexts' new messages mark the current preset dirty and removed
// contexts leave it, as the routing manager does.
class PresetHost : public firing::TestHost, public std::enable_shared_from_this<PresetHost> {
public:
    PresetHost();

    void removeContext(const std::shared_ptr<QRBContext>& context) override;
    void setLastRecalledSnapshotDirty() override;
    std::shared_ptr<QRBPresetManager> presetManager() const override { return presets; }
    std::shared_ptr<QRBEventSourceCollection> eventSourceCollection(const std::string& keyPath) override;

    // A new top-level context of the current preset, as the manager makes one for a new address.
    QRBContextPtr addContext(const std::string& address);
    // Feeds a message to the current preset's context for its address (made when missing).
    void receive(const QRBOSCMessagePtr& message);
    QRBPresetPtr current() const { return presets->currentPreset(); }
    // Ends the current user event: what it registered becomes one undo step.
    void endEvent() { undo->closeEventGroup(); }

    std::shared_ptr<QRBPresetManager> presets = std::make_shared<QRBPresetManager>();
    std::shared_ptr<foundation::UndoManager> undo = std::make_shared<foundation::UndoManager>();
    std::map<std::string, std::shared_ptr<TestCollection>> collections;
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);
};

// A recording output that runs a hook each time it acts.
class HookedEventSource : public firing::RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestHookedEventSource", firing::RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    QRBAcceptResult acceptAction(QRBAction& action) override;
    std::function<void(QRBAction&)> onAccept;
};

// Changes to a named preset.
class NamedPresetEventSource : public firing::RecordingEventSource, public QRBPresetNameFollower {
    QRB_EVENT_SOURCE_CLASS("TestNamedPresetEventSource", firing::RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    std::optional<std::string> presetName() const override { return name; }
    void setPresetName(const std::optional<std::string>& n) override { name = n; }
    std::optional<std::string> name;
};

// Recalls a named snapshot.
class NamedSnapshotEventSource : public firing::RecordingEventSource, public QRBSnapshotNameFollower {
    QRB_EVENT_SOURCE_CLASS("TestNamedSnapshotEventSource", firing::RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    std::optional<std::string> snapshotName() const override { return name; }
    void setSnapshotName(const std::optional<std::string>& n) override { name = n; }
    std::optional<std::string> name;
};

// An output kept in a document-wide list: equal when the memo matches; merged with the uniquing
// merger into the list "oscRoutes".
class ListedEventSource : public firing::RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestListedEventSource", firing::RecordingEventSource)

public:
    ListedEventSource() = default;
    explicit ListedEventSource(std::string m) : memo(std::move(m)) {}
    bool isEqualToEventSource(const QRBEventSource& other) const override;
    std::shared_ptr<QRBEventSourceMerging> merger() const override;
    std::string memo;
};

// An archived object written key by key under any class name, to make the archives of older
// versions and damaged ones.
class RawRecord : public foundation::Object {
public:
    explicit RawRecord(std::string className) : className_(std::move(className)) {}
    static std::shared_ptr<RawRecord> make(std::string className) {
        return std::make_shared<RawRecord>(std::move(className));
    }

    std::string archivedClassName() const override { return className_; }
    std::vector<std::string> archivedClassHierarchy() const override { return {className_, "NSObject"}; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        for (const auto& write : writes) write(coder);
    }

    std::shared_ptr<RawRecord> set(const std::string& key, const foundation::Value& value) {
        writes.push_back([key, value](foundation::KeyedArchiver& c) { c.encodeObject(value, key); });
        return self();
    }
    std::shared_ptr<RawRecord> setBool(const std::string& key, bool b) {
        writes.push_back([key, b](foundation::KeyedArchiver& c) { c.encodeBool(b, key); });
        return self();
    }
    std::shared_ptr<RawRecord> setConditional(const std::string& key, const foundation::ObjectPtr& object) {
        writes.push_back([key, object](foundation::KeyedArchiver& c) { c.encodeConditionalObject(object, key); });
        return self();
    }
    // Records that refer to each other hold each other: break the loop when done.
    void clear() { writes.clear(); }

    std::vector<std::function<void(foundation::KeyedArchiver&)>> writes;

private:
    std::shared_ptr<RawRecord> self() { return std::static_pointer_cast<RawRecord>(shared_from_this()); }
    std::string className_;
};

// Archives an object into a file and decodes it from there.
template <class T> std::shared_ptr<T> roundTripThroughFile(const foundation::Value& root, const std::string& path) {
    foundation::KeyedArchiver::archiveRootObjectToFile(root, path);
    return foundation::KeyedUnarchiver::unarchiveObjectWithFile(path).object<T>();
}

template <class T> std::shared_ptr<T> decode(const foundation::Value& root) {
    return foundation::KeyedUnarchiver::unarchiveRoot<T>(foundation::KeyedArchiver::archivedDataWithRootObject(root));
}

}  // namespace presets
