#include "features/QRBMappingImportController.h"

#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMainWindowServices.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/Value.h"

#include <algorithm>
#include <exception>
#include <filesystem>

QRBMappingImportController::QRBMappingImportController() = default;

QRBMappingImportController::~QRBMappingImportController() {
    // The decoded document holds servers and device managers of its own, which must not outlive
    // the import.
    if (importManager_) importManager_->close(false);
}

// ---- Reading the other document ----------------------------------------------------------------

bool QRBMappingImportController::setImportFileURL(const std::string& path) {
    importFilename_ = std::filesystem::path(path).stem().string();

    // The file comes from anywhere: whatever it holds ends as an error here, never in the model.
    std::shared_ptr<QRBManager> manager;
    std::string failure = "the file holds no routing manager";
    try {
        const foundation::Data data = foundation::readFile(path);
        auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
        manager = QuorbitalCore::decodeOSCManager(*unarchiver);
    } catch (const foundation::Exception& e) {
        foundation::logf(kReadExceptionFormat, e.reason().c_str());
        failure = e.reason();
    } catch (const std::exception& e) {
        foundation::logf(kReadExceptionFormat, e.what());
        failure = e.what();
    }

    if (!manager) {
        setImportManager(nullptr);
        setSelectionIndexes({});
        presentError(foundation::DocumentError(foundation::DocumentError::kFileReadUnknown, failure));
        return false;
    }

    setImportManager(manager);
    // A document of a single mapping needs no choice: it is the one to import.
    if (manager->presetManager()->countOfPresets() == 1)
        setSelectionIndexes({0});
    else
        setSelectionIndexes({});
    sheetShown_ = true;
    return true;
}

void QRBMappingImportController::setImportManager(std::shared_ptr<QRBManager> manager) {
    if (manager == importManager_) return;
    // Its presets stay valid: they may have been carried into the document already.
    if (importManager_) importManager_->close(false);
    importManager_ = std::move(manager);
}

void QRBMappingImportController::presentError(const foundation::DocumentError& error) {
    if (errorPresenter_) {
        errorPresenter_(error);
        return;
    }
    foundation::logf("The mappings could not be imported (%s %d): %s", error.domain(), error.code(),
                     error.reason().c_str());
}

// ---- The selection -----------------------------------------------------------------------------

std::vector<std::shared_ptr<QRBPreset>> QRBMappingImportController::mappings() const {
    if (!importManager_) return {};
    return importManager_->presetManager()->presets();
}

void QRBMappingImportController::setSelectionIndexes(const std::vector<size_t>& indexes) {
    const size_t count = mappings().size();
    std::vector<size_t> kept;
    for (size_t index : indexes) {
        if (index < count && std::find(kept.begin(), kept.end(), index) == kept.end()) kept.push_back(index);
    }
    willChangeValueForKey(kSelectionIndexesKey);
    selectionIndexes_ = std::move(kept);
    didChangeValueForKey(kSelectionIndexesKey);
    updateSelectionTexts();
}

std::vector<std::shared_ptr<QRBPreset>> QRBMappingImportController::selectedPresets() const {
    const std::vector<std::shared_ptr<QRBPreset>> all = mappings();
    std::vector<std::shared_ptr<QRBPreset>> selected;
    for (size_t index : selectionIndexes_) selected.push_back(all[index]);
    return selected;
}

void QRBMappingImportController::updateSelectionTexts() {
    const size_t count = selectionIndexes_.size();
    willChangeValueForKey(kSelectedCountTextKey);
    willChangeValueForKey(kButtonTextKey);
    if (count == 0) {
        selectedCountText_ = kNoSelectionText;
        buttonText_ = kCancelText;
    } else if (count == 1) {
        selectedCountText_ = kOneSelectedText;
        buttonText_ = kImportOneText;
    } else {
        const auto n = static_cast<unsigned long>(count);
        selectedCountText_ = foundation::format(kManySelectedFormat, n);
        buttonText_ = foundation::format(kImportManyFormat, n);
    }
    didChangeValueForKey(kSelectedCountTextKey);
    didChangeValueForKey(kButtonTextKey);
}

// ---- The end of the sheet ----------------------------------------------------------------------

void QRBMappingImportController::closeImportSheet() {
    if (!sheetShown_) return;
    sheetDidEnd(kCloseReturnCode);
}

void QRBMappingImportController::sheetDidEnd(long) {
    sheetShown_ = false;
    const std::vector<std::shared_ptr<QRBPreset>> selected = selectedPresets();
    const std::shared_ptr<QRBManager> source = importManager_;
    const std::shared_ptr<QRBActionHost> destination = delegate_ ? delegate_->oscManager() : nullptr;
    const std::shared_ptr<QRBPresetManager> presets = destination ? destination->presetManager() : nullptr;

    std::vector<std::shared_ptr<QRBPreset>> imported;
    if (source && presets) {
        for (const auto& preset : selected) {
            presets->importPreset(preset, source, destination, importFilename_.value_or(""));
            imported.push_back(preset);
        }
    }

    setImportManager(nullptr);
    importFilename_.reset();
    selectionIndexes_.clear();
    if (delegate_) delegate_->mappingImporterDidFinish(this, imported);
}
