// Key codes as text in the layout in use, modifier symbols and words, the shortcut check over the
// desktop's shortcuts and a menu tree, the recording dialog's decisions and the key viewer's map.
// The layouts are keymaps compiled from their names: no X server is needed.

#include "controllers/KeystrokePoller.h"
#include "controllers/QRBVirtualKeyCodes.h"
#include "controllers/SRKeyCodeTransformer.h"
#include "controllers/SRValidator.h"
#include "controllers/ZZKeyComboDialog.h"
#include "controllers/devices/DeviceLayers.h"
#include "platform/desktop/FakeKeyboard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using devices::DeviceLayers;
using platform::FakeKeyboard;
using platform::XkbKeymap;

constexpr uint64_t kCommand = devices::kCommandKeyFlag;
constexpr uint64_t kShift = devices::kShiftKeyFlag;
constexpr uint64_t kOption = devices::kOptionKeyFlag;
constexpr uint64_t kControl = devices::kControlKeyFlag;

// Installs a keyboard of the layout named for one test.
class KeyTextTest : public ::testing::Test {
protected:
    FakeKeyboard& useLayout(const std::string& layout) {
        auto keymap = XkbKeymap::fromNames(layout);
        EXPECT_NE(keymap, nullptr) << layout;
        keyboard_ = std::make_shared<FakeKeyboard>(std::move(keymap));
        DeviceLayers layers;
        layers.keyboard = keyboard_;
        DeviceLayers::install(layers);
        return *keyboard_;
    }
    void SetUp() override { useLayout("us"); }
    void TearDown() override { DeviceLayers::reset(); }

    std::shared_ptr<FakeKeyboard> keyboard_;
};

