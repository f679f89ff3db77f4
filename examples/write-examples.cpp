// Writes the example documents into a folder (by default the folder of this file's documents), with
// the document classes themselves, so that the examples always have the current format.
//
//   quorbital-write-examples [folder]
//
// fader.qrb3: OSC arriving on UDP port 8000 at /fader, with one number from 0 to 1, is scaled to 0
// to 100 and sent to 127.0.0.1:9000 as /mixer/volume.

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

constexpr long kInputPort = 8000;
constexpr const char* kDestination = "127.0.0.1:9000";

void writeFaderExample(const std::string& path) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(kInputPort);

    // Target slot 1 (index 0) is the receiver; the route sends there under a new address.
    manager->oscTargets()[0]->setTargetSpec(std::string(kDestination));
    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(0);
    route->setRewriteAddress(std::string("/mixer/volume"));
    manager->insertObject(route, 0);

    // The address the sender uses. Its messages carry one number, so the context is itself the
    // action of that argument.
    auto fader = QRBContext::create(std::string("/fader"), manager);
    manager->presetManager()->currentPreset()->addObject(fader);
    // Not the user's default channel: the example is the same whoever writes it.
    fader->setChannel(1);
    fader->setInputMin(0.0);
    fader->setInputMax(1.0);
    fader->setOutputMin(0.0);
    fader->setOutputMax(100.0);
    fader->setEventSource(route);

    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

}  // namespace

int main(int argc, char** argv) {
    registerEngineClasses();
    const std::string folder = argc > 1 ? argv[1] : QUORBITAL_EXAMPLES_FOLDER;
    try {
        writeFaderExample(folder + "/fader.qrb3");
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "Could not write the examples: %s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }
    std::printf("Wrote %s/fader.qrb3\n", folder.c_str());
    return 0;
}
