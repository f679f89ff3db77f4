#pragma once
// What the destination field of the interface asks: whether a typed text is accepted
// (with the message shown when it is not), and which part of a shown destination is drawn in
// the highlight colour (the " — (domain) UDP" tail of a Bonjour service target). The interface
// turns the answers into its own text attributes.

#include <cstddef>
#include <optional>
#include <string>

class QRBTargetSpecFormatter {
public:
    // The text shown for a value: the value itself.
    static std::string stringForObjectValue(const std::string& value) { return value; }
    // Empty text is accepted and sets no value. Other text is accepted when it reads as a target
    // destination (QRBTarget::parseTargetSpec); the value is then the text itself. Refused text
    // gives the reader's message in `error`.
    static bool getObjectValue(std::optional<std::string>* value, const std::string& text, std::string* error);
    // The byte offset of the last em dash when the text from there to its end ends in "TCP" or
    // "UDP": that part is highlighted; none when the whole text is drawn plainly.
    static std::optional<size_t> highlightedPartStart(const std::string& text);
};
