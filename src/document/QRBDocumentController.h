#pragma once
// The open documents of the application: new and opened routing documents, in the order they
// came, and the rule that a file opened while the only document is an untouched untitled one
// takes its place.
//
// Main thread only.

#include "document/QRBDocument.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBDocumentController {
public:
    // (document, already open, error): the document is null when opening failed.
    using OpenCompletion = std::function<void(const QRBDocumentPtr& document, bool documentWasAlreadyOpen,
                                              const std::optional<foundation::DocumentError>& error)>;

    QRBDocumentController() = default;
    ~QRBDocumentController();
    QRBDocumentController(const QRBDocumentController&) = delete;
    QRBDocumentController& operator=(const QRBDocumentController&) = delete;

    const std::vector<QRBDocumentPtr>& documents() const { return documents_; }
    // The open documents that are routing documents, in order.
    std::vector<QRBDocumentPtr> routingDocuments() const;
    void addDocument(const QRBDocumentPtr& document);
    void removeDocument(const QRBDocument& document);
    QRBDocumentPtr documentForURL(const std::string& path) const;

    // The type of a file by its extension: "qrb3" the document, "qrbd" the legacy one.
    static std::optional<std::string> typeForContentsOfURL(const std::string& path);

    // A new untitled document with its windows.
    QRBDocumentPtr openUntitledDocument();
    // Closes the last document first when it was never saved and is not edited; then opens the
    // file (or answers the document that has it open already), makes its windows and lists it.
    void openDocumentWithContentsOfURL(const std::string& path, bool display, const OpenCompletion& completionHandler);

private:
    std::vector<QRBDocumentPtr> documents_;
};
