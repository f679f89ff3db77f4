// Context filters: the filter bar's modes against contexts with and without outputs (on the
// context or below it), the address text ignoring case and diacritics, and the filter manager's
// show-all filter, its observation and its archive.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "features/QRBContextFilter.h"
#include "features/QRBContextFilterManager.h"
#include "foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace firing;

namespace {

enum class Output { None, OnContext, OnArgument };

class ContextFilterTest : public ::testing::Test {
protected:
    // A top-level context for `address` whose messages carry three numbers, with an output where
    // asked.
    QRBContextPtr context(const std::string& address, Output output) {
        auto made = QRBContext::create(address, host);
        made->receive(message(address, {Float(0.1f), Float(0.2f), Float(0.3f)}), nullptr, foundation::Date::now());
        EXPECT_EQ(made->actions().size(), 3u);
        if (output == Output::OnContext) made->setEventSource(std::make_shared<RecordingEventSource>());
        if (output == Output::OnArgument) made->actions()[1]->setEventSource(std::make_shared<RecordingEventSource>());
        return made;
    }

    VirtualMainLoop loop;
    std::shared_ptr<RecordingConfigurator> configurator = [] {
        auto c = std::make_shared<RecordingConfigurator>();
        c->giveOutputs = false;
        return c;
    }();
    ConfiguratorScope scope{configurator};
    std::shared_ptr<TestHost> host = std::make_shared<TestHost>();
};

}  // namespace

TEST_F(ContextFilterTest, ModeAndTextDecideTogether) {
    struct Case {
        unsigned long mode;
        std::optional<std::string> text;
        std::string address;
        Output output;
        bool listed;
    } cases[] = {
        {0, std::nullopt, "/a", Output::None, true},
        {0, "", "/a", Output::OnContext, true},
        {1, std::nullopt, "/a", Output::None, false},
        {1, std::nullopt, "/a", Output::OnContext, true},
        {1, "WII", "/wii/1/accel/pry", Output::OnArgument, true},
        {1, "WII", "/wii/1/accel/pry", Output::None, false},
        {1, "WII", "/midi/cc1/1", Output::OnContext, false},
        {2, "WII", "/wii/1/accel/pry", Output::None, true},
        {2, "WII", "/wii/1/accel/pry", Output::OnArgument, false},
        {2, "", "/a", Output::OnContext, false},
        // Any other mode places no condition on the outputs.
        {7, std::nullopt, "/a", Output::None, true},
        {7, std::nullopt, "/a", Output::OnContext, true},
        // The text: contained anywhere, case and diacritics ignored both ways.
        {0, "menage", "/Ménage/1", Output::None, true},
        {0, "MÉNAGE", "/menage", Output::None, true},
        {0, "Ménage", "/MENAGE/fader", Output::None, true},
        {0, "e\xCC\x81t\xC3\xA9", "/\xC3\x89T\xC3\x89", Output::None, true},  // decomposed against precomposed
        {0, "strasse", "/Straße", Output::None, true},
        {0, "ÅNGSTRÖM", "/angstrom/x", Output::None, true},
        {0, "accel/pry", "/wii/1/accel/pry", Output::None, true},
        {0, "menages", "/Ménage", Output::None, false},
        {0, "/b", "/a", Output::None, false},
    };
    for (const auto& c : cases) {
        auto filter = QRBContextFilter::contextFilterWithMode(c.mode, c.text);
        EXPECT_EQ(filter->mode(), c.mode);
        EXPECT_EQ(filter->address(), c.text);
        EXPECT_EQ(filter->test(*context(c.address, c.output)), c.listed)
            << "mode " << c.mode << " text '" << c.text.value_or("(none)") << "' address " << c.address << " output "
            << static_cast<int>(c.output);
    }
}

TEST_F(ContextFilterTest, AnAddressThatIsNotUTF8IsComparedWithoutHarm) {
    auto filter = QRBContextFilter::contextFilterWithMode(0, std::string("/bad"));
    EXPECT_TRUE(filter->test(*context("/bad\xFF\xFE", Output::None)));
    EXPECT_FALSE(filter->test(*context("/ba\xC3", Output::None)));
}

TEST(QRBContextFilterManager, ShowsEverythingUntilAFilterIsSetAndAgainAfterNone) {
    QRBContextFilterManager manager;
    EXPECT_EQ(manager.activeFilter()->mode(), 0u);
    EXPECT_FALSE(manager.activeFilter()->address());
    EXPECT_TRUE(manager.filterAddresses().empty());

    int notices = 0;
    auto token = manager.addObserver(QRBContextFilterManager::kActiveFilterKey,
                                     [&](const foundation::KeyValueChange&) { ++notices; });
    auto assigned = QRBContextFilter::contextFilterWithMode(1, std::string("wii"));
    manager.setActiveFilter(assigned);
    EXPECT_EQ(manager.activeFilter(), assigned);
    manager.setActiveFilter(nullptr);
    ASSERT_NE(manager.activeFilter(), nullptr);
    EXPECT_EQ(manager.activeFilter()->mode(), 0u);
    EXPECT_FALSE(manager.activeFilter()->address());
    EXPECT_EQ(notices, 2);
}

TEST(QRBContextFilterManager, ArchivesTheRememberedTextsAndDecodesShowingEverything) {
    auto manager = std::make_shared<QRBContextFilterManager>();
    manager->setFilterAddresses({"/wii", "Ménage"});
    manager->setActiveFilter(QRBContextFilter::contextFilterWithMode(2, std::string("wii")));

    const foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(manager));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBContextFilterManager>(data);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->filterAddresses(), (std::vector<std::string>{"/wii", "Ménage"}));
    EXPECT_EQ(decoded->activeFilter()->mode(), 0u);
    EXPECT_FALSE(decoded->activeFilter()->address());
}
