#include "foundation/Document.h"

#include "foundation/Format.h"
#include "foundation/RunLoop.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace foundation {

Document::Document() : undoManager_(std::make_shared<UndoManager>()) {
    // Each user event is one undoable step: the group opened by the event's first change closes
    // when the run loop finishes the pass that handles it.
    undoManager_->setEventGroupCloser([](std::function<void()> close) { RunLoop::main().post(std::move(close)); });
    undoManager_->setChangeObserver([this](UndoManager::Change change) {
        switch (change) {
        case UndoManager::Change::Done: updateChangeCount(ChangeType::Done); break;
        case UndoManager::Change::Undone: updateChangeCount(ChangeType::Undone); break;
        case UndoManager::Change::Redone: updateChangeCount(ChangeType::Redone); break;
        case UndoManager::Change::Cleared: updateChangeCount(ChangeType::Cleared); break;
        }
    });
}

Document::~Document() {
    // The undo manager may outlive the document through its holders; it must not call back here.
    undoManager_->setChangeObserver(nullptr);
}

void Document::setFileURL(std::optional<std::string> path) {
    willChangeValueForKey("locked");
    fileURL_ = std::move(path);
    didChangeValueForKey("locked");
}

std::string Document::displayName() const {
    if (!fileURL_) return "Untitled";
    return fs::path(*fileURL_).stem().string();
}

void Document::readFromURL(const std::string& path, const std::string& type) {
    Data data;
    try {
        data = readFile(path);
    } catch (const PropertyListError& e) {
        throw DocumentError(DocumentError::kFileReadCorruptFile, e.reason());
    }
    readFromData(data, type);
    fileURL_ = path;
    fileType_ = type;
    setChangeCount(0);
}

void Document::writeToURL(const std::string& path, const std::string& type) const {
    Data data = dataOfType(type);
    if (data.empty()) throw DocumentError(DocumentError::kFileWriteUnknown, "the document produced no data");
    try {
        writeFileAtomically(path, data);
    } catch (const PropertyListError& e) {
        throw DocumentError(DocumentError::kFileWriteUnknown, e.reason());
    }
}

void Document::saveToURL(const std::string& path, const std::string& type, SaveOperation operation) {
    writeToURL(path, type);
    if (operation == SaveOperation::SaveTo) return;
    setFileURL(path);
    fileType_ = type;
    setChangeCount(0);
}

void Document::save() {
    if (!fileURL_) throw DocumentError(DocumentError::kFileWriteUnknown, "the document has no file yet");
    saveToURL(*fileURL_, fileType_, SaveOperation::Save);
}

void Document::revertToContentsOfURL(const std::string& path, const std::string& type) {
    readFromURL(path, type);
    undoManager_->removeAllActions();
    setChangeCount(0);
}

void Document::close() { closed_ = true; }

bool Document::isLocked() const { return fileURL_ && isFileLocked(*fileURL_); }

bool Document::isFileLocked(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

void Document::setLocked(bool locked) {
    if (!fileURL_) return;
    struct stat st {};
    if (::stat(fileURL_->c_str(), &st) != 0)
        throw DocumentError(DocumentError::kFileWriteUnknown,
                            format("%s: %s", fileURL_->c_str(), std::strerror(errno)));
    mode_t mode = locked ? (st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (st.st_mode | S_IWUSR);
    willChangeValueForKey("locked");
    int result = ::chmod(fileURL_->c_str(), mode);
    int error = errno;
    didChangeValueForKey("locked");
    if (result != 0)
        throw DocumentError(DocumentError::kFileWriteUnknown,
                            format("%s: %s", fileURL_->c_str(), std::strerror(error)));
}

void Document::lockDocument() { setLocked(true); }
void Document::unlockDocument() { setLocked(false); }

void Document::updateChangeCount(ChangeType change) {
    switch (change) {
    case ChangeType::Done:
    case ChangeType::Redone: setChangeCount(changeCount_ + 1); break;
    case ChangeType::Undone: setChangeCount(changeCount_ - 1); break;
    case ChangeType::Cleared: setChangeCount(0); break;
    }
}

void Document::setChangeCount(long count) {
    // Announced on every change of the count, not only of the edited state: the undo and redo
    // titles that windows show change with each step.
    willChangeValueForKey(kDocumentEditedKey);
    changeCount_ = count;
    didChangeValueForKey(kDocumentEditedKey);
}

Value Document::observedValueForKey(const std::string& key) const {
    if (key == "locked") return Value(isLocked());
    if (key == kDocumentEditedKey) return Value(isDocumentEdited());
    return {};
}

}  // namespace foundation
