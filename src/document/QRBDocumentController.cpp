#include "document/QRBDocumentController.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

QRBDocumentController::~QRBDocumentController() {
    for (const auto& document : documents_) document->documentController_ = nullptr;
}

std::vector<QRBDocumentPtr> QRBDocumentController::routingDocuments() const {
    // Every document this controller lists is a routing document; other kinds may join later.
    std::vector<QRBDocumentPtr> result;
    for (const auto& document : documents_)
        if (document) result.push_back(document);
    return result;
}

void QRBDocumentController::addDocument(const QRBDocumentPtr& document) {
    if (!document || std::find(documents_.begin(), documents_.end(), document) != documents_.end()) return;
    documents_.push_back(document);
    document->documentController_ = this;
}

void QRBDocumentController::removeDocument(const QRBDocument& document) {
    auto found = std::find_if(documents_.begin(), documents_.end(),
                              [&](const QRBDocumentPtr& d) { return d.get() == &document; });
    if (found == documents_.end()) return;
    // Kept until the list no longer names it: erasing may release the last reference.
    QRBDocumentPtr removed = *found;
    removed->documentController_ = nullptr;
    documents_.erase(found);
}

QRBDocumentPtr QRBDocumentController::documentForURL(const std::string& path) const {
    for (const auto& document : documents_) {
        if (!document->fileURL()) continue;
        std::error_code error;
        if (*document->fileURL() == path || fs::equivalent(*document->fileURL(), path, error)) return document;
    }
    return nullptr;
}

std::optional<std::string> QRBDocumentController::typeForContentsOfURL(const std::string& path) {
    const std::string extension = fs::path(path).extension().string();
    if (extension == std::string(".") + kQRBLegacyDocumentExtension) return std::string(kQRBLegacyDocumentType);
    if (extension == std::string(".") + kQRBDocumentExtension) return std::string(kQRBDocumentType);
    return std::nullopt;
}

QRBDocumentPtr QRBDocumentController::openUntitledDocument() {
    auto document = std::make_shared<QRBDocument>();
    document->setFileType(kQRBDocumentType);
    addDocument(document);
    document->makeWindowControllers();
    return document;
}

void QRBDocumentController::openDocumentWithContentsOfURL(const std::string& path, bool display,
                                                          const OpenCompletion& completionHandler) {
    // An untouched untitled document gives way to the file being opened.
    if (!documents_.empty()) {
        QRBDocumentPtr last = documents_.back();
        if (!last->fileURL() && !last->isDocumentEdited()) last->close();
    }

    auto done = [&](const QRBDocumentPtr& document, bool alreadyOpen,
                    const std::optional<foundation::DocumentError>& error) {
        if (completionHandler) completionHandler(document, alreadyOpen, error);
    };
    if (QRBDocumentPtr open = documentForURL(path)) {
        done(open, true, std::nullopt);
        return;
    }
    const std::optional<std::string> type = typeForContentsOfURL(path);
    if (!type) {
        done(nullptr, false,
             foundation::DocumentError(foundation::DocumentError::kFileReadCorruptFile,
                                       "\"" + fs::path(path).filename().string() + "\" is not a Quorbital document."));
        return;
    }
    auto document = std::make_shared<QRBDocument>();
    try {
        document->readFromURL(path, *type);
    } catch (const foundation::DocumentError& error) {
        done(nullptr, false, error);
        return;
    }
    addDocument(document);
    document->makeWindowControllers();
    done(document, false, std::nullopt);
}