TEST_F(KeyTextTest, DisplayStrings) {
    const struct {
        long code;
        std::optional<std::string> text;
    } cases[] = {
        {49, "Space"},
        {36, "\u21A9"},
        {82, "Pad 0"},
        {92, "Pad 9"},
        {69, "Pad +"},
        {122, "F1"},
        {111, "F12"},
        {55, "\u2318"},
        {0, "A"},
        {12, "Q"},
        {18, "1"},
        {50, "`"},
        {1024, std::nullopt},
        {-1, std::nullopt},
        {0xFFFF, std::nullopt},
        // Codes no key answers to.
        {52, std::nullopt},
        {127, std::nullopt},
        {500, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(keyCodeDisplayString(c.code), c.text) << c.code;
}

TEST_F(KeyTextTest, LettersFollowTheLayout) {
    useLayout("fr");
    // The keys at the places of US A, Q, W and Z type Q, A, Z and W on a French keyboard.
    EXPECT_EQ(keyCodeDisplayString(0), "Q");
    EXPECT_EQ(keyCodeDisplayString(12), "A");
    EXPECT_EQ(keyCodeDisplayString(13), "Z");
    EXPECT_EQ(keyCodeDisplayString(6), "W");
    // Upper-cased beyond ASCII: the key of US 2 types é.
    EXPECT_EQ(keyCodeDisplayString(19), "\u00C9");
    // Fixed texts do not change with the layout.
    EXPECT_EQ(keyCodeDisplayString(49), "Space");
    useLayout("us");
    EXPECT_EQ(keyCodeDisplayString(0), "A");
    EXPECT_EQ(keyCodeDisplayString(19), "2");
}

TEST_F(KeyTextTest, NoKeyboardGivesOnlyTheFixedTexts) {
    DeviceLayers::reset();
    EXPECT_EQ(keyCodeDisplayString(0), std::nullopt);
    EXPECT_EQ(keyCodeDisplayString(82), std::nullopt);
    EXPECT_EQ(keyCodeDisplayString(122), "F1");
}

TEST_F(KeyTextTest, ReverseMap) {
    SRKeyCodeTransformer transformer;
    EXPECT_EQ(transformer.reverseTransformedValue("A"), 0);
    EXPECT_EQ(transformer.reverseTransformedValue("Space"), 49);
    EXPECT_EQ(transformer.reverseTransformedValue("Pad 0"), 82);
    EXPECT_EQ(transformer.reverseTransformedValue("\u21A9"), 36);
    EXPECT_EQ(transformer.reverseTransformedValue("no such key"), std::nullopt);
    // Made once: a layout installed later changes nothing until it is made again.
    useLayout("fr");
    EXPECT_EQ(transformer.reverseTransformedValue("A"), 0);
    transformer.regenerateStringToKeyCodeMapping();
    EXPECT_EQ(transformer.reverseTransformedValue("A"), 12);
}

TEST_F(KeyTextTest, ModifierSymbolsAndWords) {
    EXPECT_EQ(cocoaModifierSymbols(kCommand | kShift), "\u21E7\u2318");
    EXPECT_EQ(cocoaModifierSymbols(kCommand | kShift | kOption | kControl), "\u2303\u2325\u21E7\u2318");
    EXPECT_EQ(carbonModifierSymbols(carbon::kControlKey | carbon::kCommandKey), "\u2303\u2318");
    EXPECT_EQ(cocoaModifierSymbols(0), "");
    EXPECT_EQ(cocoaKeyComboString(kCommand, 0), "\u2318A");
    EXPECT_EQ(readableCocoaKeyComboString(kCommand | kShift, 49), "Command + Shift + Space");
    EXPECT_EQ(readableCocoaKeyComboString(kShift | kControl | kOption | kCommand, 0),
              "Command + Option + Control + Shift + A");
    EXPECT_EQ(readableCarbonKeyComboString(carbon::kOptionKey, 1024), "Option + ");
}

TEST_F(KeyTextTest, FlagLayouts) {
    const struct {
        uint64_t cocoa, carbon;
    } cases[] = {
        {0x1A0000, 0xB00},
        {0x40000, 0x1000},
        {0x800000, 0x800000},
        {0x1E0000 | 0x800000, 0x1B00 | 0x800000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(carbonFlagsFromCocoaFlags(c.cocoa), c.carbon) << std::hex << c.cocoa;
        EXPECT_EQ(cocoaFlagsFromCarbonFlags(c.carbon), c.cocoa) << std::hex << c.carbon;
    }
    // Other bits are dropped both ways.
    EXPECT_EQ(carbonFlagsFromCocoaFlags(0x10000 | 0x200000 | 0x100), 0u);
    EXPECT_EQ(cocoaFlagsFromCarbonFlags(0x1 | 0x400 | 0x20000), 0u);
}

// ---- the shortcut check

class TakenDelegate : public SRValidatorDelegate {
public:
    std::optional<std::string> reason;
    uint64_t askedFlags = 0;
    bool shortcutValidatorIsKeyCode(uint16_t, uint64_t flags, std::optional<std::string>& out) override {
        askedFlags = flags;
        out = reason;
        return true;
    }
};

SRMenu sampleMenu() {
    SRMenuItem file{"File", "", 0, SRMenu{{"Open…", "o", kCommand, {}}, {"Save As…", "s", kCommand | kShift, {}}}};
    SRMenuItem edit{"Edit", "", 0, SRMenu{{"Find", "", 0, SRMenu{{"Find Next", "g", kCommand, {}}}}}};
    return {file, edit, {"Quit", "q", kCommand, {}}};
}

TEST_F(KeyTextTest, ValidatorAsksTheDelegateFirst) {
    SRValidator validator;
    TakenDelegate delegate;
    validator.setDelegate(&delegate);
    SRError error;
    EXPECT_TRUE(validator.isKeyCode(0, carbon::kCommandKey, &error));
    EXPECT_EQ(delegate.askedFlags, kCommand);
    EXPECT_EQ(error.localizedDescription, "The key combo \u2318A can't be used.");
    EXPECT_EQ(error.localizedRecoverySuggestion,
              "The key combo \"Command + A\" can't be used because it's already used.");
    delegate.reason = "it starts the recording";
    EXPECT_TRUE(validator.isKeyCode(0, carbon::kCommandKey, &error));
    EXPECT_EQ(error.localizedRecoverySuggestion,
              "The key combo \"Command + A\" can't be used because it starts the recording.");
}

TEST_F(KeyTextTest, ValidatorSearchesTheMenuTree) {
    SRValidator validator;
    validator.setMainMenu(sampleMenu());
    const struct {
        uint16_t code;
        uint64_t carbonFlags;
        std::optional<std::string> title;  // none: free
    } cases[] = {
        {31, carbon::kCommandKey, "Open…"},
        {1, carbon::kCommandKey | carbon::kShiftKey, "Save As…"},
        {5, carbon::kCommandKey, "Find Next"},  // two levels down
        {12, carbon::kCommandKey, "Quit"},
        {1, carbon::kCommandKey, std::nullopt},  // the item needs Shift too
        {31, carbon::kCommandKey | carbon::kOptionKey, std::nullopt},
        {31, 0, std::nullopt},
        {2, carbon::kCommandKey, std::nullopt},
    };
    for (const auto& c : cases) {
        SRError error;
        EXPECT_EQ(validator.isKeyCode(c.code, c.carbonFlags, &error), c.title.has_value()) << c.code;
        if (c.title) {
            EXPECT_NE(error.localizedRecoverySuggestion.find("the menu item \"" + *c.title + "\""), std::string::npos)
                << error.localizedRecoverySuggestion;
        }
    }
    SRError error;
    ASSERT_TRUE(validator.isKeyCode(1, carbon::kCommandKey | carbon::kShiftKey, &error));
    EXPECT_EQ(error.localizedDescription, "The key combo \u21E7\u2318S can't be used.");
    EXPECT_EQ(error.localizedRecoverySuggestion,
              "The key combo \"Command + Shift + S\" can't be used because it's already used by the menu item \"Save "
              "As…\".");
}

TEST_F(KeyTextTest, ValidatorSeesTheDesktopsShortcuts) {
    SRValidator validator;
    validator.setMainMenu(sampleMenu());
    keyboard_->holdHotKey(QRBXKeyCodeForVirtualKeyCode(49), kControl | kOption);
    SRError error;
    EXPECT_TRUE(validator.isKeyCode(49, carbon::kControlKey | carbon::kOptionKey, &error));
    EXPECT_EQ(error.localizedDescription, "The key combination \u2303\u2325Space can't be used.");
    EXPECT_EQ(error.localizedRecoverySuggestion.rfind("The key combination \"Option + Control + Space\" can't be used "
                                                      "because it's already used by a system-wide keyboard shortcut.",
                                                      0),
              0u);
    EXPECT_FALSE(validator.isKeyCode(49, carbon::kControlKey, &error));
    // A desktop that cannot be asked takes everything, and says nothing.
    keyboard_->setDesktopUnreachable(true);
    SRError none;
    EXPECT_TRUE(validator.isKeyCode(2, carbon::kCommandKey, &none));
    EXPECT_TRUE(none.localizedDescription.empty());
}

// ---- the recording dialog

struct DialogRecorder : ZZKeyComboDialogDelegate {
    int received = 0;
    int finished = 0;
    void keyComboDialogDidFinishEditing(ZZKeyComboDialog&) override { ++finished; }
    void keyComboDialogDidReceiveKeyCombo(ZZKeyComboDialog&) override { ++received; }
};

class KeyComboDialogTest : public KeyTextTest {
protected:
    void SetUp() override {
        KeyTextTest::SetUp();
        dialog.setDelegate(&recorder);
        dialog.setErrorPresenter([this](const SRError& e) { errors.push_back(e); });
    }
    ZZKeyComboDialog dialog;
    DialogRecorder recorder;
    std::vector<SRError> errors;
};

TEST_F(KeyComboDialogTest, StartsWithNoKey) {
    EXPECT_EQ(dialog.keyCombo().code, 1024);
    EXPECT_TRUE(dialog.usesValidator());
    dialog.setUsesValidator(false);
    EXPECT_FALSE(dialog.usesValidator());
    dialog.windowWillClose();
    EXPECT_EQ(recorder.finished, 1);
}

TEST_F(KeyComboDialogTest, RequiresModifiers) {
    dialog.setRequiresModifiers(true);
    dialog.shortcutTextViewDidChangeKeycode(0, 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].localizedDescription, "This key combo needs at least one modifier");
    EXPECT_EQ(dialog.keyCombo(), (detail::KeyCombo{0, 1024}));
    EXPECT_EQ(recorder.received, 0);

    dialog.shortcutTextViewDidChangeKeycode(0, kCommand);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(dialog.keyCombo(), (detail::KeyCombo{kCommand, 0}));
    EXPECT_EQ(recorder.received, 1);
}

TEST_F(KeyComboDialogTest, ModifierRuleHoldsWhenTakenWithoutError) {
    // The desktop cannot be asked: the validator answers taken and gives no error. A plain key
    // must still be refused.
    keyboard_->setDesktopUnreachable(true);
    dialog.setRequiresModifiers(true);
    dialog.shortcutTextViewDidChangeKeycode(0, 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].localizedDescription, "This key combo needs at least one modifier");
    EXPECT_EQ(dialog.keyCombo().code, 1024);
    EXPECT_EQ(recorder.received, 0);
    // With a modifier the taken-without-error answer is accepted, as before.
    dialog.shortcutTextViewDidChangeKeycode(0, kCommand);
    EXPECT_EQ(recorder.received, 1);
}

TEST_F(KeyComboDialogTest, RefusesAMenuShortcut) {
    dialog.validator()->setMainMenu(sampleMenu());
    dialog.shortcutTextViewDidChangeKeycode(12, kCommand);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].localizedRecoverySuggestion.find("\"Quit\""), std::string::npos);
    EXPECT_EQ(dialog.keyCombo().code, 1024);
    // Without the validator it goes through.
    dialog.setUsesValidator(false);
    dialog.shortcutTextViewDidChangeKeycode(12, kCommand);
    EXPECT_EQ(recorder.received, 1);
}

