// Our reader of the binary property-list form: it reads what libplist reads the same way, and
// refuses damaged data (with "not a keyed archive" from the unarchiver, as libplist's refusal
// gave) without reading outside it.
#include "foundation/BinaryPlistReader.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Value.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace foundation;

namespace {

// A binary property list of `objects` (each its marker and bytes, references one byte wide),
// offsets two bytes wide, object 0 at the top.
Data binaryPlist(const std::vector<Data>& objects) {
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<size_t> offsets;
    for (const Data& o : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), o.begin(), o.end());
    }
    const size_t table = out.size();
    for (size_t o : offsets) {
        out.push_back(static_cast<uint8_t>(o >> 8));
        out.push_back(static_cast<uint8_t>(o));
    }
    out.insert(out.end(), 6, 0);
    out.push_back(2);  // offset width
    out.push_back(1);  // reference width
    for (uint64_t v : {uint64_t{objects.size()}, uint64_t{0}, uint64_t{table}})
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

Value toValue(const PlistTree& tree, PlistTree::Ref r) {
    using Kind = PlistTree::Kind;
    switch (tree.kind(r)) {
    case Kind::Array: {
        Array a;
        for (size_t i = 0; i < tree.count(r); ++i) a.push_back(toValue(tree, tree.item(r, i)));
        return Value(a);
    }
    case Kind::Dictionary: {
        Dictionary d;
        for (size_t i = 0; i < tree.count(r); ++i)
            d.emplace(std::string(tree.string(tree.key(r, i))), toValue(tree, tree.value(r, i)));
        return Value(d);
    }
    case Kind::UID: return Value(Dictionary{{"UID", Value(static_cast<int64_t>(tree.uidValue(r)))}});
    default: return *tree.scalarValue(r);
    }
}

std::optional<Value> read(const Data& data) {
    auto tree = PlistTree::fromBinary(data.data(), data.size());
    if (!tree) return std::nullopt;
    return toValue(*tree, tree->root());
}

}  // namespace

