#include "core/osc/QRBArg.h"

#include "core/support/ArgValues.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace argvalues;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

std::string describe(const QRBArgPtr& a) { return a ? a->description() : "(null)"; }

// Values are compared byte for byte; the message shows both.
void expectSameArg(const QRBArgPtr& actual, const QRBArgPtr& expected, const std::string& context) {
    ASSERT_TRUE(actual) << context;
    EXPECT_TRUE(actual->isEqualToArg(*expected))
        << context << ": got " << describe(actual) << " (type '" << static_cast<char>(actual->libloType()) << "', "
        << actual->managedBufferSize() << " bytes), expected " << describe(expected);
}

template <class T> void expectSameNumber(T actual, T expected, const std::string& context) {
    if (std::isnan(static_cast<double>(expected))) {
        EXPECT_TRUE(std::isnan(static_cast<double>(actual))) << context << ": got " << actual;
    } else {
        EXPECT_EQ(actual, expected) << context;
    }
}

// Resets the class-wide printer precision that some tests change.
class QRBArgText : public ::testing::Test {
protected:
    void TearDown() override { QRBArg::setPrettyPrinterFloatPrecision(2); }
};

}  // namespace

// ---- Construction and buffer ownership ------------------------------------------------------

TEST(QRBArgBasics, NewValueIsNilWithoutBytes) {
    QRBArg a;
    EXPECT_EQ(a.libloType(), 'N');
    EXPECT_EQ(a.managedBufferSize(), 0u);
    EXPECT_EQ(a.libloValue(), nullptr);
    EXPECT_EQ(a.description(), "<QRBArg Nil: Nil>");
    EXPECT_EQ(a.doubleValue(), 0.0);
}

TEST(QRBArgBasics, BufferSizeOfEachType) {
    const char text[] = "abc";
    const uint8_t blob[] = {5, 0, 0, 0, 1, 2, 3, 4, 5};
    const uint8_t eightBytes[8] = {};
    struct Case {
        int32_t type;
        const void* source;
        uint64_t size;
    };
    const Case cases[] = {
        {'i', eightBytes, 4}, {'h', eightBytes, 8}, {'f', nullptr, 4}, {'d', nullptr, 8},
        {'s', text, 4},       {'S', text, 4},       {'s', nullptr, 0}, {'c', eightBytes, 1},
        {'b', blob, 9},       {'b', nullptr, 8},    {'m', nullptr, 4}, {'t', nullptr, 8},
        {'T', nullptr, 0},    {'F', nullptr, 0},    {'N', nullptr, 0}, {'I', nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QRBArg::bufferSize(c.source, c.type), c.size) << static_cast<char>(c.type);
        EXPECT_EQ(QRBArg::argOfType(c.type, c.source)->managedBufferSize(), c.size) << static_cast<char>(c.type);
    }
    try {
        QRBArg::bufferSize(nullptr, 'x');
        FAIL() << "no error for an unknown letter";
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "Unexpected liblo type");
    }
}

TEST(QRBArgBasics, TypeAndSizeChangesReleaseTheBytes) {
    QRBArgPtr a = I32(7);
    a->setLibloType('i');  // same type: kept
    EXPECT_EQ(a->int32Value(), 7);
    a->setLibloType('f');
    EXPECT_EQ(a->managedBufferSize(), 0u);
    EXPECT_EQ(a->libloValue(), nullptr);
    EXPECT_EQ(a->floatValue(), 0.0f);  // a numeric type without bytes reads as 0

    a->setManagedBufferSize(4);
    EXPECT_EQ(a->floatValue(), 0.0f);  // zero-filled
    a->setFloatValue(1.5f);
    a->setManagedBufferSize(4);  // same size: kept
    EXPECT_EQ(a->floatValue(), 1.5f);
    a->setManagedBufferSize(0);
    EXPECT_EQ(a->libloValue(), nullptr);
}

TEST(QRBArgBasics, MakeSameAsValue) {
    // A null pointer leaves zero bytes even when the type and size are unchanged.
    QRBArgPtr a = I32(7);
    a->makeSameAsValue(nullptr, 'i');
    EXPECT_EQ(a->int32Value(), 0);
    EXPECT_EQ(a->managedBufferSize(), 4u);

    // The value's own bytes may be the source, also when the type changes.
    QRBArgPtr s = Str("hello");
    s->makeSameAsValue(s->libloValue(), 'S');
    expectSameArg(s, Sym("hello"), "own bytes as source");

    QRBArgPtr other = F64(2.5);
    s->makeSameAsValue(*other);
    expectSameArg(s, other, "from another value");
    s->makeSameAsValue(*s);
    expectSameArg(s, other, "from itself");

    // An unknown letter is refused and leaves the value as it was.
    EXPECT_THROW(s->makeSameAsValue(nullptr, 'x'), foundation::AssertionFailure);
    expectSameArg(s, other, "after a refused letter");
}

