#include "zz/Base64.h"
#include "zz/ZZExtensions.h"
#include "zz/ZZLowPassWindow.h"
#include "zz/ZZSystem.h"
#include "zz/ZZTime.h"

#include "foundation/Exception.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>

TEST(ZZLowPassWindow, SmoothingSettingsGiveTheirCoefficients) {
    struct Case {
        std::optional<double> smoothing;
        double alpha;
    } cases[] = {
        {std::nullopt, 0.15},
        {0.0, 1.0},
        {1.0, 1.0},
        {0.5, 1.0},
        {10.0, 0.5},
        {99.0, 1.0 - 0.5 * std::log10(99.0)},
        {100.0, 1.0 - 0.5 * std::log10(99.0)},
        // Outside 0…100 the setting is clamped, so the output never diverges.
        {150.0, 1.0 - 0.5 * std::log10(99.0)},
        {-3.0, 1.0},
        {std::nan(""), 1.0},
    };
    for (const auto& c : cases) {
        ZZLowPassWindow f;
        f.setSmoothing(c.smoothing);
        EXPECT_NEAR(f.alpha(), c.alpha, 1e-12) << (c.smoothing ? *c.smoothing : -999);
        EXPECT_GT(f.alpha(), 0.0);
        EXPECT_LE(f.alpha(), 1.0);
    }
}

TEST(ZZLowPassWindow, FiltersMapsAndClips) {
    ZZLowPassWindow f;
    EXPECT_EQ(f.filter(1.0), 1.0) << "the first value passes unchanged";
    EXPECT_DOUBLE_EQ(f.filter(0.0), 0.85);
    EXPECT_DOUBLE_EQ(f.currentValue(), 0.85);

    ZZLowPassWindow none;
    none.setSmoothing(1.0);
    for (double x : {0.3, -2.0, 7.0}) EXPECT_EQ(none.filter(x), x);

    struct Case {
        bool map, clip;
        double in, out;
    } cases[] = {
        {true, false, -1.0, 0.0}, {true, false, 0.0, 0.5}, {true, false, 1.0, 1.0}, {false, true, 1.5, 1.0},
        {false, true, -0.2, 0.0}, {true, true, 3.0, 1.0},  {true, true, -1.4, 0.0},
    };
    for (const auto& c : cases) {
        ZZLowPassWindow g;
        g.setMapsTo01Input(c.map);
        g.setClipsTo01Input(c.clip);
        EXPECT_DOUBLE_EQ(g.filter(c.in), c.out) << c.in;
    }
}

TEST(ZZExtensions, IncrementingSuffixNumbers) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"Mapping 2", "Mapping 3"},
        {"Snapshot", "Snapshot 2"},
        {"Take5", "Take 6"},
        {"a1b", "a1b 2"},
        {"", " 2"},
        {"Mix 9  ", "Mix 10"},
        {"007", " 8"},
        {"Big 99999999999999999999999", "Big 9223372036854775807"},
    };
    for (const auto& c : cases) EXPECT_EQ(ZZStringByIncrementingSuffixNumberInString(c.in), c.out) << c.in;
}

TEST(ZZExtensions, UniqueNames) {
    std::vector<std::string> names = {"Mapping 3", "Mapping 2", "Other"};
    std::function<std::optional<std::string>(const std::string&)> key = [](const std::string& s) {
        return std::optional<std::string>(s);
    };
    EXPECT_EQ(ZZUniqueString<std::string>("Mapping 2", names, key), "Mapping 4");
    EXPECT_EQ(ZZUniqueString<std::string>("Fresh", names, key), "Fresh");
    std::function<std::optional<std::string>(const std::string&)> none = [](const std::string&) {
        return std::optional<std::string>();
    };
    EXPECT_EQ(ZZUniqueString<std::string>("Mapping 2", names, none), "Mapping 2");
}

// The name is the one that incrementing one step at a time until no element has it gives, however
// the taken names of the series lie: holes, numbers written otherwise, other prefixes.
TEST(ZZExtensions, UniqueNamesAreThoseOfIncrementingOneStepAtATime) {
    std::function<std::optional<std::string>(const std::string&)> key = [](const std::string& s) {
        return std::optional<std::string>(s);
    };
    auto stepwise = [](std::string candidate, const std::vector<std::string>& names) {
        while (std::find(names.begin(), names.end(), candidate) != names.end())
            candidate = ZZStringByIncrementingSuffixNumberInString(candidate);
        return candidate;
    };
    std::vector<std::string> series = {"Kick"};
    for (int i = 2; i <= 300; ++i)
        if (i != 150) series.push_back("Kick " + std::to_string(i));
    const std::vector<std::vector<std::string>> sets = {
        series,
        {"Kick", "Kick 2", "Kick 02", "Kick 03", "Kick 3 ", "Kick3", "Kick 4x", "Kick 5"},
        {"Take5", "Take 6", "Take 7", "Take 9"},
        {"", " 2", " 3"},
        {"007", " 8", " 9", "009"},
        {"Big 99999999999999999999999", "Big 9223372036854775806"},
        {"Mix 9  ", "Mix 10", "Mix 11"},
    };
    const std::vector<std::string> candidates = {"Kick", "Kick 2", "Kick 149", "Kick 3", "Take5",
                                                 "",     "007",    "Mix 9  ",  "Fresh",  "Big 99999999999999999999999"};
    for (const auto& names : sets)
        for (const auto& candidate : candidates)
            EXPECT_EQ(ZZUniqueString<std::string>(candidate, names, key), stepwise(candidate, names))
                << '"' << candidate << "\" among " << ::testing::PrintToString(names);
}

