#include "foundation/Format.h"
#include "foundation/Value.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using namespace foundation;

TEST(PropertyList, BinaryAndXmlRoundTrip) {
    Value v(Dictionary{
        {"bool", true},
        {"int", -42},
        {"uint64", Value(std::numeric_limits<uint64_t>::max() - 1)},
        {"real", 2.5},
        {"string", "héllo"},
        {"data", Data{0, 0xFF}},
        {"date", Date::withTimeIntervalSinceReferenceDate(1000)},
        {"array", Array{1, "two", Array{}}},
    });
    EXPECT_EQ(propertyListFromData(binaryPropertyListData(v)), v);
    EXPECT_EQ(propertyListFromData(xmlPropertyListData(v)), v);
    EXPECT_EQ(*propertyListFromData(binaryPropertyListData(v)).dictionaryValue()->at("uint64").uint64Value(),
              std::numeric_limits<uint64_t>::max() - 1);
}

TEST(PropertyList, ObjectsAndNullCannotBeStoredAndGarbageIsRefused) {
    EXPECT_THROW(binaryPropertyListData(Value(Array{Value()})), PropertyListError);
    EXPECT_THROW(propertyListFromData(Data{'n', 'o', 'p', 'e'}), PropertyListError);
    EXPECT_THROW(propertyListFromData(Data{}), PropertyListError);
}

TEST(PropertyList, NumberReadsConvertSafely) {
    struct Case {
        Value v;
        std::optional<int64_t> integer;
        std::optional<bool> boolean;
    } cases[] = {
        {Value(3.9), 3, true},
        {Value(-3.9), -3, true},
        {Value(std::nan("")), std::nullopt, true},
        {Value(1e300), std::numeric_limits<int64_t>::max(), true},
        {Value(-1e300), std::numeric_limits<int64_t>::min(), true},
        {Value(true), 1, true},
        {Value(0), 0, false},
        {Value("7"), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.v.integerValue(), c.integer) << c.v.debugDescription();
        EXPECT_EQ(c.v.boolValue(), c.boolean) << c.v.debugDescription();
    }
}

TEST(PropertyList, FilesAreWrittenWholeAndReadBack) {
    testsupport::TempDir dir;
    std::string path = dir.file("prefs.plist");
    writeFileAtomically(path, binaryPropertyListData(Value(Dictionary{{"a", 1}})));
    writeFileAtomically(path, binaryPropertyListData(Value(Dictionary{{"a", 2}})));
    EXPECT_EQ(propertyListFromData(readFile(path)), Value(Dictionary{{"a", 2}}));
    EXPECT_THROW(readFile(dir.file("missing")), PropertyListError);
    EXPECT_THROW(writeFileAtomically(dir.file("no/such/dir/x"), Data{1}), PropertyListError);
}

TEST(Date, TimeTags) {
    Date now = Date::withTimeIntervalSince1970(1234.0);
    struct Case {
        OSCTimeTag tag;
        double unix;
    } cases[] = {
        {OSCTimeTag{2208988800u, 0}, 0.0},
        {OSCTimeTag{2208988800u, 0x80000000u}, 0.5},
        {OSCTimeTag{0, 0}, -2208988800.0},
        {OSCTimeTag::immediate(), 1234.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(dateFromTimeTag(c.tag, now).timeIntervalSince1970(), c.unix) << c.tag.seconds;

    OSCTimeTag back = timeTagFromDate(Date::withTimeIntervalSince1970(0.5));
    EXPECT_EQ(back.seconds, 2208988800u);
    EXPECT_EQ(back.fraction, 0x80000000u);
    EXPECT_EQ(timeTagFromDate(Date::withTimeIntervalSince1970(-3e9)), (OSCTimeTag{0, 0}));
    EXPECT_EQ(timeTagFromDate(Date::withTimeIntervalSince1970(3e9)), (OSCTimeTag{0xFFFFFFFFu, 0xFFFFFFFFu}));
}

TEST(Format, NumbersIgnoreTheProcessLocale) {
    // A desktop session may run with a locale whose decimal mark is a comma.
    const char* previous = setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!setlocale(LC_NUMERIC, "de_DE.UTF-8") && !setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no comma locale installed";
    std::string text = foundation::format("%0.2f", 0.5);
    setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "0.50");
}
