#pragma once
// An output of a class this version does not have (the key and script outputs until their
// subsystems come, or a class from a newer version). It keeps
// what the document holds of it and writes it back unchanged under its own class names, so that
// opening and saving a document loses nothing. Until its class exists it does nothing: it answers
// 0 to every action, and says so in the log once per class and document.

#include "core/outputs/QRBEventSource.h"
#include "foundation/KeptObject.h"

#include <string>
#include <vector>

class QRBKeptEventSource : public QRBEventSource {
public:
    QRBKeptEventSource(std::string className, std::vector<std::string> classes)
        : record_(std::move(className), std::move(classes)) {}

    // The log line, with the class name.
    static constexpr const char* kNotAvailableFormat =
        "Outputs of class %s are not available in this version: they do nothing and are kept in the document as they "
        "are.";

    // Its own class object: it takes any MIDI channel, so that decoding leaves the channel of an
    // action whose output it keeps as the document holds it.
    static const QRBEventSourceClass& staticClass();
    const QRBEventSourceClass& eventSourceClass() const override { return staticClass(); }
    static unsigned classChannelCount() { return 16; }

    std::string archivedClassName() const override { return record_.className(); }
    std::vector<std::string> archivedClassHierarchy() const override { return record_.classes(); }
    const foundation::KeptRecord& record() const { return record_; }

    QRBAcceptResult acceptAction(QRBAction& action) override;
    // The same object, or an output of the same class holding the same values.
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::KeptRecord record_;
};
