#pragma once
// Base64 with the standard alphabet, "=" padding and no line breaks.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Base64 {
public:
    static std::string encode(const uint8_t* bytes, size_t length);
    static std::string encode(const std::vector<uint8_t>& data) { return encode(data.data(), data.size()); }
    // None when the characters are missing or their count is not a multiple of 4. Characters
    // outside the alphabet decode as 0.
    static std::optional<std::vector<uint8_t>> decode(const char* chars, size_t length);
    // None when the text is not ASCII.
    static std::optional<std::vector<uint8_t>> decode(const std::string& text);
};
