#include "controllers/QRBWKReportBundle.h"

#include <bit>
#include <cstring>

namespace {
// "#bundle", its NUL, and the immediate time tag (seconds 0, fraction 1).
constexpr uint8_t kHeader[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1};
// Type tags of messages of up to this many floats are written from one table.
constexpr size_t kMaxTags = 15;
}  // namespace

void QRBWKReportBundle::begin() {
    bytes_.assign(std::begin(kHeader), std::end(kHeader));
    messageCount_ = 0;
    open_ = true;
}

void QRBWKReportBundle::appendInt32(uint32_t value) {
    const uint8_t be[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                           static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    bytes_.insert(bytes_.end(), be, be + 4);
}

void QRBWKReportBundle::appendPadded(const char* text, size_t length) {
    bytes_.insert(bytes_.end(), text, text + length);
    // At least one NUL, then up to a multiple of four.
    const size_t padding = 4 - (length % 4);
    bytes_.insert(bytes_.end(), padding, uint8_t{0});
}

void QRBWKReportBundle::addMessage(const char* address, std::initializer_list<double> values) {
    if (!open_ || !address) return;
    const size_t count = values.size() < kMaxTags ? values.size() : kMaxTags;
    const size_t sizeAt = bytes_.size();
    appendInt32(0);  // the element's size, known once it is written
    appendPadded(address, std::strlen(address));
    char tags[kMaxTags + 2] = {','};
    std::memset(tags + 1, 'f', count);
    appendPadded(tags, count + 1);
    size_t written = 0;
    for (double value : values) {
        if (written++ == count) break;
        appendInt32(std::bit_cast<uint32_t>(static_cast<float>(value)));
    }
    const uint32_t elementSize = static_cast<uint32_t>(bytes_.size() - sizeAt - 4);
    const uint8_t be[4] = {static_cast<uint8_t>(elementSize >> 24), static_cast<uint8_t>(elementSize >> 16),
                           static_cast<uint8_t>(elementSize >> 8), static_cast<uint8_t>(elementSize)};
    std::memcpy(bytes_.data() + sizeAt, be, 4);
    ++messageCount_;
}
