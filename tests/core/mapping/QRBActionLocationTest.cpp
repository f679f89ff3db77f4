// Action locations: resolving against whatever preset is current, what cannot be resolved, the
// required parts, the archive's keys and damaged archives; the default and uniquing mergers.

#include "core/support/PresetTestSupport.h"

#include "core/mapping/QRBActionLocation.h"
#include "core/mapping/QRBConcreteAction.h"
#include "core/mapping/QRBEventSourceMerger.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace firing;
using namespace presets;

namespace {

foundation::Array path(std::initializer_list<foundation::Value> components) { return foundation::Array(components); }

QRBActionLocationPtr location(const std::string& context, foundation::Array components) {
    return QRBActionLocation::locationWithContextName(context, std::move(components), context + "[?]");
}

// Presets A (current), B and C, each with its own /a.
class LocationTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = std::make_shared<RecordingConfigurator>();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<PresetHost> host = std::make_shared<PresetHost>();
    std::shared_ptr<QRBPresetManager> manager = host->presets;
    QRBPresetPtr a = manager->currentPreset();
    QRBPresetPtr b = std::make_shared<QRBPreset>();
    QRBPresetPtr c = std::make_shared<QRBPreset>();
    QRBPresetPtr d = std::make_shared<QRBPreset>();
    // Any action of the document: what an output resolves its location with.
    QRBContextPtr user;

    void SetUp() override {
        for (const auto& p : {b, c, d}) manager->addPresetsObject(p);
        user = host->addContext("/user");
        host->receive(message("/a", {Float(0.1f), Float(0.2f)}));
        manager->setCurrentPreset(b);
        host->receive(message("/a", {Float(0.1f), Float(0.2f), Float(0.3f)}));
        manager->setCurrentPreset(c);
        host->receive(message("/a", {Float(0.1f)}));
        manager->setCurrentPreset(a);
    }
};

}  // namespace

TEST_F(LocationTest, ResolvesInWhateverPresetIsCurrent) {
    auto second = location("/a", path({1}));
    EXPECT_EQ(second->resolveUsing(*user), a->contextWithName("/a")->actions()[1]);
    manager->setCurrentPreset(b);
    EXPECT_EQ(second->resolveUsing(*user), b->contextWithName("/a")->actions()[1]);
    manager->setCurrentPreset(c);  // /a has no argument actions there
    EXPECT_EQ(second->resolveUsing(*user), nullptr);
    manager->setCurrentPreset(d);  // no /a at all
    EXPECT_EQ(second->resolveUsing(*user), nullptr);
    manager->setCurrentPreset(a);
    EXPECT_EQ(location("/a", {})->resolveUsing(*user), a->contextWithName("/a"));
}

TEST_F(LocationTest, AnActionsOwnLocationFindsItAgainAfterASwitch) {
    auto second = a->contextWithName("/a")->actions()[1];
    auto here = second->location();
    EXPECT_EQ(here->contextName(), "/a");
    EXPECT_EQ(here->pathComponents(), path({1}));
    EXPECT_EQ(here->displayName(), second->fullDisplayName());
    EXPECT_EQ(here->resolveUsing(*user), second);
    manager->setCurrentPreset(b);
    EXPECT_EQ(here->resolveUsing(*user), b->contextWithName("/a")->actions()[1]);

    QRBConcreteAction loose;
    try {
        loose.location();
        FAIL();
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "in context cannot be nil");
    }
}

TEST_F(LocationTest, PathsThroughChildContextsTable) {
    auto dctx = host->addContext("/d");
    dctx->demux(1);
    host->receive(message("/d", {Float(3), String("left"), Float(0.5f), Float(0.7f)}));
    auto left = dctx->contextWithName("left");
    ASSERT_TRUE(left);
    ASSERT_EQ(left->actions().size(), 2u);
    struct Case {
        const char* name;
        foundation::Array components;
        QRBActionPtr expected;
    } cases[] = {
        {"argument before the demultiplexing index", path({0}), dctx->actions()[0]},
        {"child context", path({"left"}), left},
        {"argument of the child", path({"left", 1}), left->actions()[1]},
        {"child reached by its index", path({1, 0}), left->actions()[0]},
        {"index past the end", path({5}), nullptr},
        {"negative index", path({-1}), nullptr},
        {"unknown child", path({"right", 0}), nullptr},
        {"name below an argument action", path({0, "left"}), nullptr},
        {"index below an argument action", path({0, 0}), nullptr},
    };
    for (const auto& c : cases) EXPECT_EQ(location("/d", c.components)->resolveUsing(*user), c.expected) << c.name;
}

TEST(Location, UnresolvableWithoutPresetsOrManager) {
    VirtualMainLoop loop;
    auto plain = std::make_shared<TestHost>();  // a manager without presets
    auto context = QRBContext::create("/a", plain);
    EXPECT_EQ(location("/a", {})->resolveUsing(*context), nullptr);
    QRBContext orphan;  // no manager
    EXPECT_EQ(location("/a", {})->resolveUsing(orphan), nullptr);
}

