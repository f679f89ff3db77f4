#include "platform/firewire/FireWireConfigROM.h"

namespace platform {

namespace {

constexpr uint8_t kUnitDirectoryKey = 0xD1;  // type 3 (directory), id 0x11
constexpr uint8_t kSpecifierIDKey = 0x12;
constexpr uint8_t kSoftwareVersionKey = 0x13;
constexpr uint32_t kBusName = 0x31333934;  // "1394"

struct Directory {
    size_t start = 0;  // the first entry
    size_t length = 0;
};

// The directory whose header is at `at`, cut to the image.
std::optional<Directory> directoryAt(const std::vector<uint32_t>& rom, size_t at) {
    if (at >= rom.size()) return std::nullopt;
    const size_t length = rom[at] >> 16;
    const size_t start = at + 1;
    const size_t available = start <= rom.size() ? rom.size() - start : 0;
    return Directory{start, length < available ? length : available};
}

}  // namespace

FireWireConfigROM parseFireWireConfigROM(const std::vector<uint32_t>& rom) {
    FireWireConfigROM parsed;
    if (rom.empty()) return parsed;
    const size_t infoLength = rom[0] >> 24;
    // A minimal ROM (info length 1) holds only a vendor ID: no bus information, no directories.
    if (infoLength < 4 || rom.size() < 5 || rom[1] != kBusName) return parsed;
    parsed.guid = uint64_t(rom[3]) << 32 | rom[4];

    const std::optional<Directory> root = directoryAt(rom, 1 + infoLength);
    if (!root) return parsed;
    for (size_t i = root->start; i < root->start + root->length; ++i) {
        const uint32_t entry = rom[i];
        if (entry >> 24 != kUnitDirectoryKey) continue;
        // Offsets count quadlets from the entry itself; only forward, so no loop is possible.
        const size_t offset = entry & 0xFFFFFF;
        if (offset == 0) continue;
        const std::optional<Directory> unit = directoryAt(rom, i + offset);
        if (!unit) continue;
        FireWireUnitDirectory directory;
        for (size_t j = unit->start; j < unit->start + unit->length; ++j) {
            const uint8_t key = uint8_t(rom[j] >> 24);
            if (key >> 6 != 0) continue;  // immediate values only
            directory.immediates[key] = rom[j] & 0xFFFFFF;
        }
        if (auto it = directory.immediates.find(kSpecifierIDKey); it != directory.immediates.end())
            directory.specifierID = it->second;
        if (auto it = directory.immediates.find(kSoftwareVersionKey); it != directory.immediates.end())
            directory.softwareVersion = it->second;
        parsed.units.push_back(std::move(directory));
    }
    return parsed;
}

}  // namespace platform
