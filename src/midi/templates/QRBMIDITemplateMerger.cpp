#include "midi/templates/QRBMIDITemplateMerger.h"

#include "document/QRBManager.h"
#include "midi/QRBMIDIManager.h"
#include "midi/templates/QRBMIDICollection.h"

QRBEventSourcePtr QRBMIDITemplateMerger::mergeFromOSCManager(const std::shared_ptr<QRBActionHost>&,
                                                             const std::shared_ptr<QRBActionHost>& destination) {
    auto manager = std::dynamic_pointer_cast<QRBManager>(destination);
    const auto midi = manager ? manager->midiManager() : nullptr;
    if (!template_ || !midi) return template_;
    for (const auto& collection : midi->templatesCollections())
        for (const auto& t : collection->templateList())
            if (t == template_ || t->isEqualToEventSource(*template_)) return t;
    auto parent = template_->parentCollection();
    const std::string name = parent && parent->name() ? *parent->name() : std::string(QRBMIDICollection::kDefaultName);
    return midi->ensureTemplateCollectionNamed(name)->maybeAddTemplate(template_->copy());
}