TEST(QRBArgBasics, OwnBytesAsSourceAcrossStorageSizes) {
    // Short values are stored inside the value, long ones in a block of their own; a value's own
    // bytes stay readable as a source whichever way the size crosses that line.
    const std::string longText = "a text far too long to be stored inline";
    struct Case {
        const char* name;
        std::string before;
        size_t offset;  // where in the value's own bytes the new string starts
    };
    const Case cases[] = {
        {"long to its own tail, which is short", longText, longText.size() - 6},
        {"long to a long part of itself", longText, 2},
        {"short to its own tail", "short", 2},
    };
    for (const Case& c : cases) {
        QRBArgPtr s = Str(c.before);
        s->makeSameAsValue(s->libloValue() + c.offset, 's');
        expectSameArg(s, Str(c.before.substr(c.offset)), c.name);
    }

    // Copies and equality do not depend on where the bytes are kept.
    QRBArgPtr grown = Str("short");
    grown->setStringValue(longText);
    expectSameArg(grown, Str(longText), "grown past the inline size");
    EXPECT_EQ(grown->hash(), Str(longText)->hash());
    grown->setStringValue(std::string("tiny"));
    expectSameArg(grown->copy(), Str("tiny"), "shrunk back");
}

TEST(QRBArgBasics, CopiesAreIndependent) {
    QRBArgPtr a = I32(5);
    QRBArgPtr b = a->copy();
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE(a->libloValue(), b->libloValue());
    b->setInt32Value(6);
    EXPECT_EQ(a->int32Value(), 5);
    QRBArg c;
    c = *b;
    expectSameArg(std::make_shared<QRBArg>(c), b, "assigned");
}

TEST(QRBArgBasics, ConstructorsAndRawData) {
    expectSameArg(QRBArg::argWithInt32Value(-3), I32(-3), "int32");
    expectSameArg(QRBArg::argWithFloatValue(0.25f), F32(0.25f), "float");
    expectSameArg(QRBArg::argWithStringValue("x"), Str("x"), "string");
    expectSameArg(QRBArg::argWithStringValue(std::nullopt), Str(""), "nil string");
    expectSameArg(QRBArg::argWithNilValue(), Typed('N'), "nil");
    expectSameArg(QRBArg::argWithTrueValue(), Typed('T'), "true");
    expectSameArg(QRBArg::argWithFalseValue(), Typed('F'), "false");
    expectSameArg(QRBArg::argOfTypeWithDoubleValue('i', 2.7), I32(2), "int32 from 2.7 truncates");
    expectSameArg(QRBArg::argOfTypeWithDoubleValue('d', 2.7), F64(2.7), "double");
    expectSameArg(QRBArg::argOfTypeWithDoubleValue('T', 2.7), Typed('T'), "True ignores the number");

    EXPECT_EQ(Str("ab")->rawData(), (foundation::Data{'a', 'b'}));
    EXPECT_EQ(Str("ab")->managedBufferSize(), 3u);
    EXPECT_EQ(Blob({1, 2, 3, 4, 5})->managedBufferSize(), 9u);
    EXPECT_EQ(Blob({7})->rawData(), (foundation::Data{1, 0, 0, 0, 7}));
}

// ---- Equality --------------------------------------------------------------------------------

