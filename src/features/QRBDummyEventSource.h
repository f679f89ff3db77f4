#pragma once
// A placeholder output of old documents that stood for an output no longer supported. It is never
// made: decoding one logs a warning and leaves the action without an output.

#include "core/outputs/QRBEventSource.h"

class QRBDummyEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBDummyEventSource", QRBEventSource)

public:
    static constexpr const char* kNotInstantiable = "This class is not supposed to be instanciated";
    static constexpr const char* kDecodingWarningFormat = "Warning: decoding an unsupported object: %s";

    // Only the archive makes one, to read it and drop it.
    QRBDummyEventSource() = default;

    QRBAcceptResult acceptAction(QRBAction&) override { return QRBAcceptResult::Failed; }
    // Logs the warning with the decoded name; null.
    std::shared_ptr<foundation::Object> replacementAfterDecoding() override;
};
