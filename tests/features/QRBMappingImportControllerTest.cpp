// Mapping import: another document decoded into a manager of its own, its mappings offered with
// the sheet's selection texts, the selected ones carried into the document with its equal routes
// reused, files that are not documents refused with error 256, and imported mappings routing
// through a running manager on the loopback.

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/monitor/QRBMainWindowServices.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBRouteEventSource.h"
#include "features/QRBMappingImportController.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <lo/lo.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using managertest::ManagerFixture;

namespace {

// One mapping of a document to import: its name and its addresses, each routed to target slot 1
// under a rewrite address.
struct Mapping {
    std::string name;
    std::vector<std::pair<std::string, std::string>> routes;  // address → rewrite address
};

// Writes a document of the current format holding `mappings`, saved by the document itself.
// Addresses routed to one rewrite address share one route, as the routes pane keeps them.
void writeDocument(const std::string& path, const std::vector<Mapping>& mappings) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    std::map<std::string, QRBRouteEventSourcePtr> routes;
    for (size_t i = 0; i < mappings.size(); ++i) {
        QRBPresetPtr preset = manager->presetManager()->currentPreset();
        if (i > 0) {
            preset = std::make_shared<QRBPreset>();
            manager->presetManager()->addPresetsObject(preset);
        }
        preset->setName(mappings[i].name);
        for (const auto& [address, rewrite] : mappings[i].routes) {
            QRBRouteEventSourcePtr& route = routes[rewrite];
            if (!route) {
                route = std::make_shared<QRBRouteEventSource>();
                route->setTargetIdentifier(0);
                route->setRewriteAddress(rewrite);
                manager->insertObject(route, manager->countOfOscRoutes());
            }
            auto context = QRBContext::create(address, manager);
            preset->addObject(context);
            context->setEventSource(route);
        }
    }
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
}

// The document's mappings controller, remembering what it was told.
class RecordingDelegate : public QRBMappingImporterDelegate {
public:
    explicit RecordingDelegate(QRBManagerPtr manager) : manager_(std::move(manager)) {}
    void mappingImporterDidFinish(QRBMappingImportController*, const std::vector<QRBPresetPtr>& mappings) override {
        finished.push_back(mappings);
    }
    std::shared_ptr<QRBActionHost> oscManager() const override { return manager_; }

    std::vector<std::vector<QRBPresetPtr>> finished;

private:
    QRBManagerPtr manager_;
};

std::vector<std::string> presetNames(const QRBManagerPtr& manager) {
    std::vector<std::string> names;
    for (const auto& preset : manager->presetManager()->presets()) names.push_back(preset->name());
    return names;
}

std::vector<std::string> routeAddresses(const QRBManagerPtr& manager) {
    std::vector<std::string> addresses;
    for (const auto& route : manager->oscRoutes())
        addresses.push_back(std::static_pointer_cast<QRBRouteEventSource>(route)->rewriteAddress().value_or("(none)"));
    return addresses;
}

class MappingImportTest : public ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        delegate = std::make_unique<RecordingDelegate>(manager);
        importer.setDelegate(delegate.get());
        importer.setErrorPresenter([this](const foundation::DocumentError& error) { errors.push_back(error.code()); });
    }

    testsupport::TempDir dir;
    std::unique_ptr<RecordingDelegate> delegate;
    QRBMappingImportController importer;
    std::vector<int> errors;
};

}  // namespace

