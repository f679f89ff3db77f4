#pragma once
// Copies mappings (presets) from another document file into the open one. The file is decoded
// into a separate manager that is never started; its mappings are offered for selection (one
// mapping comes preselected), and when the sheet ends the selected ones are carried into the
// document through its preset manager's import, which reuses the document's equal routes, key
// combinations, scripts and templates instead of duplicating them.
//
// This is the import's model; the window binds to it: it lists mappings(), sets the selection,
// shows selectedCountText() and buttonText() (observable), and calls closeImportSheet() from its
// single button. A file that cannot be read or decoded is an error of code 256 for the
// application to present, and nothing else happens.
//
// Main thread only.

#include "foundation/Document.h"
#include "foundation/Observation.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBManager;
class QRBMappingImporterDelegate;
class QRBPreset;

class QRBMappingImportController : public foundation::Observable {
public:
    // Observable keys.
    static constexpr const char* kSelectedCountTextKey = "selectedCountText";
    static constexpr const char* kButtonTextKey = "buttonText";
    static constexpr const char* kSelectionIndexesKey = "selectionIndexes";
    static constexpr const char* kReadExceptionFormat = "Exception occurred while reading a file: %s";
    // The sheet's texts.
    static constexpr const char* kInitialCountText = "No item selected";
    static constexpr const char* kInitialButtonText = "Close";
    static constexpr const char* kNoSelectionText = "No selection";
    static constexpr const char* kCancelText = "Cancel";
    static constexpr const char* kOneSelectedText = "1 item selected";
    static constexpr const char* kImportOneText = "Import 1 Mapping";
    static constexpr const char* kManySelectedFormat = "%lu items selected";
    static constexpr const char* kImportManyFormat = "Import %lu Mappings";
    // The return code of the sheet's button.
    static constexpr long kCloseReturnCode = 1;

    using ErrorPresenter = std::function<void(const foundation::DocumentError& error)>;

    QRBMappingImportController();
    ~QRBMappingImportController() override;
    QRBMappingImportController(const QRBMappingImportController&) = delete;
    QRBMappingImportController& operator=(const QRBMappingImportController&) = delete;

    // The document's mappings controller: names the destination manager and hears of the end of
    // an import. Not owned; it outlives the controller.
    QRBMappingImporterDelegate* delegate() const { return delegate_; }
    void setDelegate(QRBMappingImporterDelegate* delegate) { delegate_ = delegate; }
    // How an error is shown to the user; by default it is logged.
    void setErrorPresenter(ErrorPresenter presenter) { errorPresenter_ = std::move(presenter); }

    // Decodes the file and shows the sheet; true when it did. A file that cannot be read or
    // decoded is presented as an error of code 256 and leaves no imported manager.
    bool setImportFileURL(const std::string& path);
    // The sheet's button: ends the sheet with kCloseReturnCode.
    void closeImportSheet();
    // The end of the sheet, whatever its return code: the selected mappings, in selection order,
    // go to the delegate's manager; the imported manager is closed; the delegate is told.
    void sheetDidEnd(long returnCode);
    bool isSheetShown() const { return sheetShown_; }

    // The decoded document; null when there is none.
    const std::shared_ptr<QRBManager>& importManager() const { return importManager_; }
    // Closes the previous manager (leaving its presets valid) before it is replaced.
    void setImportManager(std::shared_ptr<QRBManager> manager);
    // The source file's name without its extension; the import names clashing mappings after it.
    const std::optional<std::string>& importFilename() const { return importFilename_; }

    // The imported document's mappings, as the sheet lists them.
    std::vector<std::shared_ptr<QRBPreset>> mappings() const;
    // Positions in mappings(), in the order they were selected; positions that name no mapping
    // and repeated positions are left out.
    const std::vector<size_t>& selectionIndexes() const { return selectionIndexes_; }
    void setSelectionIndexes(const std::vector<size_t>& indexes);
    std::vector<std::shared_ptr<QRBPreset>> selectedPresets() const;

    const std::string& selectedCountText() const { return selectedCountText_; }
    const std::string& buttonText() const { return buttonText_; }

private:
    void updateSelectionTexts();
    void presentError(const foundation::DocumentError& error);

    QRBMappingImporterDelegate* delegate_ = nullptr;
    ErrorPresenter errorPresenter_;
    std::shared_ptr<QRBManager> importManager_;
    std::vector<size_t> selectionIndexes_;
    std::string selectedCountText_ = kInitialCountText;
    std::string buttonText_ = kInitialButtonText;
    std::optional<std::string> importFilename_;
    bool sheetShown_ = false;
};
