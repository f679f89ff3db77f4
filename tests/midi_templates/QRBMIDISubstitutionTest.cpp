// Substitutions: what they write into a template's bytes, what they read back, the bits they
// occupy, how they follow inserted and removed bytes, and how they survive archives, including
// hostile ones.

#include "TemplateTestSupport.h"

#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace templatetest;

namespace {

// ---- output ----------------------------------------------------------------------------------------

struct ApplyCase {
    const char* name;
    const char* bytes;
    std::vector<QRBMIDISubstitutionPtr> substitutions;
    QRBArgPtr value;
    int64_t channel;
    int64_t dataMax;
    const char* sent;  // nullptr: nothing can be sent
};

TEST(TemplateOutput, SubstitutionsWriteChannelValueTextAndChecksums) {
    auto text = [](int64_t from, int64_t to) { return QRBMIDITextSubstitution::make(from, to); };
    auto checksum = [](int64_t type, int64_t from, int64_t to, int64_t at) {
        return QRBMIDIChecksumSubstitution::make(type, from, to, at);
    };
    auto f = [](double v) { return QRBArg::argWithFloatValue(static_cast<float>(v)); };
    auto s = [](const char* v) { return QRBArg::argWithStringValue(std::string(v)); };
    const ApplyCase cases[] = {
        {"channel 3 into the status nibble", "B0 07 00", {channelAt(0)}, f(0), 3, 127, "B2 07 00"},
        // A template made from a received message keeps that message's channel and value; both
        // are replaced, not ORed into.
        {"channel over a recorded channel", "B1 07 64", {channelAt(0)}, f(0), 3, 127, "B2 07 64"},
        {"value over a recorded value", "B1 07 64", {numberAt(2)}, f(0), 1, 127, "B1 07 00"},
        {"value 1.0 on 0..127", "B0 07 00", {numberAt(2)}, f(1), 1, 127, "B0 07 7F"},
        {"14-bit value 0.5 in two slices",
         "E0 00 00",
         {numberAt(1, {0, 7}, 16383), numberAt(2, {7, 7}, 16383)},
         f(0.5),
         1,
         16383,
         "E0 00 40"},
        // Out-of-range and non-finite values are held at the ends of the range, never wrapped.
        {"1.01 x 127 is held at 127", "B0 07 00", {numberAt(2)}, f(1.01), 1, 127, "B0 07 7F"},
        {"a negative value is held at 0", "B0 07 55", {numberAt(2)}, f(-3), 1, 127, "B0 07 00"},
        {"infinity is held at the top", "B0 07 00", {numberAt(2)}, f(INFINITY), 1, 127, "B0 07 7F"},
        {"NaN sends nothing", "B0 07 00", {numberAt(2)}, f(NAN), 1, 127, nullptr},
        {"a text value sends nothing for a number", "B0 07 00", {numberAt(2)}, s("x"), 1, 127, nullptr},
        {"sum over 41 10 42 12",
         "F0 41 10 42 12 00 F7",
         {checksum(100, 1, 4, 5)},
         f(0),
         1,
         127,
         "F0 41 10 42 12 25 F7"},
        {"negated sum", "F0 41 10 42 12 00 F7", {checksum(200, 1, 4, 5)}, f(0), 1, 127, "F0 41 10 42 12 5B F7"},
        {"xor", "F0 41 10 42 12 00 F7", {checksum(300, 1, 4, 5)}, f(0), 1, 127, "F0 41 10 42 12 01 F7"},
        {"an unknown checksum type writes 0",
         "F0 41 10 42 12 33 F7",
         {checksum(7, 1, 4, 5)},
         f(0),
         1,
         127,
         "F0 41 10 42 12 00 F7"},
        // The checksum covers the value written, whatever the order of the two.
        {"checksum before the value it covers",
         "F0 10 00 00 F7",
         {checksum(100, 1, 2, 3), numberAt(2)},
         f(1),
         1,
         127,
         "F0 10 7F 0F F7"},
        {"text shorter than its field", "F0 00 00 00 00 00 F7", {text(1, 5)}, s("abc"), 1, 127, "F0 61 62 63 F7"},
        {"text longer than its field", "F0 00 00 F7", {text(1, 2)}, s("abcdef"), 1, 127, "F0 61 62 F7"},
        // A shorter text moves the later bytes down; the checksum after it follows them.
        {"checksum after a shortened text",
         "F0 00 00 00 00 11 00 F7",
         {text(1, 4), checksum(100, 1, 5, 6)},
         s("ab"),
         1,
         127,
         "F0 61 62 11 54 F7"},
        {"check range reaching the last byte fails",
         "F0 41 10 42 12 00",
         {checksum(100, 1, 5, 5)},
         f(0),
         1,
         127,
         nullptr},
        {"text field reaching the last byte fails", "F0 00 00", {text(1, 2)}, s("ab"), 1, 127, nullptr},
        {"a position past the end fails", "B0 07", {numberAt(2)}, f(1), 1, 127, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto t = makeTemplate(c.bytes, c.substitutions, 0, c.dataMax);
        auto message = t->buildOutputMessage(*action(c.value, c.channel));
        if (!c.sent) {
            EXPECT_EQ(message, nullptr);
            continue;
        }
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(hexText(message->data()), c.sent);
    }
}

TEST(TemplateOutput, ChecksumFormulas) {
    const uint8_t bytes[] = {0x41, 0x10, 0x42, 0x12};  // sum 0xA5
    EXPECT_EQ(QRBMIDIChecksumSubstitution::checksum(100, bytes, 0, 3), 0x25);
    EXPECT_EQ(QRBMIDIChecksumSubstitution::checksum(200, bytes, 0, 3), 0x5B);
    EXPECT_EQ(QRBMIDIChecksumSubstitution::checksum(300, bytes, 0, 3), 0x01);
    EXPECT_EQ(QRBMIDIChecksumSubstitution::checksum(100, bytes, 3, 2), 0);  // start after end
    const uint8_t zeros[] = {0, 0};
    EXPECT_EQ(QRBMIDIChecksumSubstitution::checksum(200, zeros, 0, 1), 0);  // -0 is 0
}

// ---- input ---------------------------------------------------------------------------------------------

TEST(TemplateInput, ZeroingClearsOnlyTheSubstitutedBits) {
    foundation::Data byte = hex("7F");
    QRBMIDIByteSubstitution::make(1, 0, 127, {0, 3}, 4, 0)->substituteZerosInBuffer(byte);
    EXPECT_EQ(byte, hex("0F"));

    foundation::Data field = hex("F0 11 22 33");
    QRBMIDITextSubstitution::make(2, 9)->substituteZerosInBuffer(field);  // past the end: left alone
    EXPECT_EQ(field, hex("F0 11 00 00"));
}

TEST(TemplateInput, ExtractionCombinesSlicesAndStaysInsideTheData) {
    QRBMIDIExtractedValues values;
    numberAt(1, {0, 7}, 16383)->extractValuesFromBuffer(hex("E0 00 40"), values);
    numberAt(2, {7, 7}, 16383)->extractValuesFromBuffer(hex("E0 00 40"), values);
    EXPECT_EQ(values["argument"].integerValue(), 8192);

    QRBMIDIExtractedValues channel;
    channelAt(0)->extractValuesFromBuffer(hex("B3 07 40"), channel);
    EXPECT_EQ(channel["channel"].integerValue(), 4);

    // A position past the received bytes reads nothing.
    QRBMIDIExtractedValues none;
    numberAt(9)->extractValuesFromBuffer(hex("B0 07 40"), none);
    QRBMIDITextSubstitution::make(5, 8)->extractValuesFromBuffer(hex("B0 07 40"), none);
    EXPECT_TRUE(none.empty());

    // A text field holding bytes that are not UTF-8 gives no argument.
    QRBMIDIExtractedValues bad{{"argument", foundation::Value(int64_t{3})}};
    QRBMIDITextSubstitution::make(1, 2)->extractValuesFromBuffer(hex("F0 C3 28 F7"), bad);
    EXPECT_EQ(bad.count("argument"), 0u);
    QRBMIDIExtractedValues good;
    QRBMIDITextSubstitution::make(1, 2)->extractValuesFromBuffer(hex("F0 C3 A9 F7"), good);
    EXPECT_EQ(*good["argument"].stringValue(), "\xC3\xA9");

    auto unset = std::make_shared<QRBMIDIByteSubstitution>();
    QRBMIDIExtractedValues any;
    EXPECT_THROW(unset->extractValuesFromBuffer(hex("B0"), any), foundation::Exception);
}

// ---- bits and ranges -----------------------------------------------------------------------------------

TEST(ByteSubstitution, SliceAndOffsetStayInsideTheByte) {
    auto s = numberAt(0, {0, 3});
    s->setTemplateByteBitOffset(4);
    ASSERT_TRUE(s->setSlice({0, 7}));
    EXPECT_EQ(s->templateByteBitOffset(), 1);
    s->setTemplateByteBitOffset(3);
    EXPECT_EQ(s->templateByteBitOffset(), 1);
    EXPECT_EQ(s->substitutedBitsRange(), (QRBMIDIRange{0, 7}));

    // Bit fields that would shift by more than a byte or a value are refused and change nothing.
    const QRBMIDIRange refused[] = {{0, 0}, {0, 9}, {-1, 4}, {60, 5}, {0, -2}};
    for (QRBMIDIRange r : refused) {
        SCOPED_TRACE(r.toString());
        EXPECT_FALSE(s->setSlice(r));
        EXPECT_EQ(s->slice(), (QRBMIDIRange{0, 7}));
    }
    EXPECT_TRUE(s->setSlice({57, 7}));
    EXPECT_FALSE(s->setTemplateByteBitOffset(-1));
    EXPECT_FALSE(s->setTemplateByteIndex(-1));
    EXPECT_EQ(s->templateByteIndex(), 0);
}

TEST(ByteSubstitution, PrecisionFitsTheSlice) {
    struct Case {
        int64_t dataMax;
        QRBMIDIRange slice;
        int64_t precision;
        QRBMIDIRange fitted;
    };
    const Case cases[] = {
        {127, {0, 7}, 7, {0, 7}},    {15, {0, 7}, 4, {0, 4}}, {15, {5, 2}, 4, {3, 1}}, {128, {0, 7}, 8, {0, 7}},
        {16383, {7, 7}, 14, {7, 7}}, {0, {0, 7}, 1, {0, 1}},  // a range of zeros still has one bit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dataMax);
        auto s = numberAt(0, c.slice, 16383, 1);
        s->setDataMax(c.dataMax);
        EXPECT_EQ(s->precision(), c.precision);
        EXPECT_EQ(s->slice(), c.fitted);
        if (!(c.fitted == c.slice)) {
            EXPECT_EQ(s->templateByteBitOffset(), 0);
        }
    }
}

TEST(ByteSubstitution, SettersAreUndoable) {
    auto undo = std::make_shared<foundation::UndoManager>();
    undo->setGroupsByEvent(false);
    auto s = numberAt(2, {0, 7}, 127);
    s->setUndoManager(undo);
    undo->beginUndoGrouping();
    s->setDataMax(15);  // refits the slice and clears the offset
    s->setTemplateByteIndex(4);
    undo->endUndoGrouping();
    EXPECT_EQ(s->slice(), (QRBMIDIRange{0, 4}));
    undo->undo();
    EXPECT_EQ(s->dataMax(), 127);
    EXPECT_EQ(s->slice(), (QRBMIDIRange{0, 7}));
    EXPECT_EQ(s->templateByteIndex(), 2);
    undo->redo();
    EXPECT_EQ(s->slice(), (QRBMIDIRange{0, 4}));
    EXPECT_EQ(s->templateByteIndex(), 4);
}

TEST(Substitutions, PositionsFollowInsertedAndRemovedBytes) {
    auto byte = numberAt(3);
    auto field = QRBMIDITextSubstitution::make(5, 8);
    auto sum = QRBMIDIChecksumSubstitution::make(100, 1, 8, 9);

    // One byte inserted at the byte substitution's position moves it on; the field and the
    // checksum's byte follow; the check range, which holds the point, grows.
    for (QRBMIDISubstitution* s :
         {static_cast<QRBMIDISubstitution*>(byte.get()), static_cast<QRBMIDISubstitution*>(field.get()),
          static_cast<QRBMIDISubstitution*>(sum.get())})
        s->adjustForAddedTemplateBytesInRange({3, 1});
    EXPECT_EQ(byte->templateByteIndex(), 4);
    EXPECT_EQ(field->substitutedBytesRange(), (QRBMIDIRange{6, 4}));
    EXPECT_EQ(sum->checkRange(), (QRBMIDIRange{1, 9}));
    EXPECT_EQ(sum->templateByteIndex(), 10);

    // Bytes inserted inside the field grow it.
    field->adjustForAddedTemplateBytesInRange({7, 2});
    EXPECT_EQ(field->substitutedBytesRange(), (QRBMIDIRange{6, 6}));

    // Removing bytes after the field leaves it; removing inside it shortens it; removing before
    // it moves it down.
    field->adjustForRemovedTemplateBytesInRange({20, 2});
    EXPECT_EQ(field->substitutedBytesRange(), (QRBMIDIRange{6, 6}));
    field->adjustForRemovedTemplateBytesInRange({8, 2});
    EXPECT_EQ(field->substitutedBytesRange(), (QRBMIDIRange{6, 4}));
    field->adjustForRemovedTemplateBytesInRange({0, 2});
    EXPECT_EQ(field->substitutedBytesRange(), (QRBMIDIRange{4, 4}));
    byte->adjustForRemovedTemplateBytesInRange({0, 2});
    EXPECT_EQ(byte->templateByteIndex(), 2);
    byte->adjustForRemovedTemplateBytesInRange({5, 2});
    EXPECT_EQ(byte->templateByteIndex(), 2);
}

TEST(Substitutions, EqualityAndCopies) {
    auto a = numberAt(2, {0, 7});
    EXPECT_TRUE(a->isEqualToMIDISubstitution(*a->copy()));
    EXPECT_FALSE(a->isEqualToMIDISubstitution(*numberAt(2, {0, 6})));
    EXPECT_FALSE(a->isEqualToMIDISubstitution(*channelAt(2)));
    EXPECT_FALSE(a->isEqualToMIDISubstitution(*QRBMIDITextSubstitution::make(2, 2)));
    EXPECT_TRUE(QRBMIDITextSubstitution::make(1, 4)->isEqualToMIDISubstitution(*QRBMIDITextSubstitution::make(1, 4)));
    auto c = QRBMIDIChecksumSubstitution::make(100, 1, 4, 5);
    EXPECT_TRUE(c->isEqualToMIDISubstitution(*c->copy()));
    EXPECT_FALSE(c->isEqualToMIDISubstitution(*QRBMIDIChecksumSubstitution::make(300, 1, 4, 5)));
}

// ---- archives --------------------------------------------------------------------------------------------

TEST(SubstitutionArchive, RoundTripKeepsEveryField) {
    auto byte = QRBMIDIByteSubstitution::make(1, 3, 200, {2, 5}, 3, 6);
    auto back = roundTrip(byte);
    EXPECT_TRUE(back->isEqualToMIDISubstitution(*byte));
    auto text = roundTrip(QRBMIDITextSubstitution::make(4, 9));
    EXPECT_EQ(text->substitutedBytesRange(), (QRBMIDIRange{4, 6}));
    auto sum = QRBMIDIChecksumSubstitution::make(300, 1, 7, 8);
    EXPECT_TRUE(roundTrip(sum)->isEqualToMIDISubstitution(*sum));

    EXPECT_EQ(QRBMIDIRange({0, 7}).toString(), "{0, 7}");
    EXPECT_EQ(QRBMIDIRange::fromString("{12, 3}"), (QRBMIDIRange{12, 3}));
    EXPECT_EQ(QRBMIDIRange::fromString("nonsense"), (QRBMIDIRange{}));
}

TEST(SubstitutionArchive, HostileFieldsAreClampedAndNeverShiftOutOfRange) {
    using V = foundation::Value;
    constexpr int64_t kHuge = std::numeric_limits<int64_t>::max();
    constexpr int64_t kLeast = std::numeric_limits<int64_t>::min();
    struct Case {
        const char* slice;
        int64_t offset, index;
    };
    const Case cases[] = {
        {"{-5, 3}", 0, 0},          {"{0, 64}", 0, 0}, {"{70, 8}", 9, 1},
        {"{0, -1}", -3, 2},         {"{0, 0}", 0, -7}, {"{9999999999, 2}", kHuge, kHuge},
        {"{0, 9}", kLeast, kLeast}, {"junk", 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slice);
        auto s = decodeRaw<QRBMIDIByteSubstitution>("QRBMIDIByteSubstitution", {{"type", V(int64_t{1})},
                                                                                {"dataMin", V(kLeast)},
                                                                                {"dataMax", V(kHuge)},
                                                                                {"slice", V(c.slice)},
                                                                                {"templateByteBitOffset", V(c.offset)},
                                                                                {"templateByteIndex", V(c.index)}});
        EXPECT_TRUE(QRBMIDIByteSubstitution::isValidBitField(s->slice(), s->templateByteBitOffset()));
        EXPECT_GE(s->templateByteIndex(), 0);
        EXPECT_GE(s->dataMin(), 0);
        // Using it stays defined (the sanitizers watch): apply, zero, extract.
        auto t = makeTemplate("B0 07 00", {s});
        (void)t->buildOutputMessage(*action(0.7));
        foundation::Data bytes = hex("FF FF FF");
        s->substituteZerosInBuffer(bytes);
        QRBMIDIExtractedValues values;
        s->extractValuesFromBuffer(hex("B0 07 40"), values);
    }

    auto text = decodeRaw<QRBMIDITextSubstitution>(
        "QRBMIDITextSubstitution", {{"templateBytesFromIndex", V(int64_t{-4})}, {"templateBytesToIndex", V(kLeast)}});
    EXPECT_EQ(text->substitutedBytesRange(), (QRBMIDIRange{0, 1}));
    auto far = decodeRaw<QRBMIDITextSubstitution>(
        "QRBMIDITextSubstitution", {{"templateBytesFromIndex", V(kHuge)}, {"templateBytesToIndex", V(kHuge)}});
    EXPECT_LE(far->templateBytesToIndex(), QRBMIDISubstitution::kMaxTemplateLength);
    EXPECT_EQ(makeTemplate("F0 00 F7", {far})->buildOutputMessage(*action(QRBArg::argWithStringValue("x"))), nullptr);

    auto sum =
        decodeRaw<QRBMIDIChecksumSubstitution>("QRBMIDIChecksumSubstitution", {{"type", V(int64_t{100})},
                                                                               {"checkFromIndex", V(int64_t{-1})},
                                                                               {"checkToIndex", V(kLeast)},
                                                                               {"templateByteIndex", V(kHuge)}});
    EXPECT_EQ(sum->checkRange(), (QRBMIDIRange{0, 1}));
    EXPECT_EQ(makeTemplate("F0 01 02 00 F7", {sum})->buildOutputMessage(*action(0.0)), nullptr);
}

}  // namespace
