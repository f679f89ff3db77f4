#include "core/support/ModelTestSupport.h"

#include "support/TestRegistration.h"

namespace model {

TEST_REGISTER_EVENT_SOURCE(ZeroChannelEventSource)
TEST_REGISTER_EVENT_SOURCE(MergingEventSource)

namespace {
class ReplacingMerger : public QRBEventSourceMerging {
public:
    explicit ReplacingMerger(const MergingEventSource& source) : source_(source) {}
    QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>&,
                                          const std::shared_ptr<QRBActionHost>&) override {
        ++source_.merges;
        return source_.replacement;
    }

private:
    const MergingEventSource& source_;
};
}  // namespace

std::shared_ptr<QRBEventSourceMerging> MergingEventSource::merger() const {
    return std::make_shared<ReplacingMerger>(*this);
}

Document::Document() : context(QRBContext::create("/a", host)) { context->setUndoManager(undo); }

std::shared_ptr<QRBConcreteAction> Document::addArgument(const std::optional<std::string>& name) {
    return context->createAction<QRBConcreteAction>(name);
}

QRBContextPtr Document::addChild(const QRBContextPtr& parent, const std::string& label) {
    return parent->ensureChildContext(label);
}

std::vector<std::string> callNames(const firing::RecordingEventSource& source, const QRBAction* action) {
    std::vector<std::string> names;
    for (const auto& call : *source.log)
        if (!action || call.action == action) names.push_back(call.what);
    return names;
}

}  // namespace model
