// What the routing core relies on of the controllers' services: the tablet daemon's command line,
// the equality and merging of key combinations and scripts, and the key combination list's undo.

#include "controllers/QRBKeyEventManager.h"
#include "controllers/QRBScriptManager.h"
#include "controllers/QRBWacomManager.h"
#include "core/mapping/QRBEventSourceMerger.h"
#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(TabletDaemonLauncherTest, BuildsTheDaemonsCommandLine) {
    struct Case {
        int mode;
        unsigned code;
        unsigned long long flags;
        std::vector<std::string> arguments;
    };
    const std::string url = "osc.udp://127.0.0.1:8000";
    const std::vector<Case> cases = {
        {0, 49, 0x100000, {"-TargetURL", url, "-MouseLockMode", "0"}},
        {2, 49, 0x100000, {"-TargetURL", url, "-MouseLockMode", "2", "-KeyCode", "49", "-ModifierFlags", "1048576"}},
        {1,
         0,
         0xFFFFFFFFFFFF0001ull,
         {"-TargetURL", url, "-MouseLockMode", "1", "-KeyCode", "0", "-ModifierFlags", "-65535"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(QRBWacomManager::daemonArguments(url, c.mode, c.code, c.flags), c.arguments);
    }
}

TEST(TabletDaemonLauncherTest, StartsNothingWithoutATargetURL) {
    QRBWacomManager launcher;
    launcher.start();
    EXPECT_EQ(launcher.task(), nullptr);
}

std::shared_ptr<QRBKeyComboEventSource> combo(uint16_t code, uint64_t flags, std::optional<std::string> app) {
    auto c = std::make_shared<QRBKeyComboEventSource>();
    c->setKeyCombo({flags, code});
    c->setTargetApp(std::move(app));
    return c;
}

TEST(KeyCombinationTest, EqualityDecidesWhatMergingReuses) {
    auto base = combo(0, 0x100000, std::nullopt);
    struct Case {
        const char* what;
        std::shared_ptr<QRBKeyComboEventSource> other;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"the same combination", combo(0, 0x100000, std::nullopt), true},
        {"another key", combo(1, 0x100000, std::nullopt), false},
        {"other modifiers", combo(0, 0x20000, std::nullopt), false},
        {"an application named", combo(0, 0x100000, std::string("Live")), false},
        {"an empty application name is not none", combo(0, 0x100000, std::string()), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(base->isEqualToEventSource(*c.other), c.equal);
    }
    auto merger = std::dynamic_pointer_cast<QRBUniquingEventSourceMerger>(base->merger());
    ASSERT_NE(merger, nullptr);
    EXPECT_EQ(merger->collectionKeyPath(), "keyEventManager.keyCombos");
}

TEST(ScriptTest, ScriptsAreEqualByTheirTextAndMergeIntoTheScriptList) {
    QRBScriptEventSource a, b;
    EXPECT_EQ(a.name(), "New Script");
    EXPECT_TRUE(a.isEqualToEventSource(b));
    b.setScriptSource(std::string("beep"));
    EXPECT_FALSE(a.isEqualToEventSource(b));
    auto script = std::make_shared<QRBScriptEventSource>();
    auto merger = std::dynamic_pointer_cast<QRBUniquingEventSourceMerger>(script->merger());
    ASSERT_NE(merger, nullptr);
    EXPECT_EQ(merger->collectionKeyPath(), "scriptManager.appleScripts");
}

TEST(KeyEventManagerTest, ListEditsAndTheDefaultApplicationAreUndoable) {
    auto manager = std::make_shared<QRBKeyEventManager>();
    auto undo = std::make_shared<foundation::UndoManager>();
    manager->setUndoManager(undo);
    auto first = combo(0, 0, std::nullopt);
    auto second = combo(1, 0, std::nullopt);
    manager->insertObject(first, 0);
    manager->insertObject(second, 0);
    manager->setTargetAppName(std::string("Live"));
    undo->closeEventGroup();
    manager->removeObjectFromKeyCombosAtIndex(1);
    undo->closeEventGroup();
    EXPECT_EQ(manager->keyCombos(), std::vector<QRBKeyComboEventSourcePtr>{second});

    undo->undo();
    EXPECT_EQ(manager->keyCombos(), (std::vector<QRBKeyComboEventSourcePtr>{second, first}));
    undo->undo();
    EXPECT_TRUE(manager->keyCombos().empty());
    EXPECT_FALSE(manager->targetAppName());
    undo->redo();
    EXPECT_EQ(manager->targetAppName(), "Live");
    EXPECT_EQ(manager->countOfKeyCombos(), 2u);
}

// Both output lists give every output the document's undo manager, whether it joined the list
// before the manager had one or after, and announce each edit with its index.
TEST(OutputListsTest, OutputsGetTheUndoManagerAndEachEditIsAnnounced) {
    auto undo = std::make_shared<foundation::UndoManager>();
    auto keys = std::make_shared<QRBKeyEventManager>();
    auto scripts = std::make_shared<QRBScriptManager>();
    std::vector<std::string> heard;
    auto record = [&heard](std::string list) {
        return [&heard, list](const foundation::KeyValueChange& c) {
            const char* sign = c.kind == foundation::KeyValueChangeKind::Insertion ? " +" : " -";
            heard.push_back(list + sign + std::to_string(c.indexes.at(0)));
        };
    };
    auto keysObserved = keys->addObserver(QRBKeyEventManager::kKeyCombosKey, record("keys"));
    auto scriptsObserved = scripts->addObserver(QRBScriptManager::kAppleScriptsKey, record("scripts"));

    auto earlyCombo = combo(0, 0, std::nullopt);
    auto earlyScript = std::make_shared<QRBScriptEventSource>();
    keys->insertObject(earlyCombo, 0);
    scripts->insertObject(earlyScript, 0);
    keys->setUndoManager(undo);
    scripts->setUndoManager(undo);
    auto lateCombo = combo(1, 0, std::nullopt);
    auto lateScript = std::make_shared<QRBScriptEventSource>();
    keys->insertObject(lateCombo, 1);
    scripts->insertObject(lateScript, 0);
    for (const QRBEventSourcePtr& output :
         std::vector<QRBEventSourcePtr>{earlyCombo, earlyScript, lateCombo, lateScript})
        EXPECT_EQ(output->undoManager(), undo);

    keys->removeObjectFromKeyCombosAtIndex(0);
    scripts->removeObjectFromAppleScriptsAtIndex(1);
    EXPECT_EQ(heard,
              (std::vector<std::string>{"keys +0", "scripts +0", "keys +1", "scripts +0", "keys -0", "scripts -1"}));
}

}  // namespace