TEST(QRBArgEquality, BytesAndTypeDecide) {
    struct Case {
        const char* name;
        QRBArgPtr a, b;
        bool equal;
    };
    const Case cases[] = {
        {"same int", I32(1), I32(1), true},
        {"float and double of 1", F32(1), F64(1), false},
        {"zero and negative zero", F32(0.0f), F32(-0.0f), false},
        {"NaN bits", F32(std::nanf("")), F32(std::nanf("")), true},
        {"string and symbol", Str("a"), Sym("a"), false},
        {"strings", Str("a"), Str("a"), true},
        {"blobs", Blob({1, 2}), Blob({1, 3}), false},
        {"True and True", Typed('T'), QRBArg::argWithTrueValue(), true},
        {"True and False", Typed('T'), Typed('F'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a->isEqualToArg(*c.b), c.equal) << c.name;
        if (c.equal) {
            EXPECT_EQ(c.a->hash(), c.b->hash()) << c.name;
        }
    }
    QRBArgPtr a = Str("x");
    EXPECT_TRUE(a->isEqualToArg(*a));
    EXPECT_EQ(QRBArg().hash(), static_cast<size_t>('N') * 31 * 31);
}

// ---- Reading numbers -------------------------------------------------------------------------

TEST(QRBArgNumbers, Getters) {
    struct Case {
        const char* name;
        QRBArgPtr value;
        double d;
        float f;
        int32_t i;
        int64_t h;
        int8_t c;
    };
    const Case cases[] = {
        {"int32", I32(300), 300, 300, 300, 300, 44},
        {"negative int32", I32(-7), -7, -7, -7, -7, -7},
        {"int64 low bits", I64(4294967297), 4294967297.0, 4294967297.0f, 1, 4294967297, 1},
        {"float half up", F32(2.5f), 2.5, 2.5f, 3, 3, 2},
        {"negative float half up", F32(-2.5f), -2.5, -2.5f, -2, -2, -2},
        {"double", F64(2.9), 2.9, 2.9f, 3, 3, 2},
        {"double truncates to char", F64(300.7), 300.7, 300.7f, 301, 301, 44},
        {"char is signed", Chr(-3), -3, -3, -3, -3, -3},
        {"text with a leading integer", Str("12abc"), 12, 12, 12, 12, 12},
        {"text without a number", Str("abc"), 0, 0, 0, 0, 0},
        {"text after white space", Str("  -4.5"), -4.5, -4.5f, -4, -4, -4},
        {"text integer is not rounded", Str("3.7"), 3.7, 3.7f, 3, 3, 3},
        {"symbol", Sym("+42"), 42, 42, 42, 42, 42},
        {"text exponent", Str("1.5e3x"), 1500, 1500, 1, 1, 1},
        {"text fraction only", Str(".5"), 0.5, 0.5f, 0, 0, 0},
        {"text not UTF-8", Str("12\xff"), 0, 0, 0, 0, 0},
        {"text integer saturates", Str("99999999999999999999"), 1e20, 1e20f, kI32Max, kI64Max, -1},
        {"text negative saturates", Str("-99999999999999999999"), -1e20, -1e20f, kI32Min, kI64Min, 0},
        {"text double saturates", Str("1e999"), DBL_MAX, FLT_MAX, 1, 1, 1},
        {"text float saturates", Str("-1e39"), -1e39, -FLT_MAX, -1, -1, -1},
        {"True", Typed('T'), 1, 1, 1, 1, 1},
        {"False", Typed('F'), 0, 0, 0, 0, 0},
        {"Nil", Typed('N'), 0, 0, 0, 0, 0},
        {"Infinitum", Typed('I'), 2147483647.0, 2147483648.0f, kI32Max, kI32Max, -1},
        {"int32 without bytes", Typed('i'), 0, 0, 0, 0, 0},
        {"double with too few bytes",
         [] {
             auto a = Typed('d');
             a->setManagedBufferSize(3);
             return a;
         }(),
         0, 0, 0, 0, 0},
        // Conversions C++ leaves undefined saturate instead.
        {"NaN", F64(kNaN), kNaN, std::nanf(""), 0, 0, 0},
        {"huge double", F64(1e300), 1e300, std::numeric_limits<float>::infinity(), kI32Max, kI64Max, 127},
        {"huge negative double", F64(-1e300), -1e300, -std::numeric_limits<float>::infinity(), kI32Min, kI64Min, -128},
        {"infinite float", F32(std::numeric_limits<float>::infinity()), kInf, std::numeric_limits<float>::infinity(),
         kI32Max, kI64Max, 127},
        {"double past int32", F64(5e9), 5e9, 5e9f, kI32Max, 5000000000, 0},
    };
    for (const Case& c : cases) {
        expectSameNumber(c.value->doubleValue(), c.d, std::string(c.name) + " doubleValue");
        expectSameNumber(c.value->floatValue(), c.f, std::string(c.name) + " floatValue");
        EXPECT_EQ(c.value->int32Value(), c.i) << c.name << " int32Value";
        EXPECT_EQ(c.value->int64Value(), c.h) << c.name << " int64Value";
        EXPECT_EQ(c.value->charValue(), c.c) << c.name << " charValue";
    }
}

TEST(QRBArgNumbers, ValuesWithoutNumbersWarnAndReadZero) {
    foundation::LogCapture log;
    EXPECT_EQ(Blob({1})->doubleValue(), 0.0);
    EXPECT_EQ(Midi(1, 2, 3, 4)->int32Value(), 0);
    EXPECT_EQ(Tag(5, 6)->charValue(), 0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Warning: Argument of type 'blob' can't provide a value of type 'double'",
                               "Warning: Argument of type 'midi' can't provide a value of type 'int32'",
                               "Warning: Argument of type 'timetag' can't provide a value of type 'char'",
                           }));
    EXPECT_THROW(Typed('x')->int64Value(), foundation::AssertionFailure);
}

// ---- Writing numbers and text ----------------------------------------------------------------

