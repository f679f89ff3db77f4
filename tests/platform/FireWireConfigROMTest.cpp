// The configuration ROM as the FireWire backend reads it, on hand-made images: the GUID, the unit
// directories with their specifier, version and immediate values, and damaged images.

#include "platform/firewire/FireWireConfigROM.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::parseFireWireConfigROM;

// A ROM with a bus information block of 4 quadlets, a root directory and unit directories,
// offsets counted from each root entry as on the bus.
std::vector<uint32_t> rom(uint64_t guid, const std::vector<std::vector<uint32_t>>& units,
                          std::vector<uint32_t> rootExtra = {}) {
    std::vector<uint32_t> image = {0x04000000, 0x31333934, 0x0000A002, uint32_t(guid >> 32), uint32_t(guid)};
    std::vector<uint32_t> root = {0x0C0083C0};  // node capabilities
    for (uint32_t e : rootExtra) root.push_back(e);
    const size_t rootAt = image.size();
    const size_t firstEntry = rootAt + 1;
    size_t unitAt = firstEntry + root.size() + units.size();
    std::vector<uint32_t> directories;
    for (size_t i = 0; i < units.size(); ++i) {
        const size_t entryAt = firstEntry + root.size();
        root.push_back(0xD1000000 | uint32_t(unitAt - entryAt));
        directories.push_back(uint32_t(units[i].size()) << 16);
        for (uint32_t e : units[i]) directories.push_back(e);
        unitAt += 1 + units[i].size();
    }
    image.push_back(uint32_t(root.size()) << 16);
    image.insert(image.end(), root.begin(), root.end());
    image.insert(image.end(), directories.begin(), directories.end());
    return image;
}

TEST(FireWireConfigROM, ReadsTheGUIDAndEachUnitDirectory) {
    const auto parsed = parseFireWireConfigROM(
        rom(0x0001F20012345678,
            {
                {0x120050C2, 0x1312AFFD},
                {0x120050C2, 0x1312AFFF, 0x3A000012, 0x3B000345, 0x81000010 /* a leaf: not immediate */},
            }));
    ASSERT_EQ(parsed.guid, 0x0001F20012345678u);
    ASSERT_EQ(parsed.units.size(), 2u);
    EXPECT_EQ(parsed.units[0].specifierID, 0x50C2u);
    EXPECT_EQ(parsed.units[0].softwareVersion, 0x12AFFDu);
    EXPECT_EQ(parsed.units[0].immediates.count(0x3A), 0u);
    EXPECT_EQ(parsed.units[1].softwareVersion, 0x12AFFFu);
    EXPECT_EQ(parsed.units[1].immediates.at(0x3A), 0x12u);
    EXPECT_EQ(parsed.units[1].immediates.at(0x3B), 0x345u);
    EXPECT_EQ(parsed.units[1].immediates.count(0x81), 0u);
}

TEST(FireWireConfigROM, DamagedImagesGiveWhatCouldBeRead) {
    auto whole = rom(7, {{0x120050C2, 0x1312AFFF}});
    struct Case {
        const char* what;
        std::vector<uint32_t> image;
        bool guid;
        size_t units;
    };
    auto cut = whole;
    cut.resize(cut.size() - 2);  // the unit directory's entries are missing
    auto longRoot = whole;
    longRoot[5] = 0xFFFF0000;  // the root claims far more entries than the image holds
    auto farUnit = whole;
    farUnit[7] = 0xD1FFFFFF;  // a unit directory beyond the image
    auto notBus = whole;
    notBus[1] = 0x12345678;
    const std::vector<Case> cases = {
        {"empty", {}, false, 0},
        {"a minimal ROM", {0x01ABCDEF}, false, 0},
        {"no bus name", notBus, false, 0},
        {"cut short", cut, true, 1},
        {"a root longer than the image", longRoot, true, 1},
        {"a unit beyond the image", farUnit, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto parsed = parseFireWireConfigROM(c.image);
        EXPECT_EQ(parsed.guid.has_value(), c.guid);
        EXPECT_EQ(parsed.units.size(), c.units);
    }
}

}  // namespace
