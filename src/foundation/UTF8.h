#pragma once
// Well-formed UTF-8, as text from outside (OSC strings, documents, log lines) is checked against:
// no stray continuation bytes, no overlong forms, no surrogates, nothing above U+10FFFF.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace foundation {

// The length of the well-formed sequence that starts at `at` (1 for ASCII), with its code point
// in `code` when given; 0 where no well-formed sequence starts there.
size_t utf8SequenceLength(std::string_view text, size_t at, uint32_t* code = nullptr);

bool isValidUTF8(std::string_view text);

}  // namespace foundation