TEST_F(KeyComboDialogTest, TheFieldCapturesKeysOnlyWithTheFocus) {
    ShortcutTextView& field = dialog.keyComboText();
    dialog.setKeyCombo({kCommand | kShift, 1});
    dialog.showWindow();
    EXPECT_EQ(field.text(), "\u21E7\u2318S");
    // Without the focus a key press goes on (to the menus).
    EXPECT_FALSE(field.keyDown(0, kOption, false));
    EXPECT_EQ(recorder.received, 0);
    EXPECT_TRUE(field.keyDown(0, kOption, true));
    EXPECT_EQ(field.text(), "\u2325A");
    EXPECT_TRUE(field.isAllSelected());
    EXPECT_EQ(dialog.keyCombo(), (detail::KeyCombo{kOption, 0}));
    EXPECT_EQ(recorder.received, 1);
}

// ---- the key viewer

TEST_F(KeyTextTest, KeyMapBitOrder) {
    // Bit i counted from the most significant bit of byte 0 is code (i & ~7) | (7 - i % 8).
    const struct {
        unsigned index;
        uint16_t code;
    } cases[] = {{0, 7}, {7, 0}, {8, 15}, {15, 8}, {121, 126}, {127, 120}};
    for (const auto& c : cases) EXPECT_EQ(KeystrokePoller::KeyMapBitIndexToKeyCode(c.index), c.code) << c.index;

    // The X server's map (by X key code) becomes the 16-byte one (by virtual key code).
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(0), true);    // A
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(126), true);  // up arrow
    KeystrokePoller::KeyMap expected{};
    expected[0] = 0x01;
    expected[15] = 0x40;
    EXPECT_EQ(KeystrokePoller::currentKeyMap(), expected);
}

TEST_F(KeyTextTest, KeyViewerShowsTheLastKeyDown) {
    KeystrokePoller poller;
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(49), true);
    poller.showWindow();  // keys already down when the window opens are not shown
    EXPECT_TRUE(poller.isPolling());
    poller.poll();
    EXPECT_EQ(poller.keyCodeField(), "");
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(0), true);
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(12), true);
    poller.poll();
    // Both went down since the last look: the later one in bit order shows.
    EXPECT_EQ(poller.keyCodeField(), "12");
    EXPECT_EQ(poller.keyCharField(), "Q");
    keyboard_->setKeyDown(QRBXKeyCodeForVirtualKeyCode(64), true);  // F17 types nothing
    poller.poll();
    EXPECT_EQ(poller.keyCodeField(), "64");
    EXPECT_EQ(poller.keyCharField(), "");
    poller.windowWillClose();
    EXPECT_FALSE(poller.isPolling());
}

}  // namespace
