#include "foundation/Log.h"
#include "foundation/Resources.h"
#include "foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>

using namespace foundation;

TEST(UserDefaults, DomainsAreSearchedArgumentsFirst) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("d.plist"));
    d.registerDefaults({{"headless", "registered"}, {"port", 8000}, {"only", true}});
    d.setObject(Value("persistent"), "headless");
    EXPECT_EQ(d.stringForKey("headless"), "persistent");
    const char* argv[] = {"quorbital", "-headless", "/path/doc.qrb3", "-port", "9001", "stray"};
    d.setArguments(6, argv);
    EXPECT_EQ(d.stringForKey("headless"), "/path/doc.qrb3");
    EXPECT_EQ(d.integerForKey("port"), 9001) << "command-line text reads as a number";
    EXPECT_TRUE(d.boolForKey("only"));
    EXPECT_TRUE(d.objectForKey("stray").isNull()) << "a trailing word without a value is no setting";
    d.removeObjectForKey("headless");
    d.setArguments(std::vector<std::string>{});
    EXPECT_EQ(d.stringForKey("headless"), "registered");
}

TEST(UserDefaults, TypedGetters) {
    testsupport::TempDir dir;
    UserDefaults d(dir.file("d.plist"));
    d.setUnsignedLongLong(std::numeric_limits<uint64_t>::max(), "u64");
    d.setDouble(2.75, "real");
    d.setString("YES", "yes");
    d.setString("12abc", "text");
    d.setObject(Value(Data{1, 2}), "data");
    EXPECT_EQ(d.unsignedLongLongForKey("u64"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(d.integerForKey("real"), 2);
    EXPECT_FLOAT_EQ(d.floatForKey("real"), 2.75f);
    EXPECT_TRUE(d.boolForKey("yes"));
    EXPECT_EQ(d.integerForKey("text"), 12);
    EXPECT_EQ(d.dataForKey("data"), (Data{1, 2}));
    EXPECT_FALSE(d.dataForKey("text").has_value());
    EXPECT_EQ(d.integerForKey("missing"), 0);
    EXPECT_FALSE(d.stringForKey("missing").has_value());
}

TEST(UserDefaults, PersistentDomainSurvivesAndDamagedFileIsKept) {
    testsupport::TempDir dir;
    std::string path = dir.file("sub/d.plist");
    {
        UserDefaults d(path);
        d.setInteger(42, "answer");
        d.setUnsignedLongLong(std::numeric_limits<uint64_t>::max() - 5, "big");
        EXPECT_TRUE(d.synchronize());
    }
    {
        UserDefaults d(path);
        EXPECT_EQ(d.integerForKey("answer"), 42);
        EXPECT_EQ(d.unsignedLongLongForKey("big"), std::numeric_limits<uint64_t>::max() - 5);
        EXPECT_EQ(d.persistentKeys(), (std::vector<std::string>{"answer", "big"}));
    }
    {
        std::ofstream(path) << "this is not a property list";
    }
    LogCapture log;
    UserDefaults d(path);
    EXPECT_EQ(d.integerForKey("answer"), 0);
    EXPECT_TRUE(log.contains("could not be read"));
    std::ifstream kept(path + ".damaged");
    EXPECT_TRUE(kept.good()) << "the damaged file is set aside, not lost";
}

TEST(Versions, CompareLikeReleaseNumbers) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"20261210", "20090904", 1}, {"20090904", "20090904", 0}, {"20090105", "20090904", -1},
        {"1.0", "1.0.1", -1},        {"1.10", "1.9", 1},          {"1.0b1", "1.0", -1},
        {"1.0", "1.0b1", 1},         {"1.0a", "1.0b", -1},        {"2", "10", -1},
        {"1.0.0", "1.0", 1},
    };
    for (const auto& c : cases) {
        int r = compareVersions(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(Resources, FindsTheShippedInitialValues) {
    auto path = Resources::pathForResource("UserDefaults", "plist");
    ASSERT_TRUE(path.has_value());
    EXPECT_FALSE(Resources::pathForResource("NoSuchThing", "plist").has_value());
    EXPECT_FALSE(Resources::runningVersion().empty());
}
