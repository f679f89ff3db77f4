#include "zz/Base64.h"

#include <array>

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const std::array<uint8_t, 256>& decodingTable() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (uint8_t i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = i;
        return t;
    }();
    return table;
}
}  // namespace

std::string Base64::encode(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        uint32_t chunk = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < length) chunk |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < length) chunk |= bytes[i + 2];
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += i + 1 < length ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < length ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> Base64::decode(const char* chars, size_t length) {
    if (!chars || length % 4 != 0) return std::nullopt;
    const auto& table = decodingTable();
    size_t padding = 0;
    while (padding < 2 && padding < length && chars[length - 1 - padding] == '=') ++padding;
    std::vector<uint8_t> out;
    size_t outLength = (3 * length - 3 * padding) / 4;
    out.reserve(outLength);
    for (size_t i = 0; i < length; i += 4) {
        uint32_t chunk = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = chars[i + k];
            chunk = (chunk << 6) | (c == '=' ? 0 : table[static_cast<uint8_t>(c)]);
        }
        uint8_t bytes[3] = {static_cast<uint8_t>(chunk >> 16), static_cast<uint8_t>(chunk >> 8),
                            static_cast<uint8_t>(chunk)};
        for (uint8_t b : bytes)
            if (out.size() < outLength) out.push_back(b);
    }
    return out;
}

std::optional<std::vector<uint8_t>> Base64::decode(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) > 127) return std::nullopt;
    return decode(text.data(), text.size());
}