TEST_F(MappingImportTest, ASingleMappingComesPreselectedAndIsImportedByTheButton) {
    const std::string path = dir.file("Live.qrb3");
    writeDocument(path, {{"Default Mapping", {{"/fader", "/mixer/volume"}}}});
    EXPECT_EQ(importer.selectedCountText(), "No item selected");
    EXPECT_EQ(importer.buttonText(), "Close");

    std::vector<std::string> notices;
    auto countToken = importer.addObserver(QRBMappingImportController::kSelectedCountTextKey,
                                           [&](const foundation::KeyValueChange& c) { notices.push_back(c.key); });
    auto buttonToken = importer.addObserver(QRBMappingImportController::kButtonTextKey,
                                            [&](const foundation::KeyValueChange& c) { notices.push_back(c.key); });
    ASSERT_TRUE(importer.setImportFileURL(path));
    EXPECT_TRUE(importer.isSheetShown());
    EXPECT_EQ(importer.importFilename(), "Live");
    ASSERT_EQ(importer.mappings().size(), 1u);
    EXPECT_EQ(importer.selectionIndexes(), (std::vector<size_t>{0}));
    EXPECT_EQ(importer.selectedCountText(), "1 item selected");
    EXPECT_EQ(importer.buttonText(), "Import 1 Mapping");
    EXPECT_EQ(notices, (std::vector<std::string>{"selectedCountText", "buttonText"}));

    const QRBPresetPtr offered = importer.mappings()[0];
    importer.closeImportSheet();
    EXPECT_FALSE(importer.isSheetShown());
    EXPECT_EQ(importer.importManager(), nullptr);
    EXPECT_FALSE(importer.importFilename());
    // A clash with the document's own mapping is named after the file.
    EXPECT_EQ(presetNames(manager), (std::vector<std::string>{"Default Mapping", "Default Mapping (Live)"}));
    EXPECT_EQ(manager->presetManager()->presets().back(), offered);
    ASSERT_EQ(delegate->finished.size(), 1u);
    EXPECT_EQ(delegate->finished[0], (std::vector<QRBPresetPtr>{offered}));
    const QRBContextPtr fader = offered->contextWithName("/fader");
    ASSERT_NE(fader, nullptr);
    EXPECT_EQ(fader->oscManager().get(), manager.get());
    EXPECT_EQ(routeAddresses(manager), (std::vector<std::string>{"/mixer/volume"}));
    EXPECT_EQ(fader->eventSource(), manager->oscRoutes()[0]);
}

TEST_F(MappingImportTest, TheSelectionNamesTheButtonAndNothingSelectedImportsNothing) {
    const std::string path = dir.file("Show.qrb3");
    writeDocument(path, {{"Intro", {{"/a", "/out/a"}}}, {"Verse", {{"/b", "/out/b"}}}, {"Outro", {{"/c", "/out/c"}}}});
    ASSERT_TRUE(importer.setImportFileURL(path));
    EXPECT_TRUE(importer.selectionIndexes().empty());

    struct Case {
        std::vector<size_t> selected;
        std::vector<size_t> kept;
        std::string count, button;
    } cases[] = {
        {{}, {}, "No selection", "Cancel"},
        {{1}, {1}, "1 item selected", "Import 1 Mapping"},
        {{2, 0}, {2, 0}, "2 items selected", "Import 2 Mappings"},
        {{0, 1, 2}, {0, 1, 2}, "3 items selected", "Import 3 Mappings"},
        // Positions naming no mapping, and repeats, are not selections.
        {{7, 1, 1}, {1}, "1 item selected", "Import 1 Mapping"},
        {{3}, {}, "No selection", "Cancel"},
    };
    for (const auto& c : cases) {
        importer.setSelectionIndexes(c.selected);
        EXPECT_EQ(importer.selectionIndexes(), c.kept);
        EXPECT_EQ(importer.selectedCountText(), c.count);
        EXPECT_EQ(importer.buttonText(), c.button);
    }

    importer.setSelectionIndexes({});
    importer.closeImportSheet();
    EXPECT_EQ(presetNames(manager), (std::vector<std::string>{"Default Mapping"}));
    EXPECT_TRUE(manager->oscRoutes().empty());
    EXPECT_EQ(importer.importManager(), nullptr);
    ASSERT_EQ(delegate->finished.size(), 1u);
    EXPECT_TRUE(delegate->finished[0].empty());
}

TEST_F(MappingImportTest, SelectedMappingsComeInSelectionOrderAndReuseEqualRoutes) {
    // The document already routes to /out/a; the file has routes to /out/a and /out/b, the latter
    // used by two of its mappings.
    auto existing = std::make_shared<QRBRouteEventSource>();
    existing->setTargetIdentifier(0);
    existing->setRewriteAddress(std::string("/out/a"));
    manager->insertObject(existing, 0);
    const std::string path = dir.file("Show.qrb3");
    writeDocument(path, {{"Intro", {{"/a", "/out/a"}, {"/b", "/out/b"}}}, {"Verse", {{"/c", "/out/b"}}}});

    ASSERT_TRUE(importer.setImportFileURL(path));
    importer.setSelectionIndexes({1, 0});
    const std::vector<QRBPresetPtr> offered = importer.mappings();
    importer.closeImportSheet();
    EXPECT_EQ(presetNames(manager), (std::vector<std::string>{"Default Mapping", "Verse", "Intro"}));
    EXPECT_EQ(routeAddresses(manager), (std::vector<std::string>{"/out/a", "/out/b"}));
    EXPECT_EQ(offered[0]->contextWithName("/a")->eventSource(), existing);
    EXPECT_EQ(offered[0]->contextWithName("/b")->eventSource(), manager->oscRoutes()[1]);
    EXPECT_EQ(offered[1]->contextWithName("/c")->eventSource(), manager->oscRoutes()[1]);

    // The same file again: every route has its equal by now.
    ASSERT_TRUE(importer.setImportFileURL(path));
    importer.setSelectionIndexes({0});
    importer.closeImportSheet();
    EXPECT_EQ(presetNames(manager), (std::vector<std::string>{"Default Mapping", "Verse", "Intro", "Intro (Show)"}));
    EXPECT_EQ(routeAddresses(manager), (std::vector<std::string>{"/out/a", "/out/b"}));
}