TEST(QRBArgNumbers, Setters) {
    struct Case {
        const char* name;
        QRBArgPtr start;
        std::function<void(QRBArg&)> set;
        QRBArgPtr expected;
        const char* warning;
    };
    const Case cases[] = {
        {"double into int32 truncates", I32(9), [](QRBArg& a) { a.setDoubleValue(2.7); }, I32(2), nullptr},
        {"negative double into int32", I32(9), [](QRBArg& a) { a.setDoubleValue(-2.7); }, I32(-2), nullptr},
        {"float into int32", I32(9), [](QRBArg& a) { a.setFloatValue(2.7f); }, I32(2), nullptr},
        {"int64 into int32 keeps low bits", I32(9), [](QRBArg& a) { a.setInt64Value(4294967297); }, I32(1), nullptr},
        {"char into int32", I32(9), [](QRBArg& a) { a.setCharValue(-3); }, I32(-3), nullptr},
        {"int32 into int64", I64(9), [](QRBArg& a) { a.setInt32Value(-5); }, I64(-5), nullptr},
        {"double into int64", I64(9), [](QRBArg& a) { a.setDoubleValue(-1e10); }, I64(-10000000000), nullptr},
        {"double into float", F32(9), [](QRBArg& a) { a.setDoubleValue(0.1); }, F32(0.1f), nullptr},
        {"int64 into double", F64(9), [](QRBArg& a) { a.setInt64Value(1LL << 40); }, F64(1099511627776.0), nullptr},
        {"float into double", F64(9), [](QRBArg& a) { a.setFloatValue(0.5f); }, F64(0.5), nullptr},
        {"double into char", Chr(9), [](QRBArg& a) { a.setDoubleValue(300.7); }, Chr(44), nullptr},
        {"int32 into char", Chr(9), [](QRBArg& a) { a.setInt32Value(300); }, Chr(44), nullptr},
        {"int32 into a value without bytes", Typed('i'), [](QRBArg& a) { a.setInt32Value(5); }, I32(5), nullptr},
        // Conversions C++ leaves undefined saturate instead.
        {"NaN into int32", I32(9), [](QRBArg& a) { a.setDoubleValue(kNaN); }, I32(0), nullptr},
        {"past int32", I32(9), [](QRBArg& a) { a.setDoubleValue(5e9); }, I32(kI32Max), nullptr},
        {"minus infinity into int32", I32(9), [](QRBArg& a) { a.setDoubleValue(-kInf); }, I32(kI32Min), nullptr},
        {"past int64", I64(9), [](QRBArg& a) { a.setFloatValue(1e30f); }, I64(kI64Max), nullptr},
        {"NaN into char", Chr(9), [](QRBArg& a) { a.setDoubleValue(kNaN); }, Chr(0), nullptr},
        // Constants ignore numbers silently; texts and the others warn and keep their bytes.
        {"True ignores", Typed('T'), [](QRBArg& a) { a.setDoubleValue(5); }, Typed('T'), nullptr},
        {"Infinitum ignores", Typed('I'), [](QRBArg& a) { a.setCharValue(5); }, Typed('I'), nullptr},
        {"string keeps its text", Str("keep"), [](QRBArg& a) { a.setDoubleValue(2.7); }, Str("keep"),
         "Warning: Argument of type 'string' can't receive a value of type 'double'"},
        {"blob keeps its bytes", Blob({1}), [](QRBArg& a) { a.setInt32Value(2); }, Blob({1}),
         "Warning: Argument of type 'blob' can't receive a value of type 'int32'"},
        {"timetag", Tag(1, 2), [](QRBArg& a) { a.setInt64Value(2); }, Tag(1, 2),
         "Warning: Argument of type 'timetag' can't receive a value of type 'int64'"},
        {"midi", Midi(1, 2, 3, 4), [](QRBArg& a) { a.setFloatValue(2); }, Midi(1, 2, 3, 4),
         "Warning: Argument of type 'midi' can't receive a value of type 'float'"},
        {"symbol", Sym("s"), [](QRBArg& a) { a.setCharValue(2); }, Sym("s"),
         "Warning: Argument of type 'symbol' can't receive a value of type 'char'"},
        // Texts.
        {"text into string", Str("old"), [](QRBArg& a) { a.setStringValue("new"); }, Str("new"), nullptr},
        {"nil text", Sym("old"), [](QRBArg& a) { a.setStringValue(std::nullopt); }, Sym(""), nullptr},
        {"text ends at its NUL", Str("old"), [](QRBArg& a) { a.setStringValue(std::string("a\0b", 3)); }, Str("a"),
         nullptr},
        {"text into int32", I32(9), [](QRBArg& a) { a.setStringValue("  42xyz"); }, I32(42), nullptr},
        {"text into int64", I64(9), [](QRBArg& a) { a.setStringValue("-9000000000"); }, I64(-9000000000), nullptr},
        {"text into float", F32(9), [](QRBArg& a) { a.setStringValue("0.25"); }, F32(0.25f), nullptr},
        {"text into double", F64(9), [](QRBArg& a) { a.setStringValue("1e3"); }, F64(1000), nullptr},
        {"text into char", Chr(9), [](QRBArg& a) { a.setStringValue("300"); }, Chr(44), nullptr},
        {"word into int32", I32(9), [](QRBArg& a) { a.setStringValue("abc"); }, I32(0), nullptr},
        {"text into True", Typed('T'), [](QRBArg& a) { a.setStringValue("1"); }, Typed('T'),
         "Warning: Argument of type 'True' can't receive a value of type 'string'"},
        {"text into blob", Blob({}), [](QRBArg& a) { a.setStringValue("1"); }, Blob({}),
         "Warning: Argument of type 'blob' can't receive a value of type 'string'"},
    };
    for (const Case& c : cases) {
        foundation::LogCapture log;
        c.set(*c.start);
        expectSameArg(c.start, c.expected, c.name);
        if (c.warning) {
            EXPECT_EQ(log.lines(), std::vector<std::string>{c.warning}) << c.name;
        } else {
            EXPECT_TRUE(log.lines().empty()) << c.name;
        }
    }
    EXPECT_THROW(Typed('x')->setDoubleValue(1), foundation::AssertionFailure);
    EXPECT_THROW(Typed('x')->setStringValue("1"), foundation::AssertionFailure);
}

