#pragma once
// Reading a node's configuration ROM (IEEE 1212): the GUID of the bus information block and, for
// each unit directory of the root directory, its specifier ID (key 0x12), software version (key
// 0x13) and every immediate value. Pure, so that it is tested on hand-made images; a damaged ROM
// (lengths or offsets that point outside the image, directories that nest in a loop) gives what
// could be read, never a read outside it.

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace platform {

struct FireWireUnitDirectory {
    uint32_t specifierID = 0;
    uint32_t softwareVersion = 0;
    std::map<uint8_t, uint32_t> immediates;  // key byte (type 0) → value, the two above included
};

struct FireWireConfigROM {
    std::optional<uint64_t> guid;
    std::vector<FireWireUnitDirectory> units;
};

// `quadlets` in host order, as read one quadlet at a time from the ROM's start (0xFFFFF0000400).
FireWireConfigROM parseFireWireConfigROM(const std::vector<uint32_t>& quadlets);

}  // namespace platform
