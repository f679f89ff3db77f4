#pragma once
// A document's free-form notes: the styled text, the notes window's frame and whether the window
// was open (the document reopens it on load). Archived as the document's "QRBNotes".

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <memory>
#include <optional>
#include <string>

class QRBNotesInfos;
using QRBNotesInfosPtr = std::shared_ptr<QRBNotesInfos>;

class QRBNotesInfos : public foundation::Object {
    FND_ARCHIVED_CLASS("QRBNotesInfos", foundation::Object)

public:
    QRBNotesInfos() = default;

    // The notes as rich-text data; none for a document that never had notes.
    const std::optional<foundation::Data>& rtfData() const { return rtfData_; }
    void setRtfData(std::optional<foundation::Data> data) { rtfData_ = std::move(data); }
    // The window's frame in saved-frame text form.
    const std::optional<std::string>& windowFrame() const { return windowFrame_; }
    void setWindowFrame(std::optional<std::string> frame) { windowFrame_ = std::move(frame); }
    bool isWindowDisplayed() const { return windowDisplayed_; }
    void setIsWindowDisplayed(bool displayed) { windowDisplayed_ = displayed; }

    // "QRBNotesFrame", "QRBNotesRTFD", "QRBNotesShow"; missing keys give none and NO.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::optional<foundation::Data> rtfData_;
    std::optional<std::string> windowFrame_;
    bool windowDisplayed_ = false;
};