TEST(ZZExtensions, NaturalOrderAndLists) {
    EXPECT_LT(ZZNaturalCompare("Note 9", "Note 10"), 0);
    EXPECT_GT(ZZNaturalCompare("note 10", "Note 9"), 0);
    EXPECT_EQ(ZZNaturalCompare("ABC", "abc"), 0);
    EXPECT_LT(ZZNaturalCompare("x2", "x02a"), 0);
    std::vector<std::string> v = {"Note 10", "note 2", "Note 1"};
    ZZNaturalSortWithKey(v, [](const std::string& s) { return s; });
    EXPECT_EQ(v, (std::vector<std::string>{"Note 1", "note 2", "Note 10"}));

    EXPECT_EQ(ZZArrayByRemovingFirstObject(std::vector<int>{1, 2, 3}), (std::vector<int>{2, 3}));
    EXPECT_TRUE(ZZArrayByRemovingFirstObject(std::vector<int>{1}).empty());

    int calls = 0;
    auto test = [&](int a, int b) {
        ++calls;
        return a == b;
    };
    EXPECT_TRUE(ZZIsEqualToArrayByPassingTest(std::vector<int>{}, std::vector<int>{}, test));
    EXPECT_FALSE(ZZIsEqualToArrayByPassingTest(std::vector<int>{1}, std::vector<int>{1, 2}, test));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(ZZIsEqualToArrayByPassingTest(std::vector<int>{1, 5, 3}, std::vector<int>{1, 2, 3}, test));
    EXPECT_EQ(calls, 2) << "stops at the first pair that fails";
}

TEST(Base64, EncodesAndDecodes) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    } cases[] = {{{}, ""},
                 {{'f'}, "Zg=="},
                 {{'f', 'o'}, "Zm8="},
                 {{'f', 'o', 'o'}, "Zm9v"},
                 {{0xFF, 0x00, 0xFE, 0x7F}, "/wD+fw=="}};
    for (const auto& c : cases) {
        EXPECT_EQ(Base64::encode(c.bytes), c.text);
        EXPECT_EQ(Base64::decode(std::string(c.text)), c.bytes) << c.text;
    }
    EXPECT_FALSE(Base64::decode(std::string("Zm9vY")).has_value());
    EXPECT_FALSE(Base64::decode(nullptr, 4).has_value());
    EXPECT_FALSE(Base64::decode(std::string("Zm\xC3\xA9")).has_value()) << "not ASCII";
    EXPECT_EQ(Base64::decode(std::string("!!!!")), (std::vector<uint8_t>{0, 0, 0}))
        << "outside the alphabet reads as 0";
}

TEST(ZZTime, ConversionsAndTheAbstractRaiser) {
    EXPECT_DOUBLE_EQ(1000000 * ZZMicrosecondsPerTick(1, 1), 1000.0);
    EXPECT_DOUBLE_EQ(1000000 * ZZSecondsPerTick(1, 1), 0.001);
    EXPECT_DOUBLE_EQ(ZZMicrosecondsBetween(0, 1000000), 1000.0);
    EXPECT_DOUBLE_EQ(ZZSecondsBetween(0, 1000000), 0.001);
    EXPECT_GT(ZZSecondsBetween(10, 5), 1e9) << "an end before the start is a huge span, not a negative one";
    uint64_t a = ZZAbsoluteTime();
    EXPECT_GE(ZZAbsoluteTime(), a);

    try {
        ZZRaiseSubclassResponsibility("acceptAction:");
        FAIL();
    } catch (const foundation::Exception& e) {
        EXPECT_EQ(e.name(), "SubclassResponsibility");
        EXPECT_EQ(e.reason(), "Subclass must override acceptAction:");
    }
}

TEST(ZZSystem, VersionParsing) {
    int major = -1, minor = -1, patch = -1;
    ZZParseVersion("6.1.0-13-amd64", &major, &minor, &patch);
    EXPECT_EQ(major, 6);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(patch, 0);
    ZZParseVersion("5", &major, &minor, &patch);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 0);
    ZZParseVersion("garbage", &major, nullptr, nullptr);
    EXPECT_EQ(major, 0);
    GetSystemVersion(&major, nullptr, nullptr);
    EXPECT_GT(major, 0);
}
