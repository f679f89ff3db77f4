#pragma once
// Documents: a file path and type, reading and writing through the subclass's data methods,
// saving to a new path, reverting, closing, a file lock observable under "locked", and the edited
// state fed by the document's undo manager.
//
// Errors are reported as DocumentError in the "NSCocoaErrorDomain" with these codes:
// 259 for a file that cannot be read as the document's type, 512 for a file that cannot be
// written (the previous file is then left untouched).

#include "foundation/Exception.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

class DocumentError : public Exception {
public:
    static constexpr int kFileReadUnknown = 256;
    static constexpr int kFileReadCorruptFile = 259;
    static constexpr int kFileWriteUnknown = 512;

    DocumentError(int code, std::string reason) : Exception("NSCocoaErrorDomain", std::move(reason)), code_(code) {}
    int code() const { return code_; }
    const char* domain() const { return "NSCocoaErrorDomain"; }

private:
    int code_;
};

class Document : public Observable {
public:
    enum class SaveOperation { Save, SaveAs, SaveTo, AutosaveAs };

    Document();
    ~Document() override;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // The file the document is stored in; none until it is first saved.
    const std::optional<std::string>& fileURL() const { return fileURL_; }
    void setFileURL(std::optional<std::string> path);
    const std::string& fileType() const { return fileType_; }
    void setFileType(std::string type) { fileType_ = std::move(type); }
    // The name shown for the document: the file's name without its folder and extension.
    std::string displayName() const;

    // Reads a file; throws DocumentError 259 when it cannot be read or decoded.
    virtual void readFromURL(const std::string& path, const std::string& type);
    // Writes the document's data to a file, atomically; throws DocumentError 512 on failure.
    void writeToURL(const std::string& path, const std::string& type) const;
    // Saves to `path` (the document's file) or, for SaveTo, a copy elsewhere. On success a Save,
    // SaveAs or AutosaveAs makes `path` the document's file and clears the edited state.
    virtual void saveToURL(const std::string& path, const std::string& type, SaveOperation operation);
    void save();
    // Reads the document's file again, discarding changes.
    virtual void revertToContentsOfURL(const std::string& path, const std::string& type);
    virtual void close();
    bool isClosed() const { return closed_; }

    // The subclass's halves of reading and writing.
    virtual Data dataOfType(const std::string& type) const = 0;
    virtual void readFromData(const Data& data, const std::string& type) = 0;
    virtual void makeWindowControllers() {}

    // The file lock: a locked file has its write permissions removed. Observable as "locked".
    virtual bool isLocked() const;
    // Whether the file at `path` is locked that way (a file that cannot be read is not).
    static bool isFileLocked(const std::string& path);
    void lockDocument();
    void unlockDocument();

    // Edited state: the undo manager's steps count as edits; saving and reverting clear them.
    // Observable as kDocumentEditedKey, announced at every step (done, undone, redone, cleared).
    static constexpr const char* kDocumentEditedKey = "documentEdited";
    const std::shared_ptr<UndoManager>& undoManager() const { return undoManager_; }
    bool isDocumentEdited() const { return changeCount_ != 0; }
    enum class ChangeType { Done, Undone, Redone, Cleared };
    void updateChangeCount(ChangeType change);

protected:
    Value observedValueForKey(const std::string& key) const override;

private:
    void setLocked(bool locked);
    void setChangeCount(long count);

    std::optional<std::string> fileURL_;
    std::string fileType_;
    std::shared_ptr<UndoManager> undoManager_;
    long changeCount_ = 0;
    bool closed_ = false;
};

}  // namespace foundation
