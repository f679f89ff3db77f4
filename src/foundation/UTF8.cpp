#include "foundation/UTF8.h"

namespace foundation {

size_t utf8SequenceLength(std::string_view text, size_t at, uint32_t* code) {
    if (at >= text.size()) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char c = bytes[at];
    if (c < 0x80) {
        if (code) *code = c;
        return 1;
    }
    size_t length = 0;
    uint32_t value = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (length > text.size() - at) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((bytes[at + k] & 0xC0) != 0x80) return 0;
        value = value << 6 | (bytes[at + k] & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    if (code) *code = value;
    return length;
}

bool isValidUTF8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace foundation
