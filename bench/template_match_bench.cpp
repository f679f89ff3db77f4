// Measures what MIDI template matching costs per received byte and template, against the plain
// matching in the same run:
//
//   template_match_bench [--templates N] [--bytes M] [--plain-bytes P]
//
// N templates of 16 bytes (F0 41 10 7 varying bytes, a 7-bit value, a 14-bit value in two bytes,
// a checksum and F7), all in one collection, all matching; a stream of M bytes made of whole
// messages for random templates, half of them with a wrong byte somewhere, so that partial matches
// start, grow and break all the time.
//
//   masks  the templates' own matching (a mask per byte, one comparison per byte and template).
//   plain  each received byte appended to a copy of the buffer, the buffer and the template both
//          copied, their substituted bits zeroed and the copies compared over the buffer's length
//          (only the first P bytes: it is slow). Kept here as the baseline; the program uses masks.
//
// Both count the messages completed; the counts over the first P bytes must agree. "value" lines
// give nanoseconds per byte and template; the last line is "ratio plain/masks <value>". Not a
// test: run it by hand on a release build.

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
    size_t templateCount = 10000, byteCount = 100000, plainBytes = 2000;
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

    size_t maskMatchesInPlainPart = 0, maskMatches = 0;
    start = seconds();
    for (size_t i = 0; i < byteCount; ++i) {
        const size_t n = collection->matchByte(stream[i]).size();
        maskMatches += n;
        if (i < plainBytes) maskMatchesInPlainPart += n;
    }
    const double maskTime = seconds() - start;

    const double perMask = maskTime * 1e9 / (static_cast<double>(byteCount) * static_cast<double>(templateCount));
    const double perPlain =
        plainTime * 1e9 / (static_cast<double>(std::max<size_t>(plainBytes, 1)) * static_cast<double>(templateCount));
    std::printf("templates %zu bytes %zu plain-bytes %zu\n", templateCount, byteCount, plainBytes);
    std::printf("matches masks %zu (first %zu bytes: %zu) plain %zu\n", maskMatches, plainBytes, maskMatchesInPlainPart,
                plainMatches);
    std::printf("value masks_ns_per_byte_and_template %.3f\n", perMask);
    std::printf("value plain_ns_per_byte_and_template %.3f\n", perPlain);
    std::printf("ratio plain/masks %.2f\n", perPlain / perMask);
    if (maskMatchesInPlainPart != plainMatches) {
        std::fprintf(stderr, "the two matchers disagree\n");
        return 1;
    }
    return 0;
}
