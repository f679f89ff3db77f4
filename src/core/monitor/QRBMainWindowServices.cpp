#include "core/monitor/QRBMainWindowServices.h"

#include "foundation/Format.h"
#include "foundation/Log.h"

std::string QRBMappingImporterDelegate::undoActionNameForImportCount(size_t count) {
    if (count == 1) return "Import Mapping";
    return foundation::format("Import %lu Mapping%s", static_cast<unsigned long>(count), "s");
}

std::string QRBMappingImporterDelegate::noticeForImportCount(size_t count) {
    if (count == 1) return "1 mapping was imported.";
    return foundation::format("%lu mappings were imported.", static_cast<unsigned long>(count));
}

void QRBHeadlessMappingsController::mappingImporterDidFinish(QRBMappingImportController*,
                                                             const std::vector<std::shared_ptr<QRBPreset>>& mappings) {
    if (mappings.empty()) return;
    if (undoNamer_) undoNamer_(undoActionNameForImportCount(mappings.size()));
    foundation::log(noticeForImportCount(mappings.size()));
}
