// A mapping imported from another document into one that the document controller opened, saved
// by the document, then run by `quorbital -headless`: the imported mapping routes OSC to the
// receiver through the route the document already had.

#include "ChildProcess.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMainWindowServices.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBDocumentController.h"
#include "document/QRBManager.h"
#include "document/QRBRouteEventSource.h"
#include "document/QuorbitalCore.h"
#include "features/QRBMappingImportController.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {

constexpr double kStartTimeout = 30.0;  // a sanitizer build starts slowly
constexpr double kExitTimeout = 20.0;

QRBRouteEventSourcePtr addRoute(const QRBManagerPtr& manager, const std::string& address) {
    auto route = std::make_shared<QRBRouteEventSource>();
    route->setTargetIdentifier(0);
    route->setRewriteAddress(address);
    manager->insertObject(route, manager->countOfOscRoutes());
    return route;
}

// A document whose one mapping, "Live", sends /fader (0 to 1) scaled to 0 to 100 as
// /mixer/volume to target slot 1.
void writeSource(const std::string& path) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    const QRBPresetPtr preset = manager->presetManager()->currentPreset();
    preset->setName("Live");
    auto fader = QRBContext::create(std::string("/fader"), manager);
    preset->addObject(fader);
    fader->setInputMin(0.0);
    fader->setInputMax(1.0);
    fader->setOutputMin(0.0);
    fader->setOutputMax(100.0);
    fader->setEventSource(addRoute(manager, "/mixer/volume"));
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

}  // namespace

TEST(MappingImportProgram, AnImportedMappingSavedByItsDocumentRoutesHeadless) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("config"));
    std::filesystem::create_directories(dir.file("runtime"));
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    std::optional<std::string> received;
    lo_server device = lo_server_new_with_proto(nullptr, LO_UDP, [](int, const char*, const char*) {});
    ASSERT_NE(device, nullptr);
    lo_server_add_method(
        device, nullptr, nullptr,
        [](const char* path, const char* types, lo_arg** argv, int, lo_message, void* user) {
            float value = -1;
            if (types[0] == 'f') std::memcpy(&value, argv[0], sizeof value);
            *static_cast<std::optional<std::string>*>(user) = std::string(path) + " " + std::to_string(value);
            return 0;
        },
        &received);

    const std::string source = dir.file("Live.qrb3");
    writeSource(source);

    // The document that imports: routing to the receiver, with a route equal to the imported one.
    const std::string path = dir.file("Show.qrb3");
    {
        QRBDocumentController controller;
        const QRBDocumentPtr document = controller.openUntitledDocument();
        const QRBManagerPtr& manager = document->oscManager();
        manager->setServerPort(port);
        manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(lo_server_get_port(device)));
        const QRBRouteEventSourcePtr existing = addRoute(manager, "/mixer/volume");

        QRBHeadlessMappingsController mappings(manager);
        QRBMappingImportController importer;
        importer.setDelegate(&mappings);
        ASSERT_TRUE(importer.setImportFileURL(source));
        EXPECT_EQ(importer.buttonText(), "Import 1 Mapping");
        importer.closeImportSheet();

        const QRBPresetPtr live = manager->presetManager()->presetWithName("Live");
        ASSERT_NE(live, nullptr);
        ASSERT_EQ(manager->countOfOscRoutes(), 1u);
        EXPECT_EQ(live->contextWithName("/fader")->eventSource(), existing);
        manager->presetManager()->setCurrentPreset(live);
        document->saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
        document->close();
    }

    e2e::ChildProcess child(QUORBITAL_PROGRAM, {"-headless", path},
                            {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.file("runtime")}});
    ASSERT_TRUE(child.waitForOutput(QuorbitalCore::kStartingRouting, kStartTimeout)) << child.output();
    // The server may still be starting: send again until something comes, for ten seconds at most.
    lo_address input = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    for (int attempt = 0; attempt < 40 && !received; ++attempt) {
        lo_send(input, "/fader", "f", 0.5f);
        lo_server_recv_noblock(device, 250);
    }
    lo_address_free(input);
    lo_server_free(device);
    ASSERT_TRUE(received) << child.output();
    EXPECT_EQ(*received, "/mixer/volume 50.000000");

    child.sendSignal(SIGINT);
    EXPECT_EQ(child.waitForExit(kExitTimeout), 0) << child.output();
}
