// Measures what MIDI template matching costs the main loop per received byte, and whether it keeps
// up with a busy MIDI input, against per-template matching in the same run:
//
//   template_match_bench [--templates N] [--bytes M] [--plain-bytes P]
//
// N templates (5,000 unless told) of 16 bytes (F0 41 10, 7 varying bytes, a 7-bit value, a 14-bit
// value in two bytes, a checksum and F7), all in one collection, all matching; a stream of M bytes
// made of whole messages for random templates, half of them with a wrong byte somewhere, so that
// partial matches start, grow and break all the time. Every template shares its first three bytes
// with every other: the case an index of first bytes alone would not help.
//
//   indexed  the collection's matching, as the program does it (QRBMIDITemplateMatcher).
//   masks    each template fed every byte (a mask per byte, one comparison per byte and template):
//            the baseline.
//   plain    each received byte appended to a copy of the buffer, the buffer and the template both
//            copied, their substituted bits zeroed and the copies compared over the buffer's length
//            (only the first P bytes: it is slow).
//
// All three count the messages completed and must agree. "value" lines give nanoseconds per
// received byte, and the share of the main loop's time that matching takes at 65 KB/s and at
// 650 KB/s of MIDI (above 1 the loop falls behind for good); the last line is
// "ratio masks/indexed <value>". Not a test: run it by hand on a release build.

#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

QRBMIDITemplatePtr makeTemplate(std::mt19937& random, size_t index) {
    foundation::Data bytes = {0xF0, 0x41, 0x10};
    for (int i = 0; i < 7; ++i) bytes.push_back(static_cast<uint8_t>(random() & 0x7F));
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x00, 0x00, 0xF7});  // 16 bytes
    auto t = std::make_shared<QRBMIDITemplate>();
    t->setName("T" + std::to_string(index));
    t->setTemplateBytes(bytes);
    t->setDataMax(16383);
    t->insertSubstitutions({QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Number, 0, 16383, {0, 7}, 0, 10),
                            QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Number, 0, 16383, {0, 7}, 0, 11),
                            QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Number, 0, 16383, {7, 7}, 0, 12),
                            QRBMIDIChecksumSubstitution::make(QRBMIDIChecksumSubstitution::NegatedSum, 1, 13, 14)},
                           {0, 1, 2, 3});
    t->setOSCPathForInputMatching("/bench/" + std::to_string(index));
    t->setShouldTestInputMatching(true);
    return t;
}

// The plain matcher of one template: its own buffer, and the whole candidate compared each time.
struct PlainMatcher {
    QRBMIDITemplatePtr t;
    foundation::Data buffer;

    bool matchByte(uint8_t byte) {
        foundation::Data candidate = buffer;
        candidate.push_back(byte);
        const foundation::Data& bytes = t->templateBytes();
        bool match = candidate.size() <= bytes.size();
        if (match) {
            foundation::Data received = candidate;
            foundation::Data expected = bytes;
            t->substituteZerosInBuffer(received);
            t->substituteZerosInBuffer(expected);
            match = std::equal(received.begin(), received.end(), expected.begin());
        }
        if (!match) {
            buffer.clear();
            return false;
        }
        if (candidate.size() == bytes.size()) {
            // The real matcher builds the message here; both sides pay for that the same way, so
            // the baseline builds it too.
            buffer.clear();
            return t->buildMatchingOSCMessageWithReceivedData(candidate) != nullptr;
        }
        buffer = std::move(candidate);
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    size_t templateCount = 5000, byteCount = 200000, plainBytes = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const size_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (!std::strcmp(argv[i], "--templates")) templateCount = value;
        if (!std::strcmp(argv[i], "--bytes")) byteCount = value;
        if (!std::strcmp(argv[i], "--plain-bytes")) plainBytes = value;
    }
    plainBytes = std::min(plainBytes, byteCount);

