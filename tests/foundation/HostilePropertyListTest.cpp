// Property-list data and files made to hurt the reader: deep nesting, references that expand
// into a bomb, files that are not files. Each is refused with an error, promptly and within
// memory; the writer's output is read back by an independent reader.
#include "foundation/KeyedArchiver.h"
#include "foundation/Value.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace foundation;

namespace {

void appendBE(Data& out, uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A binary property list of `count` arrays, array i holding `fanOut` references to array i + 1,
// the last one empty. References and offsets are four bytes wide.
Data chainOfArrays(uint64_t count, unsigned fanOut) {
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < count; ++i) {
        offsets.push_back(out.size());
        const unsigned n = i + 1 < count ? fanOut : 0;
        out.push_back(static_cast<uint8_t>(0xA0 | n));
        for (unsigned k = 0; k < n; ++k) appendBE(out, i + 1, 4);
    }
    const uint64_t table = out.size();
    for (uint64_t o : offsets) appendBE(out, o, 4);
    out.insert(out.end(), 6, 0);
    out.push_back(4);
    out.push_back(4);
    appendBE(out, count, 8);
    appendBE(out, 0, 8);
    appendBE(out, table, 8);
    return out;
}

std::string reasonOf(const Data& data) {
    try {
        KeyedUnarchiver u(data);
    } catch (const ArchiveError& e) {
        return e.reason();
    }
    return "";
}

}  // namespace

TEST(HostilePropertyList, DeepNestingAndReferenceBombsAreRefusedBeforeParsing) {
    struct Case {
        const char* name;
        Data data;
        const char* reason;
    } cases[] = {
        // 100,000 levels in under 1 MB: a recursive reader overflows the stack.
        {"nested", chainOfArrays(100000, 1), "nested more than"},
        // Each array refers to the next twice: 2^60 nodes once every reference is copied.
        {"bomb", chainOfArrays(60, 2), "reference bomb"},
        {"array refers to itself", chainOfArrays(1, 0), ""},
    };
    // The last case is made hostile by hand: its one array refers to itself.
    cases[2].data = Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xA1, 0, 8, 0, 0, 0, 0, 0, 0, 1, 1};
    appendBE(cases[2].data, 1, 8);
    appendBE(cases[2].data, 0, 8);
    appendBE(cases[2].data, 10, 8);
    cases[2].reason = "nested more than";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(reasonOf(c.data).find(c.reason), std::string::npos) << reasonOf(c.data);
        EXPECT_THROW(propertyListFromData(c.data), PropertyListError);
    }
    // Nesting and sharing of ordinary size still parse.
    EXPECT_NO_THROW(propertyListFromData(chainOfArrays(100, 1)));
    EXPECT_NO_THROW(propertyListFromData(chainOfArrays(8, 2)));
}

TEST(HostilePropertyList, DeeplyNestedXMLIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><!-- <array> --><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) xml += "<array>";
    for (int i = 0; i < 100000; ++i) xml += "</array>";
    xml += "</plist>";
    EXPECT_THROW(propertyListFromData(Data(xml.begin(), xml.end())), PropertyListError);
    std::string shallow =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><array><array/>"
        "<string>x</string></array></dict></plist>";
    EXPECT_NO_THROW(propertyListFromData(Data(shallow.begin(), shallow.end())));
}

TEST(HostilePropertyList, TheBinaryWriterIsReadByAnotherReader) {
    testsupport::TempDir dir;
    const std::string path = dir.file("written.plist");
    Array many;
    for (int i = 0; i < 300; ++i) many.push_back(Value(std::string("item ") + std::to_string(i % 7)));
    Dictionary d{{"ascii", Value(std::string("plain"))},
                 {"unicode", Value(std::string("caf\xc3\xa9 \xf0\x9f\x8e\xb9"))},
                 {"negative", Value(int64_t{-5})},
                 {"large", Value(int64_t{1} << 40)},
                 {"real", Value(0.25)},
                 {"flag", Value(true)},
                 {"bytes", Value(Data{0, 1, 2, 255})},
                 {"many", Value(std::move(many))},
                 {"nested", Value(Dictionary{{"empty", Value(Array{})}})}};
    writeFileAtomically(path, binaryPropertyListData(Value(d)));
    auto result = testsupport::runPython(R"PY(
import plistlib, sys
p = plistlib.load(open(sys.argv[1], 'rb'))
many = ['item %d' % (i % 7) for i in range(300)]
expected = {'ascii': 'plain', 'unicode': 'caf\u00e9 \U0001F3B9', 'negative': -5, 'large': 1 << 40, 'real': 0.25,
            'flag': True, 'bytes': b'\x00\x01\x02\xff', 'many': many, 'nested': {'empty': []}}
assert p == expected, p
print('same')
)PY",
                                         "'" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(propertyListFromData(readFile(path)), Value(d));
}

TEST(HostilePropertyList, OnlyRegularFilesOfBoundedSizeAreRead) {
    testsupport::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.file("huge");
    {
        // Sparse: no disk is used.
        const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxReadFileSize + 1)), 0);
        ::close(fd);
    }
    struct Case {
        std::string path;
        const char* reason;
    } cases[] = {
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir.file(""), "not a regular file"},
        {huge, "larger than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            readFile(c.path);
            ADD_FAILURE() << "read";
        } catch (const PropertyListError& e) {
            EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.reason();
        }
        EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithFile(c.path), ArchiveError);
    }
}