TEST_F(MappingImportTest, AFileThatIsNotADocumentIsError256AndChangesNothing) {
    const std::string valid = dir.file("valid.qrb3");
    writeDocument(valid, {{"Intro", {{"/a", "/out/a"}}}});
    std::string document;
    {
        std::ifstream in(valid, std::ios::binary);
        document.assign(std::istreambuf_iterator<char>(in), {});
    }
    foundation::Dictionary noManager{{"something", foundation::Value(std::string("else"))}};
    const foundation::Data withoutManager =
        foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(noManager));

    struct Case {
        std::string name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"text", "not a document at all\n"},
        {"truncated", document.substr(0, document.size() / 2)},
        {"plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
        {"other archive", std::string(withoutManager.begin(), withoutManager.end())},
    };
    // What the document holds now; a refused import must leave it so.
    const size_t presetsBefore = manager->presetManager()->countOfPresets();
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name + ".qrb3");
        std::ofstream(path, std::ios::binary) << c.bytes;
        errors.clear();
        EXPECT_FALSE(importer.setImportFileURL(path)) << c.name;
        EXPECT_EQ(errors, (std::vector<int>{256})) << c.name;
        EXPECT_FALSE(importer.isSheetShown()) << c.name;
        EXPECT_EQ(importer.importManager(), nullptr) << c.name;
        EXPECT_TRUE(importer.mappings().empty()) << c.name;
    }
    errors.clear();
    EXPECT_FALSE(importer.setImportFileURL(dir.file("missing.qrb3")));
    EXPECT_EQ(errors, (std::vector<int>{256}));

    // A refused file after a good one drops the good one's manager too.
    ASSERT_TRUE(importer.setImportFileURL(valid));
    EXPECT_FALSE(importer.setImportFileURL(dir.file("text.qrb3")));
    EXPECT_EQ(importer.importManager(), nullptr);
    EXPECT_EQ(manager->presetManager()->countOfPresets(), presetsBefore);
    EXPECT_TRUE(manager->oscRoutes().empty());
    EXPECT_TRUE(delegate->finished.empty());
}

TEST_F(MappingImportTest, ImportedMappingsRouteThroughTheRunningDocument) {
    lo_server device = lo_server_new_with_proto(nullptr, LO_UDP, [](int, const char*, const char*) {});
    ASSERT_NE(device, nullptr);
    std::vector<std::string> received;
    lo_server_add_method(
        device, nullptr, nullptr,
        [](const char* path, const char* types, lo_arg** argv, int, lo_message, void* user) {
            float value = 0;
            if (types[0] == 'f') std::memcpy(&value, argv[0], sizeof value);
            static_cast<std::vector<std::string>*>(user)->push_back(std::string(path) + " " + std::to_string(value));
            return 0;
        },
        &received);
    manager->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(lo_server_get_port(device)));

    const std::string path = dir.file("Live.qrb3");
    writeDocument(path, {{"Live", {{"/fader", "/mixer/volume"}}}});
    ASSERT_TRUE(importer.setImportFileURL(path));
    importer.closeImportSheet();
    manager->presetManager()->setCurrentPreset(manager->presetManager()->presetWithName("Live"));
    ASSERT_TRUE(manager->start());

    lo_address input = lo_address_new("127.0.0.1", std::to_string(port).c_str());
    ASSERT_GT(lo_send(input, "/fader", "f", 0.5f), 0);
    const bool arrived = runUntil([&] {
        for (int i = 0; i < 100 && lo_server_recv_noblock(device, 0) > 0; ++i) {}
        return !received.empty();
    });
    lo_address_free(input);
    lo_server_free(device);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(received[0], "/mixer/volume 0.500000");
}
