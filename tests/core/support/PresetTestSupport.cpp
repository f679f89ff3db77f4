#include "core/support/PresetTestSupport.h"

#include "support/TestRegistration.h"

namespace presets {

TEST_REGISTER_EVENT_SOURCE(HookedEventSource)
TEST_REGISTER_EVENT_SOURCE(NamedPresetEventSource)
TEST_REGISTER_EVENT_SOURCE(NamedSnapshotEventSource)
TEST_REGISTER_EVENT_SOURCE(ListedEventSource)

PresetHost::PresetHost() { presets->setUndoManager(undo); }

void PresetHost::removeContext(const std::shared_ptr<QRBContext>& context) {
    firing::TestHost::removeContext(context);
    if (auto preset = current()) preset->removeObject(context);
}

void PresetHost::setLastRecalledSnapshotDirty() {
    firing::TestHost::setLastRecalledSnapshotDirty();
    if (auto preset = current()) preset->setLastRecalledSnapshotDirty();
}

std::shared_ptr<QRBEventSourceCollection> PresetHost::eventSourceCollection(const std::string& keyPath) {
    auto it = collections.find(keyPath);
    return it == collections.end() ? nullptr : it->second;
}

QRBContextPtr PresetHost::addContext(const std::string& address) {
    auto self = std::static_pointer_cast<QRBActionHost>(std::shared_ptr<PresetHost>(shared_from_this(), this));
    auto context = QRBContext::create(address, self);
    current()->addObject(context);
    return context;
}

void PresetHost::receive(const QRBOSCMessagePtr& message) {
    auto context = current()->contextWithName(message->path());
    if (!context) context = addContext(message->path());
    context->receive(message, input, foundation::Date::now());
}

QRBAcceptResult HookedEventSource::acceptAction(QRBAction& action) {
    QRBAcceptResult result = RecordingEventSource::acceptAction(action);
    if (onAccept) onAccept(action);
    return result;
}

bool ListedEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    auto listed = dynamic_cast<const ListedEventSource*>(&other);
    return listed && listed->memo == memo;
}

std::shared_ptr<QRBEventSourceMerging> ListedEventSource::merger() const {
    return QRBEventSourceMerger::uniquingMergerWithEventSource(
        std::static_pointer_cast<QRBEventSource>(std::const_pointer_cast<foundation::Object>(shared_from_this())),
        "oscRoutes");
}

}  // namespace presets
