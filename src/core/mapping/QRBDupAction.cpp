#include "core/mapping/QRBDupAction.h"

#include "core/mapping/QRBContext.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"

namespace {
constexpr const char* kMasterKey = "QRBDupActionMaster";
constexpr const char* kMasterMissing = "_masterAction cannot be nil";
// A small right-pointing triangle between the master's rank and the duplicate's index.
constexpr const char* kRankSeparator = "\u25B8";
}  // namespace

void QRBDupAction::setMasterAction(const std::shared_ptr<QRBConcreteAction>& master) {
    master_ = master;
    setContext(master ? master->context() : nullptr);
}

void QRBDupAction::fire() {
    QRBAction::fire();
    if (consumeHalt()) return;
    // An output that halted the chain resumes it by firing the next duplicate; the chain goes on
    // from there.
    auto master = masterAction();
    if (!master) return;
    const auto& chain = master->actions();
    for (size_t i = 0; i < chain.size(); ++i)
        if (chain[i].get() == this) return master->fireDuplicatesFrom(i + 1, selfPointer());
}

QRBDupActionPtr QRBDupAction::nextDup() const {
    auto master = masterAction();
    return master ? master->dupAfter(*this) : nullptr;
}

QRBDupActionPtr QRBDupAction::dup() {
    auto master = masterAction();
    if (!master) return nullptr;
    // A copy of this duplicate, not of the master, at the end of the chain.
    QRBDupActionPtr copy = master->dup();
    copy->setEventSource(eventSource());
    copy->makeSameAsAction(*this);
    return copy;
}

long QRBDupAction::rank() const {
    auto master = masterAction();
    return master ? master->rank() : -1;
}

std::string QRBDupAction::rankString() const {
    auto master = masterAction();
    if (!master) return QRBConcreteAction::rankString();
    return foundation::format("%s%s %li", master->rankString().c_str(), kRankSeparator,
                              static_cast<long>(master->dupRankOf(*this)));
}

foundation::Array QRBDupAction::pathComponents() const {
    auto master = masterAction();
    if (!master) FND_INTERNAL_ERROR(kMasterMissing);
    foundation::Array components = master->pathComponents();
    components.emplace_back(static_cast<int64_t>(master->dupRankOf(*this)));
    return components;
}

void QRBDupAction::invalidate() {
    auto self = std::static_pointer_cast<QRBDupAction>(selfPointer());
    if (auto master = masterAction()) master->removeDup(self);
    QRBConcreteAction::invalidate();
}

QRBActionPtr QRBDupAction::makeEmptyCopy() const { return std::make_shared<QRBDupAction>(); }

void QRBDupAction::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBConcreteAction::encodeWithCoder(coder);
    coder.encodeConditionalObject(masterAction(), kMasterKey);
}

void QRBDupAction::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBConcreteAction::initWithCoder(coder);
    // The master's list is what holds a duplicate and makes it the master's; the reference is
    // only checked here.
    foundation::Value master = coder.decodeObject(kMasterKey);
    if (!master.isNull() && (!master.object<QRBConcreteAction>() || master.object<QRBDupAction>()))
        throw foundation::ArchiveError("QRBDupAction: its master is not an argument action");
}