// ---- Text forms ------------------------------------------------------------------------------

TEST_F(QRBArgText, PrettyAndPlainForms) {
    struct Case {
        QRBArgPtr value;
        std::optional<std::string> pretty;
        std::optional<std::string> plain;
    };
    const Case cases[] = {
        {I32(-5), "-5", "-5"},
        {I64(4294967297), "4294967297", "4294967297"},
        {F32(0.5f), "0.50", "0.50"},
        {F64(-1.25), "-1.25", "-1.25"},
        {Str("hi"), "\"hi\"", "hi"},
        {Sym("sym"), "'sym'", "sym"},
        {Chr('A'), "\\A", "A"},
        {Chr(static_cast<int8_t>(0xE9)), "\\\xC3\xA9", "\xC3\xA9"},  // Latin-1 é, kept UTF-8
        {Blob({1, 2, 3, 4, 5}), "<5 byte blob>", std::nullopt},
        {Midi(1, 0x90, 60, 127), "[midi: 0x01 0x90 0x3c 0x7f]", std::nullopt},
        {Tag(0x83AA7E80, 0x80000000), "83aa7e80.80000000", "83aa7e80.80000000"},
        {Typed('T'), "#T", "true"},
        {Typed('F'), "#F", "false"},
        {Typed('N'), "Nil", "Nil"},
        {Typed('I'), "Inf", "Inf"},
        {Typed('x'), std::nullopt, std::nullopt},
        {Typed('s'), "\"\"", ""},
    };
    for (const Case& c : cases) {
        const std::string name = "type '" + std::string(1, static_cast<char>(c.value->libloType())) + "'";
        EXPECT_EQ(c.value->prettyPrintToString(), c.pretty) << name;
        EXPECT_EQ(c.value->stringValue(), c.plain) << name;
        EXPECT_EQ(QRBArg::prettyPrintToString(c.value->libloValue(), c.value->libloType()), c.pretty) << name;
        EXPECT_EQ(QRBArg::stringValue(c.value->libloValue(), c.value->libloType()), c.plain) << name;
    }
    EXPECT_EQ(Blob({1, 2, 3, 4, 5})->description(), "<QRBArg blob: <5 byte blob>>");
    EXPECT_EQ(Typed('x')->description(), "<QRBArg int32: (null)>");
    EXPECT_EQ(QRBArg::prettyPrintType('x'), "int32");
}

TEST_F(QRBArgText, PrecisionChangesOnlyThePrettyForm) {
    QRBArg::setPrettyPrinterFloatPrecision(4);
    EXPECT_EQ(F32(0.5f)->prettyPrintToString(), "0.5000");
    EXPECT_EQ(F64(0.5)->prettyPrintToString(), "0.5000");
    EXPECT_EQ(F32(0.5f)->stringValue(), "0.50");
    expectSameArg(F32(0.5f)->coerceTo('s'), Str("0.50"), "coerced text");
    QRBArg::setPrettyPrinterFloatPrecision(0);
    EXPECT_EQ(F64(2.25)->prettyPrintToString(), "2");
    QRBArg::setPrettyPrinterFloatPrecision(-3);  // never a malformed format
    EXPECT_EQ(F64(2.25)->prettyPrintToString(), "2");
}

// ---- Coercion --------------------------------------------------------------------------------

