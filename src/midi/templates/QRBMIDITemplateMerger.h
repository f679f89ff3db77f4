#pragma once
// Where a template output goes when an action that uses it is carried into another document (a
// mapping import, a paste). The destination keeps its templates in collections, so the carried
// template is matched against every template of every collection there; when none is equal, a
// copy goes into the collection of the same name as the template's own (made when missing), so
// that the two documents never share one template object.

#include "core/mapping/QRBEventSourceMerging.h"
#include "midi/templates/QRBMIDITemplate.h"

class QRBMIDITemplateMerger : public QRBEventSourceMerging {
public:
    explicit QRBMIDITemplateMerger(QRBMIDITemplatePtr source) : template_(std::move(source)) {}

    QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                          const std::shared_ptr<QRBActionHost>& destination) override;

private:
    QRBMIDITemplatePtr template_;
};