TEST(BinaryPlistReader, DamagedObjectsAreRefused) {
    const Data key{0x51, 'k'};
    struct Case {
        const char* name;
        std::vector<Data> objects;
    } cases[] = {
        {"null", {{0x00}}},
        {"fill", {{0x0F}}},
        {"unknown marker", {{0x70}}},
        {"integer of 32 bytes", {{0x15, 0, 0}}},
        {"integer past the table", {{0x13, 0, 0, 0}}},
        {"real of one byte", {{0x20, 0}}},
        {"date of four bytes", {{0x32, 0, 0, 0, 0}}},
        {"string past the table", {{0x5A, 'a', 'b'}}},
        {"UTF-16 string past the table", {{0x62, 0, 'a', 0}}},
        {"count that is not an integer", {{0x5F, 0x21, 0, 0, 0, 0}}},
        {"count wider than eight bytes", {{0x5F, 0x14, 0, 0}}},
        {"UID beyond 32 bits", {{0x84, 1, 0, 0, 0, 0}}},
        {"UID of nine bytes", {{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 1}}},
        {"reference to an object that does not exist", {{0xA1, 5}}},
        {"dictionary with a number as key", {{0xD1, 1, 1}, {0x10, 1}}},
        {"dictionary with an array as key", {{0xD1, 1, 1}, {0xA0}}},
        {"damaged object inside an array", {{0xA2, 1, 2}, key, {0x00}}},
        {"container past the table", {{0xAF, 0x10, 200, 1}, key}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Data data = binaryPlist(c.objects);
        EXPECT_FALSE(read(data));
        // Cut anywhere, it is refused too.
        for (size_t len = 0; len < data.size(); ++len) EXPECT_FALSE(read(Data(data.begin(), data.begin() + len)));
    }
    // Tables and trailers that lie: offset of an object inside the table, object count beyond
    // the table, top object beyond the count, widths of zero and nine.
    Data good = binaryPlist({{0x09}});
    ASSERT_TRUE(read(good));
    const size_t trailer = good.size() - 32;
    struct Patch {
        const char* name;
        size_t at;
        uint8_t value;
    } patches[] = {
        {"offset inside the table", trailer - 1, static_cast<uint8_t>(trailer - 2)},
        {"more objects than the table holds", trailer + 15, 2},
        {"top beyond the objects", trailer + 23, 1},
        {"offsets of no width", trailer + 6, 0},
        {"references nine bytes wide", trailer + 7, 9},
        {"table inside the trailer", trailer + 31, static_cast<uint8_t>(trailer + 1)},
    };
    for (const auto& p : patches) {
        SCOPED_TRACE(p.name);
        Data bad = good;
        bad[p.at] = p.value;
        EXPECT_FALSE(read(bad));
    }
    // In an archive the refusal reads as libplist's did.
    try {
        KeyedUnarchiver u(binaryPlist({{0xD1, 1, 2}, key, {0x00}}));
        ADD_FAILURE() << "read";
    } catch (const ArchiveError& e) {
        EXPECT_EQ(e.reason(), "not a keyed archive");
    }
}

TEST(BinaryPlistReader, OddButReadableObjects) {
    struct Case {
        const char* name;
        std::vector<Data> objects;
        Value expected;
    } cases[] = {
        {"NUL inside an ASCII string ends it", {{0x53, 'a', 0, 'b'}}, Value("a")},
        {"UTF-16 with a surrogate pair", {{0x63, 0x00, 'a', 0xD8, 0x3C, 0xDF, 0xB9}}, Value("a\xF0\x9F\x8E\xB9")},
        {"lone surrogates become U+FFFD",
         {{0x63, 0xDC, 0x00, 0xD8, 0x00, 0x00, 'b'}},
         Value("\xEF\xBF\xBD\xEF\xBF\xBD"
               "b")},
        {"empty UTF-16 string", {{0x60}}, Value("")},
        {"sixteen-byte integer keeps its low eight bytes",
         {{0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 7}},
         Value(7)},
        {"eight-byte integer is two's complement", {{0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}}, Value(-2)},
        {"four-byte real", {{0x22, 0x3E, 0x80, 0, 0}}, Value(0.25)},
        {"count after the marker", {{0x5F, 0x10, 3, 'a', 'b', 'c'}}, Value("abc")},
        {"set read as an array", {{0xC2, 1, 1}, {0x09}}, Value(Array{true, true})},
        {"damaged object that nothing refers to", {{0x08}, {0x00}}, Value(false)},
        {"UID", {{0x81, 1, 0}}, Value(Dictionary{{"UID", Value(256)}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto value = read(binaryPlist(c.objects));
        ASSERT_TRUE(value);
        EXPECT_EQ(*value, c.expected);
    }
}

TEST(BinaryPlistReader, ReadsWhatLibplistReads) {
    // Written by another writer, with every kind of object: the tree gives what libplist gives.
    testsupport::TempDir dir;
    const std::string path = dir.file("other.plist");
    auto result = testsupport::runPython(R"PY(
import plistlib, sys, datetime
value = {'ascii': 'plain', 'unicode': 'caf\u00e9 \U0001F3B9 \u4e2d', 'empty': '', 'small': 5, 'negative': -5,
         'wide': 1 << 40, 'largest': (1 << 63) - 1, 'real': 0.1, 'flag': True, 'off': False,
         'bytes': b'\x00\x01\x02\xff' * 10, 'date': datetime.datetime(2020, 5, 17, 12, 30, 15),
         'list': ['x' * 20, [1, 2, [3]], {}], 'nested': {'deeper': {'deepest': [0.5] * 20}},
         'many': list(range(300))}
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
)PY",
                                         "'" + path + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const Data data = readFile(path);
    const auto value = read(data);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, propertyListFromData(data));
}