TEST(QRBArgCoercion, Table) {
    struct Case {
        const char* name;
        QRBArgPtr source;
        int32_t target;
        QRBArgPtr expected;
    };
    const Case cases[] = {
        {"text to int32", Str("7"), 'i', I32(7)},
        {"float to text", F32(0.5f), 's', Str("0.50")},
        {"True to float", Typed('T'), 'f', F32(1)},
        {"float to int32 rounds", F32(2.5f), 'i', I32(3)},
        {"float to int64 rounds", F32(2.7f), 'h', I64(3)},
        {"double to char truncates", F64(2.9), 'c', Chr(2)},
        {"int32 to double", I32(5), 'd', F64(5)},
        {"int64 to symbol", I64(-12), 'S', Sym("-12")},
        {"char to text", Chr('z'), 's', Str("z")},
        {"Nil to text", Typed('N'), 's', Str("Nil")},
        {"Infinitum to int64", Typed('I'), 'h', I64(2147483647)},
        {"timetag to text", Tag(1, 2), 's', Str("00000001.00000002")},
        {"blob to text", Blob({1, 2}), 's', Str("")},
        {"midi to symbol", Midi(1, 2, 3, 4), 'S', Sym("")},
        {"int32 to True", I32(3), 'T', Typed('T')},
        {"text to Infinitum", Str("x"), 'I', Typed('I')},
        {"keep the type", F64(0.1), '=', F64(0.1)},
        {"same type", Blob({9}), 'b', Blob({9})},
        {"NaN to int32", F64(kNaN), 'i', I32(0)},
    };
    for (const Case& c : cases) {
        QRBArgPtr before = c.source->copy();
        QRBArgPtr result = c.source->coerceTo(c.target);
        expectSameArg(result, c.expected, c.name);
        EXPECT_NE(result.get(), c.source.get()) << c.name;
        expectSameArg(c.source, before, std::string(c.name) + " (receiver unchanged)");
    }
}

TEST(QRBArgCoercion, BlobSourcesWarnAndGiveZero) {
    foundation::LogCapture log;
    expectSameArg(Blob({1})->coerceTo('f'), F32(0), "blob to float");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Warning: Argument of type 'blob' can't provide a value of type 'float'"});
}

TEST(QRBArgCoercion, UnsupportedTargets) {
    struct Case {
        QRBArgPtr source;
        int32_t target;
        const char* reason;
    };
    const Case cases[] = {
        {F32(1), 'b', "Type coercion from type 'float' to type 'blob' not supported yet."},
        {I32(1), 'm', "Type coercion from type 'int32' to type 'midi' not supported yet."},
        {Str("1"), 't', "Type coercion from type 'string' to type 'timetag' not supported yet."},
    };
    for (const Case& c : cases) {
        try {
            c.source->coerceTo(c.target);
            ADD_FAILURE() << "no exception for " << c.reason;
        } catch (const foundation::Exception& e) {
            EXPECT_EQ(e.name(), foundation::kInvalidArgumentException);
            EXPECT_EQ(e.reason(), c.reason);
        }
    }
    try {
        I32(1)->coerceTo('x');
        ADD_FAILURE() << "no error for an unknown letter";
    } catch (const foundation::AssertionFailure& e) {
        EXPECT_EQ(e.reason(), "Unexpected liblo type");
    }
}

// ---- Values from property-list objects -------------------------------------------------------

TEST(QRBArgObjects, ArgWithObject) {
    using foundation::Array;
    using foundation::Dictionary;
    using foundation::Value;
    struct Case {
        const char* name;
        Value object;
        QRBArgPtr expected;  // null: no value
    };
    const Case cases[] = {
        {"null", Value(), Typed('N')},
        {"integer", Value(3), F32(3)},
        {"bool", Value(true), F32(1)},
        {"real", Value(0.5), F32(0.5f)},
        {"string", Value("x"), Str("x")},
        {"array", Value(Array{Value(1), Value("a")}), Str("[1,\"a\"]")},
        {"dictionary", Value(Dictionary{{"b", Value(Array{Value(true), Value()})}, {"a", Value("\xC3\xA9")}}),
         Str("{\"a\":\"\xC3\xA9\",\"b\":[true,null]}")},
        {"data", Value(foundation::Data{1}), nullptr},
        {"date", Value(foundation::Date()), nullptr},
        {"array holding data", Value(Array{Value(foundation::Data{1})}), nullptr},
        {"array holding NaN", Value(Array{Value(kNaN)}), nullptr},
        {"array holding text that is not UTF-8", Value(Array{Value("\xff")}), nullptr},
    };
    for (const Case& c : cases) {
        QRBArgPtr result = QRBArg::argWithObject(c.object);
        if (c.expected) {
            expectSameArg(result, c.expected, c.name);
        } else {
            EXPECT_EQ(result, nullptr) << c.name << ": " << describe(result);
        }
    }
}

// ---- MIDI clamps -----------------------------------------------------------------------------

