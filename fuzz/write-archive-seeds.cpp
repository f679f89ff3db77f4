// Writes whole documents for the seed corpus of fuzz_archive, with the document classes
// themselves: several presets, top-level contexts with child contexts and argument actions,
// routes and snapshots, so that every decoder of a document is reached from the first run.
//
//   quorbital-write-archive-seeds [folder]   (by default fuzz/corpus/archive)

#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBTarget.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "foundation/Exception.h"

#include <cstdio>
#include <string>

namespace {

void writeDocument(const std::string& path, int presets, int contexts) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(9100);
    manager->oscTargets()[0]->setTargetSpec(std::string("127.0.0.1:9101"));
    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(0);
    route->setRewriteAddress(std::string("/out"));
    manager->insertObject(route, 0);

    for (int p = 0; p < presets; ++p) {
        auto preset = p == 0 ? manager->presetManager()->currentPreset() : manager->presetManager()->createPreset();
        if (p > 0) manager->presetManager()->addPresetsObject(preset);
        for (int c = 0; c < contexts; ++c) {
            auto context = QRBContext::create("/seed/" + std::to_string(p) + "/" + std::to_string(c), manager);
            preset->addObject(context);
            context->setOutputMax(127.0);
            if (c % 2 == 0) {
                auto child = context->ensureChildContext("child");
                if (child) child->createAction<QRBConcreteAction>(std::string("arg"));
            } else {
                context->setEventSource(route);
            }
        }
        preset->addSnapshotsObject(preset->createSnapshot());
    }
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

}  // namespace

int main(int argc, char** argv) {
    registerEngineClasses();
    const std::string folder = argc > 1 ? argv[1] : QUORBITAL_SEEDS_FOLDER;
    try {
        writeDocument(folder + "/document-small.qrb3", 1, 3);
        writeDocument(folder + "/document-presets.qrb3", 3, 4);
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "Could not write the seeds: %s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }
    return 0;
}