TEST(Location, AllThreePartsAreRequired) {
    const foundation::Array components = path({"left", 0});
    struct Case {
        std::optional<std::string> contextName;
        std::optional<foundation::Array> pathComponents;
        std::optional<std::string> displayName;
        const char* reason;
    } cases[] = {
        {std::nullopt, components, "/a left[0]", "invalid action location: contextName cannot be nil"},
        {"/a", components, std::nullopt, "invalid action location: displayName cannot be nil"},
        {"/a", std::nullopt, "/a left[0]", "invalid action location: pathComponents cannot be nil"},
    };
    for (const auto& c : cases) {
        try {
            QRBActionLocation::locationWithContextName(c.contextName, c.pathComponents, c.displayName);
            ADD_FAILURE() << c.reason;
        } catch (const foundation::AssertionFailure& e) {
            EXPECT_EQ(e.reason(), c.reason);
        }
    }
    auto made = QRBActionLocation::locationWithContextName("/a", components, "/a left[0]");
    auto copy = made->copy();
    EXPECT_NE(copy, made);
    EXPECT_EQ(copy->contextName(), "/a");
    EXPECT_EQ(copy->pathComponents(), components);
    EXPECT_EQ(copy->displayName(), "/a left[0]");
    EXPECT_EQ(made->description(),
              foundation::format("<QRBActionLocation %p \"/a\" (left, 0)>", static_cast<void*>(made.get())));
}

TEST(LocationArchive, RoundTripWritesExactlyTheThreeKeys) {
    auto made = QRBActionLocation::locationWithContextName("/a", path({"left", 0}), "/a left[0]");
    testsupport::TempDir dir;
    const std::string file = dir.file("location.plist");
    auto decoded = roundTripThroughFile<QRBActionLocation>(foundation::Value(made), file);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->contextName(), "/a");
    EXPECT_EQ(decoded->pathComponents(), made->pathComponents());
    EXPECT_EQ(decoded->displayName(), "/a left[0]");

    auto keys = testsupport::runPython(R"(
import plistlib, sys
archive = plistlib.load(open(sys.argv[1], 'rb'))
objects = archive['$objects']
for o in objects:
    if isinstance(o, dict) and '$class' in o and objects[o['$class'].data].get('$classname') == 'QRBActionLocation':
        print(' '.join(sorted(k for k in o if k != '$class')))
)",
                                       file);
    EXPECT_EQ(keys.exitCode, 0) << keys.output;
    EXPECT_EQ(keys.output, "contextName displayName pathComponents\n");
}

TEST(LocationArchive, DamagedArchivesRaiseArchiveError) {
    auto complete = [] {
        return RawRecord::make("QRBActionLocation")->set("displayName", "/a[0]")->set("contextName", "/a");
    };
    const std::pair<const char*, std::shared_ptr<RawRecord>> damaged[] = {
        {"no path", complete()},
        {"no context name",
         RawRecord::make("QRBActionLocation")->set("displayName", "/a[0]")->set("pathComponents", path({0}))},
        {"no display name",
         RawRecord::make("QRBActionLocation")->set("contextName", "/a")->set("pathComponents", path({0}))},
        {"path not a list", complete()->set("pathComponents", "0")},
        {"path holding a list", complete()->set("pathComponents", path({foundation::Array{}}))},
        {"context name not a string", RawRecord::make("QRBActionLocation")
                                          ->set("displayName", "x")
                                          ->set("contextName", 1)
                                          ->set("pathComponents", path({}))},
    };
    for (const auto& [name, root] : damaged)
        EXPECT_THROW(decode<foundation::Object>(foundation::Value(root)), foundation::ArchiveError) << name;
}

// ---- mergers -----------------------------------------------------------------------------------

TEST(EventSourceMerger, DefaultSharesUniquingFindsOrAppends) {
    auto destination = std::make_shared<PresetHost>();
    auto source = std::make_shared<PresetHost>();
    auto routes = std::make_shared<TestCollection>();
    auto existing = std::make_shared<ListedEventSource>("r1");
    routes->sources = {std::make_shared<ListedEventSource>("r0"), existing};
    destination->collections["oscRoutes"] = routes;

    auto plain = std::make_shared<RecordingEventSource>();
    auto byDefault = QRBEventSourceMerger::defaultMergerWithEventSource(plain);
    EXPECT_EQ(byDefault->eventSource(), plain);
    EXPECT_EQ(byDefault->mergeFromOSCManager(source, destination), plain);

    auto equal = std::make_shared<ListedEventSource>("r1");
    auto merger = std::dynamic_pointer_cast<QRBUniquingEventSourceMerger>(equal->merger());
    ASSERT_TRUE(merger);
    EXPECT_EQ(merger->collectionKeyPath(), "oscRoutes");
    EXPECT_EQ(merger->mergeFromOSCManager(source, destination), existing);
    EXPECT_EQ(routes->sources.size(), 2u);

    auto fresh = std::make_shared<ListedEventSource>("r2");
    EXPECT_EQ(fresh->merger()->mergeFromOSCManager(source, destination), fresh);
    ASSERT_EQ(routes->sources.size(), 3u);
    EXPECT_EQ(routes->sources.back(), fresh);
    // Merged again, it finds itself.
    EXPECT_EQ(fresh->merger()->mergeFromOSCManager(source, destination), fresh);
    EXPECT_EQ(routes->sources.size(), 3u);

    // A document without that collection takes the output as it is.
    auto elsewhere = QRBEventSourceMerger::uniquingMergerWithEventSource(fresh, "keyEventManager.keyCombos");
    EXPECT_EQ(elsewhere->mergeFromOSCManager(source, destination), fresh);

    QRBEventSourceMerger abstract(plain);
    try {
        abstract.mergeFromOSCManager(source, destination);
        FAIL();
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.name(), "SubclassResponsibility");
    }
}
