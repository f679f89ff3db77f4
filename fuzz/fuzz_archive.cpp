// A document's bytes entering the decoder: any input decodes or raises ArchiveError.
#include "foundation/KeyedArchiver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    foundation::Data bytes(data, data + size);
    try {
        foundation::KeyedUnarchiver::unarchiveObjectWithData(bytes);
    } catch (const foundation::ArchiveError&) {
    }
    return 0;
}
