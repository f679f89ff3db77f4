#pragma once
// What the document and the mapping import ask of the main window and its companions. The
// windowed interface implements these; the headless implementations below stand in when the
// document runs without a window, keeping what the document hands them so that nothing it saves
// is lost.

#include "foundation/Value.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBActionHost;
class QRBMappingImportController;
class QRBNotesInfos;
class QRBPreset;

// The notes are the document's own record; the services only hand it on.
using QRBNotesInfosPtr = std::shared_ptr<QRBNotesInfos>;

// The document's main window.
class QRBMainWindowInterface {
public:
    static constexpr const char* kColumnsWidthsKey = "ColumnsWidths";
    static constexpr const char* kWindowFrameKey = "WindowFrame";
    static constexpr const char* kKeepWindowsOnTopKey = "KeepWindowsOnTop";
    static constexpr const char* kSortDescriptorsKey = "SortDescriptors";
    static constexpr const char* kParametersWindowIsVisibleKey = "ParametersWindowIsVisible";

    virtual ~QRBMainWindowInterface() = default;
    // A new dictionary of the window's state (the keys above); the document stores it under
    // "Main".
    virtual foundation::Dictionary userInterfaceParameters() const = 0;
    virtual void close() = 0;
};

// Without a window the state stays what the document loaded.
class QRBHeadlessMainWindow : public QRBMainWindowInterface {
public:
    explicit QRBHeadlessMainWindow(foundation::Dictionary loadedParameters = {})
        : parameters_(std::move(loadedParameters)) {}
    foundation::Dictionary userInterfaceParameters() const override { return parameters_; }
    void close() override { closed_ = true; }
    bool isClosed() const { return closed_; }

private:
    foundation::Dictionary parameters_;
    bool closed_ = false;
};

// The notes window.
class QRBNotesController {
public:
    virtual ~QRBNotesController() = default;
    // Shows the record's frame and text; the same record again changes nothing.
    virtual void setInfos(const QRBNotesInfosPtr& infos) = 0;
    virtual QRBNotesInfosPtr infos() const = 0;
};

class QRBHeadlessNotesController : public QRBNotesController {
public:
    void setInfos(const QRBNotesInfosPtr& infos) override { infos_ = infos; }
    QRBNotesInfosPtr infos() const override { return infos_; }

private:
    QRBNotesInfosPtr infos_;
};

// The receiver of a finished mapping import: the document's mappings controller. It also names
// the manager the mappings go to.
class QRBMappingImporterDelegate {
public:
    virtual ~QRBMappingImporterDelegate() = default;
    // With no mappings nothing happens; otherwise the import's undo step is named and the user is
    // told how many mappings came in.
    virtual void mappingImporterDidFinish(QRBMappingImportController* importer,
                                          const std::vector<std::shared_ptr<QRBPreset>>& mappings) = 0;
    // The destination document's manager.
    virtual std::shared_ptr<QRBActionHost> oscManager() const = 0;

    // "Import Mapping" or "Import %lu Mappings".
    static std::string undoActionNameForImportCount(size_t count);
    // "1 mapping was imported." or "%lu mappings were imported.".
    static std::string noticeForImportCount(size_t count);
};

// Without a window the undo step is named through the given function (the document's undo
// manager) and the notice goes to the log.
class QRBHeadlessMappingsController : public QRBMappingImporterDelegate {
public:
    using UndoNamer = std::function<void(const std::string& name)>;

    QRBHeadlessMappingsController(std::weak_ptr<QRBActionHost> manager, UndoNamer undoNamer = {})
        : manager_(std::move(manager)), undoNamer_(std::move(undoNamer)) {}

    void mappingImporterDidFinish(QRBMappingImportController* importer,
                                  const std::vector<std::shared_ptr<QRBPreset>>& mappings) override;
    std::shared_ptr<QRBActionHost> oscManager() const override { return manager_.lock(); }

private:
    std::weak_ptr<QRBActionHost> manager_;
    UndoNamer undoNamer_;
};