    std::mt19937 random(7);
    auto collection = std::make_shared<QRBMIDICollection>();
    std::vector<QRBMIDITemplatePtr> templates;
    for (size_t i = 0; i < templateCount; ++i) templates.push_back(makeTemplate(random, i));
    std::vector<size_t> indexes(templateCount);
    for (size_t i = 0; i < templateCount; ++i) indexes[i] = i;
    collection->insertTemplates(templates, indexes);

    foundation::Data stream;
    while (stream.size() < byteCount) {
        foundation::Data message = templates[random() % templateCount]->templateBytes();
        for (size_t i : {10, 11, 12, 14}) message[i] = static_cast<uint8_t>(random() & 0x7F);  // the free bytes
        if (random() & 1) message[3 + random() % 7] ^= 0x01;  // a byte that breaks the match
        stream.insert(stream.end(), message.begin(), message.end());
    }
    stream.resize(byteCount);

    // The plain matchers first, so that both start from empty buffers.
    std::vector<PlainMatcher> plain;
    for (const auto& t : templates) plain.push_back({t, {}});
    size_t plainMatches = 0;
    double start = seconds();
    for (size_t i = 0; i < plainBytes; ++i)
        for (auto& m : plain) plainMatches += m.matchByte(stream[i]);
    const double plainTime = seconds() - start;

    // The per-template matching is slow too: it sees a tenth of the stream.
    const size_t maskBytes = std::max<size_t>(std::min(byteCount, byteCount / 10 + plainBytes), plainBytes);
    size_t maskMatchesInPlainPart = 0, maskMatches = 0;
    start = seconds();
    for (size_t i = 0; i < maskBytes; ++i) {
        size_t n = 0;
        for (const auto& t : templates) n += t->matchByte(stream[i]) != nullptr;
        maskMatches += n;
        if (i < plainBytes) maskMatchesInPlainPart += n;
    }
    const double maskTime = seconds() - start;

    // The index is made when the templates change, not per byte: made here first, with a byte no
    // template starts with, and timed on its own.
    start = seconds();
    collection->matchByte(0xF7);
    const double indexTime = seconds() - start;

    size_t indexedMatches = 0, indexedInMaskPart = 0, indexedInPlainPart = 0;
    start = seconds();
    for (size_t i = 0; i < byteCount; ++i) {
        const size_t n = collection->matchByte(stream[i]).size();
        indexedMatches += n;
        if (i < maskBytes) indexedInMaskPart += n;
        if (i < plainBytes) indexedInPlainPart += n;
    }
    const double indexedTime = seconds() - start;

    auto perByte = [](double time, size_t bytes) {
        return time * 1e9 / static_cast<double>(std::max<size_t>(bytes, 1));
    };
    const double indexedNs = perByte(indexedTime, byteCount);
    const double maskNs = perByte(maskTime, maskBytes);
    const double plainNs = perByte(plainTime, plainBytes);
    std::printf("templates %zu bytes %zu (masks %zu, plain %zu)\n", templateCount, byteCount, maskBytes, plainBytes);
    std::printf("matches indexed %zu (first %zu bytes: %zu, first %zu: %zu) masks %zu (first %zu: %zu) plain %zu\n",
                indexedMatches, maskBytes, indexedInMaskPart, plainBytes, indexedInPlainPart, maskMatches, plainBytes,
                maskMatchesInPlainPart, plainMatches);
    std::printf("value index_build_ms %.1f\n", indexTime * 1e3);
    std::printf("value indexed_ns_per_byte %.1f\n", indexedNs);
    std::printf("value masks_ns_per_byte %.1f\n", maskNs);
    std::printf("value plain_ns_per_byte %.1f\n", plainNs);
    for (double rate : {65e3, 650e3}) {
        std::printf("value loop_share_at_%.0fKBps indexed %.4f masks %.4f\n", rate / 1e3, indexedNs * rate / 1e9,
                    maskNs * rate / 1e9);
    }
    std::printf("ratio masks/indexed %.2f\n", maskNs / indexedNs);
    if (maskMatchesInPlainPart != plainMatches || indexedInMaskPart != maskMatches) {
        std::fprintf(stderr, "the matchers disagree\n");
        return 1;
    }
    return 0;
}