TEST(QRBArgMidi, ClampHelpers) {
    struct Case {
        const char* name;
        int64_t got;
        int64_t expected;
    };
    const Case cases[] = {
        {"round inside", QRBClampRoundInteger(5, 0, 10), 5},
        {"round below", QRBClampRoundInteger(-3, 0, 10), 0},
        {"round above", QRBClampRoundInteger(20, 0, 10), 10},
        {"round crossed bounds end at hi", QRBClampRoundInteger(5, 10, 0), 0},
        {"round past int32", QRBClampRoundInteger(kI64Max, kI64Min, kI64Max), kI32Max},
        {"scaled half", QRBClampScaledInteger(0, 127, 0.5), 64},
        {"scaled one", QRBClampScaledInteger(0, 127, 1.0), 127},
        {"scaled above", QRBClampScaledInteger(0, 127, 2.0), 127},
        {"scaled below", QRBClampScaledInteger(0, 127, -1.0), 0},
        {"scaled offset", QRBClampScaledInteger(10, 20, 0.5), 15},
        {"scaled NaN", QRBClampScaledInteger(0, 127, kNaN), 0},
        {"scaled NaN clamps to lo", QRBClampScaledInteger(10, 20, kNaN), 10},
        {"scaled infinity", QRBClampScaledInteger(0, 127, kInf), 127},
        {"scaled minus infinity", QRBClampScaledInteger(0, 127, -kInf), 0},
        {"scaled full 64-bit range", QRBClampScaledInteger(kI64Min, kI64Max, 1.0), kI32Max},
        {"7-bit float half", QRBArgMidi7Bit(*F32(0.5f)), 64},
        {"7-bit float one", QRBArgMidi7Bit(*F32(1.0f)), 127},
        {"7-bit int above", QRBArgMidi7Bit(*I32(200)), 127},
        {"7-bit int below", QRBArgMidi7Bit(*I32(-5)), 0},
        {"7-bit True", QRBArgMidi7Bit(*Typed('T')), 1},
        {"7-bit text", QRBArgMidi7Bit(*Str("64")), 64},
        {"7-bit char", QRBArgMidi7Bit(*Chr(-3)), 0},
        {"7-bit int64 low bits", QRBArgMidi7Bit(*I64(4294967297)), 1},
        {"7-bit NaN", QRBArgMidi7Bit(*F64(kNaN)), 0},
        {"7-bit infinity", QRBArgMidi7Bit(*F32(std::numeric_limits<float>::infinity())), 127},
        {"channel float half", QRBArgMidiChannel(*F32(0.5f)), 8},
        {"channel int above", QRBArgMidiChannel(*I32(20)), 15},
        {"14-bit double one", QRBArgMidi14Bit(*F64(1.0)), 16383},
        {"14-bit double half", QRBArgMidi14Bit(*F64(0.5)), 8192},
        {"14-bit int above", QRBArgMidi14Bit(*I32(20000)), 16383},
        {"clamped int", QRBArgClampedInteger(*I32(-40), -32, 31), -32},
        {"clamped float", QRBArgClampedInteger(*F32(0.0f), -32, 31), -32},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

// ---- Archiving -------------------------------------------------------------------------------

namespace {

// Writes whatever keys a case needs under the archived class name of argument values, so that
// decoding builds a real QRBArg from them: older documents and damaged ones.
class HandWrittenArg : public foundation::Object {
public:
    explicit HandWrittenArg(std::function<void(foundation::KeyedArchiver&)> write) : write_(std::move(write)) {}
    std::string archivedClassName() const override { return "QRBArg"; }
    std::vector<std::string> archivedClassHierarchy() const override { return {"QRBArg", "NSObject"}; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override { write_(coder); }

private:
    std::function<void(foundation::KeyedArchiver&)> write_;
};

QRBArgPtr decodeHandWritten(std::function<void(foundation::KeyedArchiver&)> write) {
    auto object = std::make_shared<HandWrittenArg>(std::move(write));
    foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(object));
    return foundation::KeyedUnarchiver::unarchiveRoot<QRBArg>(data);
}

std::function<void(foundation::KeyedArchiver&)> keys(const char* typeKey, int32_t type, const char* bytesKey,
                                                     foundation::Data bytes) {
    return [=](foundation::KeyedArchiver& c) {
        c.encodeInt32(type, typeKey);
        c.encodeBytes(bytes.data(), bytes.size(), bytesKey);
    };
}

foundation::Data bytesOf(const QRBArgPtr& a) {
    return foundation::Data(a->libloValue(), a->libloValue() + a->managedBufferSize());
}

}  // namespace

TEST(QRBArgArchive, ValuesRoundTripThroughAFile) {
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    const std::vector<QRBArgPtr> values = {
        I32(-7),    I64(-4294967297), F32(0.1f),  F64(-2.5),  Str("text \xC3\xA9"),   Str(""),
        Sym("sym"), Chr(-3),          Blob({}),   Blob(big),  Midi(1, 0x90, 60, 127), Tag(0x83AA7E80, 5),
        Typed('T'), Typed('F'),       Typed('N'), Typed('I'),
        Typed('f'),  // a value whose type was set but that has no bytes yet
    };
    foundation::Array array;
    for (const auto& v : values) array.push_back(foundation::Value(v));

    testsupport::TempDir dir;
    const std::string path = dir.file("args.archive");
    foundation::KeyedArchiver::archiveRootObjectToFile(foundation::Value(array), path);
    foundation::Value decoded = foundation::KeyedUnarchiver::unarchiveObjectWithFile(path);

    ASSERT_TRUE(decoded.arrayValue());
    ASSERT_EQ(decoded.arrayValue()->size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        QRBArgPtr got = (*decoded.arrayValue())[i].object<QRBArg>();
        expectSameArg(got, values[i], "value " + std::to_string(i));
        if (got) {
            EXPECT_NE(got.get(), values[i].get());
        }
    }
}

TEST(QRBArgArchive, DecodesOlderKeysAndTakesTheSizeFromTheContents) {
    struct Case {
        const char* name;
        std::function<void(foundation::KeyedArchiver&)> write;
        QRBArgPtr expected;
    };
    const Case cases[] = {
        {"older keys", keys("QRBArgType", 'f', "QRBArgBytes", bytesOf(F32(0.75f))), F32(0.75f)},
        {"older string", keys("QRBArgType", 's', "QRBArgBytes", {'o', 'l', 'd', 0}), Str("old")},
        {"current keys win",
         [](foundation::KeyedArchiver& c) {
             c.encodeInt32('i', "QRBArgType");
             c.encodeInt32('S', "type");
             const uint8_t text[] = {'n', 'e', 'w', 0};
             c.encodeBytes(text, sizeof text, "bytes");
         },
         Sym("new")},
        {"string ends at its NUL", keys("type", 's', "bytes", {'a', 'b', 0, 'x', 'y'}), Str("ab")},
        {"blob ends at its count", keys("type", 'b', "bytes", {2, 0, 0, 0, 7, 8, 9, 9}), Blob({7, 8})},
        {"int32 takes four bytes", keys("type", 'i', "bytes", {5, 0, 0, 0, 1, 1}), I32(5)},
        {"True takes none", keys("type", 'T', "bytes", {1, 2}), Typed('T')},
    };
    for (const Case& c : cases) {
        QRBArgPtr got;
        EXPECT_NO_THROW(got = decodeHandWritten(c.write)) << c.name;
        if (got) expectSameArg(got, c.expected, c.name);
    }
}

TEST(QRBArgArchive, DamagedArchivesAreErrors) {
    struct Case {
        const char* name;
        std::function<void(foundation::KeyedArchiver&)> write;
    };
    const Case cases[] = {
        {"type is a string",
         [](foundation::KeyedArchiver& c) {
             c.encodeString("i", "type");
             c.encodeBytes(bytesOf(I32(1)).data(), 4, "bytes");
         }},
        {"bytes is a string",
         [](foundation::KeyedArchiver& c) {
             c.encodeInt32('i', "type");
             c.encodeString("1234", "bytes");
         }},
        {"bytes is a number",
         [](foundation::KeyedArchiver& c) {
             c.encodeInt32('i', "type");
             c.encodeInt32(1, "bytes");
         }},
        {"type is not an OSC letter", keys("type", 'x', "bytes", {1, 0, 0, 0})},
        {"type out of range", [](foundation::KeyedArchiver& c) { c.encodeInt64(1LL << 40, "type"); }},
        {"no keys at all", [](foundation::KeyedArchiver&) {}},
        {"int32 with three bytes", keys("type", 'i', "bytes", {1, 2, 3})},
        {"double with four bytes", keys("type", 'd', "bytes", {1, 2, 3, 4})},
        {"timetag with seven bytes", keys("QRBArgType", 't', "QRBArgBytes", {1, 2, 3, 4, 5, 6, 7})},
        {"string without NUL", keys("type", 's', "bytes", {'a', 'b', 'c'})},
        {"symbol without NUL", keys("QRBArgType", 'S', "QRBArgBytes", {'a'})},
        {"blob count past the data", keys("type", 'b', "bytes", {10, 0, 0, 0, 1, 2, 3, 4})},
        {"blob count near 2^32", keys("type", 'b', "bytes", {0xFF, 0xFF, 0xFF, 0xFF, 1})},
        {"blob without a whole count", keys("type", 'b', "bytes", {1, 0})},
    };
    for (const Case& c : cases) {
        EXPECT_THROW(decodeHandWritten(c.write), foundation::ArchiveError) << c.name;
    }
}
