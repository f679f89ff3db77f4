#pragma once
// Shared pieces of the action-model tests: a document-like fixture (a manager stand-in, an undo
// manager whose steps the test closes as the run loop would, a top-level context), outputs with
// and without channels, and an output whose merger answers another output.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBDupAction.h"
#include "core/mapping/QRBEventSourceMerging.h"
#include "core/monitor/QRBLivePlotController.h"
#include "foundation/UndoManager.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace model {

// An output that takes no MIDI channel and is its own type.
class ZeroChannelEventSource : public firing::RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestZeroChannelEventSource", firing::RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    static unsigned classChannelCount() { return 0; }
    static const QRBEventSourceClass* classType() { return nullptr; }
};

// An output that becomes `replacement` when carried into another document.
class MergingEventSource : public firing::RecordingEventSource {
    QRB_EVENT_SOURCE_CLASS("TestMergingEventSource", firing::RecordingEventSource)

public:
    using RecordingEventSource::RecordingEventSource;
    std::shared_ptr<QRBEventSourceMerging> merger() const override;

    QRBEventSourcePtr replacement;
    mutable int merges = 0;
};

// A document in miniature: the manager stand-in, its undo manager and one top-level context /a.
class Document {
public:
    Document();

    // One user event: the edits, then the end of the run-loop pass that closes the undo step.
    void edit(const std::function<void()>& change) {
        change();
        undo->closeEventGroup();
    }
    // A concrete argument action made the way a received message makes it.
    std::shared_ptr<QRBConcreteAction> addArgument(const std::optional<std::string>& name = std::nullopt);
    // A child context of `parent` made the way demultiplexing makes it.
    QRBContextPtr addChild(const QRBContextPtr& parent, const std::string& label);

    firing::VirtualMainLoop loop;
    std::shared_ptr<firing::TestHost> host = std::make_shared<firing::TestHost>();
    std::shared_ptr<foundation::UndoManager> undo = std::make_shared<foundation::UndoManager>();
    QRBContextPtr context;
};

// Names of the calls an output received, in order ("attach", "reset", ...), for one action or all.
std::vector<std::string> callNames(const firing::RecordingEventSource& source, const QRBAction* action = nullptr);

}  // namespace model
