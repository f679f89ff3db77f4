#include "foundation/KeptObject.h"
#include "foundation/KeyedArchiver.h"
#include "support/TestRegistration.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

using namespace foundation;

namespace {

// A small archived class: a named node with numbers, bytes, children and a conditional parent.
class TestNode : public Object {
    FND_ARCHIVED_CLASS("TestNode", Object)

public:
    std::string name;
    int32_t count = 0;
    int64_t big = 0;
    double ratio = 0;
    bool flag = false;
    Data bytes;
    std::vector<std::shared_ptr<TestNode>> children;
    std::weak_ptr<TestNode> parent;
    Value extra;

    void encodeWithCoder(KeyedArchiver& c) const override {
        c.encodeString(name, "name");
        c.encodeInt32(count, "count");
        c.encodeInt64(big, "big");
        c.encodeDouble(ratio, "ratio");
        c.encodeBool(flag, "flag");
        c.encodeBytes(bytes.data(), bytes.size(), "bytes");
        Array kids;
        for (const auto& k : children) kids.push_back(Value(k));
        c.encodeObject(Value(kids), "children");
        c.encodeConditionalObject(parent.lock(), "parent");
        c.encodeObject(extra, "extra");
    }
    void initWithCoder(KeyedUnarchiver& c) override {
        name = c.decodeString("name").value_or("");
        count = c.decodeInt32("count");
        big = c.decodeInt64("big");
        ratio = c.decodeDouble("ratio");
        flag = c.decodeBool("flag");
        bytes = c.decodeBytes("bytes");
        Value kids = c.decodeObject("children");
        if (auto a = kids.arrayValue())
            for (const auto& k : *a) {
                auto node = k.object<TestNode>();
                if (!node) throw ArchiveError("child is not a node");
                children.push_back(node);
            }
        parent = c.decodeObjectOfClass<TestNode>("parent");
        extra = c.decodeObject("extra");
    }
};
TEST_REGISTER_ARCHIVED_CLASS(TestNode)

// Archived but never registered.
class Probe : public Object {
    FND_ARCHIVED_CLASS("Probe", Object)

public:
    void encodeWithCoder(KeyedArchiver& c) const override { c.encodeInt32(0, "zero"); }
};

// A class that stands in for a renamed one.
class RenamedNode : public TestNode {
    FND_ARCHIVED_CLASS("RenamedNode", TestNode)
};
TEST_REGISTER_ARCHIVED_CLASS(RenamedNode)

std::shared_ptr<TestNode> node(const std::string& name) {
    auto n = std::make_shared<TestNode>();
    n->name = name;
    return n;
}

}  // namespace

TEST(KeyedArchiver, RoundTripThroughAFileKeepsEveryKind) {
    testsupport::TempDir dir;
    auto root = node("root");
    root->count = -7;
    root->big = 1LL << 40;
    root->ratio = 0.25;
    root->flag = true;
    root->bytes = {0, 1, 2, 255};
    root->extra = Value(Dictionary{{"list", Array{1, 2.5, "three", Date::withTimeIntervalSince1970(86400)}},
                                   {"$dollar", "kept"},
                                   {"nothing", Value()}});
    auto child = node("child");
    child->parent = root;
    root->children = {child, child};  // the same object twice

    std::string path = dir.file("graph.archive");
    KeyedArchiver::archiveRootObjectToFile(Value(root), path);
    auto decoded = KeyedUnarchiver::unarchiveObjectWithFile(path).object<TestNode>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name, "root");
    EXPECT_EQ(decoded->count, -7);
    EXPECT_EQ(decoded->big, 1LL << 40);
    EXPECT_EQ(decoded->ratio, 0.25);
    EXPECT_TRUE(decoded->flag);
    EXPECT_EQ(decoded->bytes, (Data{0, 1, 2, 255}));
    EXPECT_EQ(decoded->extra, root->extra);
    ASSERT_EQ(decoded->children.size(), 2u);
    EXPECT_EQ(decoded->children[0], decoded->children[1]) << "an object archived twice decodes to one instance";
    EXPECT_EQ(decoded->children[0]->parent.lock(), decoded) << "a back-reference resolves to the object being decoded";
}

TEST(KeyedArchiver, ConditionalObjectIsKeptOnlyWhenEncodedElsewhere) {
    auto lonely = node("lonely");
    lonely->parent = node("not archived");
    auto decoded = KeyedUnarchiver::unarchiveRoot<TestNode>(KeyedArchiver::archivedDataWithRootObject(Value(lonely)));
    EXPECT_EQ(decoded->parent.lock(), nullptr);
}

TEST(KeyedArchiver, PresenceTestsAndAbsentKeys) {
    // Absent keys decode as zero values; presence is told apart by containsValueForKey.
    KeyedArchiver a;
    a.encodeObject(Value(std::make_shared<Probe>()), "root");
    a.encodeInt32(5, "topLevel");
    KeyedUnarchiver u(a.finish());
    EXPECT_TRUE(u.containsValueForKey("topLevel"));
    EXPECT_FALSE(u.containsValueForKey("missing"));
    EXPECT_EQ(u.decodeInt32("topLevel"), 5);
    EXPECT_EQ(u.decodeInt32("missing"), 0);
    EXPECT_FALSE(u.decodeString("missing").has_value());
    EXPECT_TRUE(u.decodeBytes("missing").empty());
    EXPECT_EQ(u.decodeObject("root").objectValue()->archivedClassName(), "Probe") << "kept although not registered";
}

TEST(KeyedArchiver, FileIsAStandardKeyedArchiveForAnIndependentReader) {
    testsupport::TempDir dir;
    auto root = node("root");
    root->count = 3;
    root->children = {node("kid")};
    std::string path = dir.file("check.archive");
    KeyedArchiver::archiveRootObjectToFile(Value(root), path);

    auto result = testsupport::runPython(R"PY(
import plistlib, sys
with open(sys.argv[1], 'rb') as f:
    head = f.read(8)
    f.seek(0)
    p = plistlib.load(f)
assert head == b'bplist00', head
assert p['$archiver'] == 'NSKeyedArchiver'
assert p['$version'] == 100000
objs = p['$objects']
assert objs[0] == '$null'
root = objs[p['$top']['root'].data]
cls = objs[root['$class'].data]
assert cls['$classname'] == 'TestNode', cls
assert cls['$classes'] == ['TestNode', 'NSObject'], cls
assert objs[root['name'].data] == 'root'
assert root['count'] == 3
kids = objs[root['children'].data]
assert objs[kids['$class'].data]['$classname'] == 'NSArray'
kid = objs[kids['NS.objects'][0].data]
assert objs[kid['name'].data] == 'kid'
print('ok')
)PY",
                                         "'" + path + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

TEST(KeyedArchiver, DecodesAnArchiveWrittenByAnotherProgram) {
    testsupport::TempDir dir;
    std::string path = dir.file("foreign.archive");
    // Laid out as documents of earlier versions are: mutable containers, NS.string,
    // shared class records and keys in another order.
    auto result = testsupport::runPython(R"PY(
import plistlib, sys
U = plistlib.UID
objs = ['$null',
  {'$class': U(2), 'name': U(3), 'count': 12, 'ratio': 1.5, 'flag': True, 'bytes': b'\x01\x02',
   'children': U(4), 'extra': U(6), 'big': -5},
  {'$classname': 'OldNode', '$classes': ['OldNode', 'NSObject']},
  'from python',
  {'$class': U(5), 'NS.objects': [U(11)]},
  {'$classname': 'NSMutableArray', '$classes': ['NSMutableArray', 'NSArray', 'NSObject']},
  {'$class': U(8), 'NS.keys': [U(7)], 'NS.objects': [U(9)]},
  'when',
  {'$classname': 'NSMutableDictionary', '$classes': ['NSMutableDictionary', 'NSDictionary', 'NSObject']},
  {'$class': U(10), 'NS.time': 0.5},
  {'$classname': 'NSDate', '$classes': ['NSDate', 'NSObject']},
  {'$class': U(2), 'name': U(3), 'count': 13},
]
top = {'$archiver': 'NSKeyedArchiver', '$version': 100000, '$top': {'root': U(1)}, '$objects': objs}
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(top, f, fmt=plistlib.FMT_BINARY)
)PY",
                                         "'" + path + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    ClassRegistry::shared().setSubstitution("OldNode", "TestNode");
    auto decoded = KeyedUnarchiver::unarchiveObjectWithFile(path).object<TestNode>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->name, "from python");
    EXPECT_EQ(decoded->count, 12);
    EXPECT_EQ(decoded->big, -5);
    EXPECT_EQ(decoded->ratio, 1.5);
    EXPECT_TRUE(decoded->flag);
    EXPECT_EQ(decoded->bytes, (Data{1, 2}));
    ASSERT_EQ(decoded->children.size(), 1u);
    ASSERT_TRUE(decoded->children[0]);
    EXPECT_EQ(decoded->children[0]->count, 13);
    EXPECT_EQ(decoded->extra, Value(Dictionary{{"when", Date::withTimeIntervalSinceReferenceDate(0.5)}}));
}

TEST(KeyedArchiver, UnknownClassFallsBackOnItsAncestors) {
    // An archive naming a subclass we do not know decodes as the first ancestor we do.
    auto n = std::make_shared<RenamedNode>();
    n->name = "x";
    Data data = KeyedArchiver::archivedDataWithRootObject(Value(n));
    auto decoded = KeyedUnarchiver::unarchiveRoot<TestNode>(data);
    EXPECT_EQ(decoded->archivedClassName(), "RenamedNode");
    EXPECT_EQ(decoded->name, "x");
}

namespace {
// Writes an archive through python so that damaged structures can be made on purpose.
Data pythonArchive(const std::string& objectsAndTop) {
    testsupport::TempDir dir;
    std::string path = dir.file("a");
    auto r = testsupport::runPython("import plistlib, sys\nU = plistlib.UID\n" + objectsAndTop +
                                        "\nwith open(sys.argv[1], 'wb') as f:\n"
                                        "    plistlib.dump(top, f, fmt=plistlib.FMT_BINARY)\n",
                                    "'" + path + "'");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readFile(path);
}
}  // namespace

TEST(KeyedArchiver, DamagedArchivesAreErrors) {
    const std::string node = "{'$classname': 'TestNode', '$classes': ['TestNode', 'NSObject']}";
    struct Case {
        const char* what;
        std::string python;
    } cases[] = {
        {"no $objects", "top = {'$top': {'root': U(1)}}"},
        {"$objects of the wrong type", "top = {'$top': {'root': U(1)}, '$objects': 5}"},
        {"no root", "top = {'$top': {}, '$objects': ['$null']}"},
        {"reference out of range", "top = {'$top': {'root': U(9)}, '$objects': ['$null']}"},
        {"record without $class", "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'a': 1}]}"},
        {"class reference to a string", "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(0)}]}"},
        {"string where an integer is expected",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'count': 'x'}, " + node + "]}"},
        {"integer out of 32-bit range",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'count': 1 << 40}, " + node + "]}"},
        {"real out of 32-bit range",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'count': 1e300}, " + node + "]}"},
        {"NaN where an integer is expected",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'count': float('nan')}, " + node +
             "]}"},
        {"number where bytes are expected",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'bytes': 3}, " + node + "]}"},
        {"array listing itself",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'NS.objects': [U(1)]}, "
         "{'$classname': 'NSArray', '$classes': ['NSArray']}]}"},
        {"dictionary with a number as key",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'NS.keys': [U(3)], 'NS.objects': "
         "[U(3)]}, "
         "{'$classname': 'NSDictionary', '$classes': ['NSDictionary']}, 7]}"},
        {"dictionary with fewer values than keys",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'NS.keys': [U(3)], 'NS.objects': []}, "
         "{'$classname': 'NSDictionary', '$classes': ['NSDictionary']}, 'k']}"},
        {"child of the wrong class",
         "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'children': U(3)}, " + node +
             ", {'$class': U(4), 'NS.objects': [U(5)]}, {'$classname': 'NSArray', '$classes': ['NSArray']}, 'str']}"},
        {"arrays nested past the limit",
         "objs = ['$null', {'$classname': 'NSArray', '$classes': ['NSArray']}]\n"
         "for i in range(400): objs.append({'$class': U(1), 'NS.objects': [U(len(objs) + 1)]})\n"
         "objs.append('leaf')\n"
         "top = {'$top': {'root': U(2)}, '$objects': objs}"},
    };
    for (const auto& c : cases) {
        Data data = pythonArchive(c.python);
        EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(data), ArchiveError) << c.what;
    }
}

TEST(KeyedArchiver, TruncatedOrCorruptedBytesNeverCrash) {
    auto root = node("root");
    root->children = {node("a"), node("b")};
    root->extra = Value(Array{1, "two", Data{3}});
    Data good = KeyedArchiver::archivedDataWithRootObject(Value(root));
    for (size_t len = 0; len < good.size(); ++len) {
        Data cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
        EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(cut), ArchiveError) << "length " << len;
    }
    // Flipped bytes may still parse; they must only ever succeed or report an error.
    for (size_t i = 8; i < good.size(); ++i) {
        Data bad = good;
        bad[i] ^= 0xA5;
        try {
            KeyedUnarchiver::unarchiveObjectWithData(bad);
        } catch (const ArchiveError&) {}
    }
    EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithFile("/nonexistent/quorbital.archive"), ArchiveError);
}

TEST(KeyedArchiver, StringsWithANulInsideDoNotEndTheProgram) {
    // libplist's copying string reader aborts the process on such a string; a damaged or hostile
    // file must not be able to end the program.
    Data data = pythonArchive(
        "top = {'$archiver': 'NSKeyed\\x00Archiver', '$top': {'root': U(1)}, '$objects': ['$null', 'a\\x00b']}");
    EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(data), ArchiveError) << "not our archiver's name";
    data = pythonArchive("top = {'$top': {'root': U(1)}, '$objects': ['$null', 'a\\x00b']}");
    EXPECT_EQ(KeyedUnarchiver::unarchiveObjectWithData(data), Value("a")) << "read up to the NUL";
    // Every key of an object of a class this program does not have is read, such a key too.
    data = pythonArchive(
        "top = {'$top': {'root': U(1)}, '$objects': ['$null', {'$class': U(2), 'a\\x00b': 1, 'c': 2}, "
        "{'$classname': 'Unknown', '$classes': ['Unknown', 'NSObject']}]}");
    auto kept = KeyedUnarchiver::unarchiveObjectWithData(data).object<KeptObject>();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->record().valueForKey("a"), Value(1));
    EXPECT_EQ(kept->record().valueForKey("c"), Value(2));
}

TEST(KeyedArchiver, ObjectsOfUnknownClassesAreWrittenBackAsTheyWere) {
    // A node holding objects of classes this program does not have: inline numbers, booleans and
    // bytes, strings, nulls, containers, an escaped key, a nested unknown object, a node that the
    // root also lists, references back to the objects that hold them, and a member and its
    // collection that refer to each other (held the other way round, they would never be freed).
    testsupport::TempDir dir;
    const std::string written = dir.file("written.archive");
    const std::string saved = dir.file("saved.archive");
    const std::string archives =
        std::string("import sys\nsys.path.insert(0, '") + QUORBITAL_TEST_DATA + "')\nimport archives\n";
    auto result = testsupport::runPython(archives + R"PY(
a = archives.Archive()
node = ['TestNode', 'NSObject']
root, _ = a.new(node)
gizmo, _ = a.new(['Gizmo', 'GizmoBase', 'NSObject'])
widget, _ = a.new(['Widget', 'NSObject'])
shared = a.obj(node, name='shared', count=0, big=0, ratio=0.0, flag=False, bytes=b'', children=a.array([]),
               parent=root, extra=None)
a.fill(widget, holder=gizmo, label='inner', **{'$$dollar': 'escaped'})
# A member met before the collection that lists it: its reference to the collection is the weak one.
member, _ = a.new(['Member', 'NSObject'])
collection = a.obj(['Collection', 'NSObject'], members=a.array([member]))
a.fill(member, collection=collection)
a.fill(gizmo, count=7, negative=-3, large=1 << 40, ratio=0.5, flag=True, blob=b'\x00\x01', label='hello',
       nothing=None, child=widget, sibling=shared, owner=root, member=member, collections=a.array([collection]),
       options=a.dictionary({'mode': 'legato', 'list': a.array([1, 'two', 3.5])}))
a.fill(root, name='root', count=1, big=2, ratio=0.25, flag=True, bytes=b'\x07', children=a.array([shared]),
       parent=None, extra=gizmo)
a.save(sys.argv[1], {'root': root})
)PY",
                                         "'" + written + "'");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    {
        auto decoded = KeyedUnarchiver::unarchiveObjectWithFile(written).object<TestNode>();
        ASSERT_TRUE(decoded);
        ASSERT_TRUE(decoded->extra.objectValue());
        EXPECT_EQ(decoded->extra.objectValue()->archivedClassName(), "Gizmo");
        writeFileAtomically(saved, KeyedArchiver::archivedDataWithRootObject(Value(decoded)));
        decoded->children.clear();
    }

    result = testsupport::runPython(archives + R"PY(
a = archives.canonical(sys.argv[1])
b = archives.canonical(sys.argv[2])
difference = archives.first_difference(a, b)
assert difference is None, difference
print('same')
)PY",
                                    "'" + written + "' '" + saved + "'");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

// An object whose own collection holds it would keep itself alive for ever, whether the decode
// then succeeds or fails (LeakSanitizer reports it at exit): it is refused, however deep in its
// collections it sits.
TEST(KeyedArchiver, AnObjectInsideItsOwnCollectionIsRefused) {
    struct Case {
        const char* name;
        std::function<Value(const std::shared_ptr<TestNode>&)> extra;
    } cases[] = {
        {"array", [](const auto& n) { return Value(Array{Value(n)}); }},
        {"dictionary",
         [](const auto& n) {
             return Value(Dictionary{{"me", Value(n)}});
         }},
        {"array in dictionary",
         [](const auto& n) {
             return Value(Dictionary{{"list", Value(Array{Value(1), Value(n)})}});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto node = std::make_shared<TestNode>();
        node->extra = c.extra(node);
        Data data = KeyedArchiver::archivedDataWithRootObject(Value(node));
        node->extra = Value();
        EXPECT_THROW(KeyedUnarchiver::unarchiveObjectWithData(data), ArchiveError);
    }
    // Another object in the collection is fine.
    auto node = std::make_shared<TestNode>();
    auto other = std::make_shared<TestNode>();
    other->parent = node;
    node->extra = Value(Array{Value(other)});
    auto decoded = KeyedUnarchiver::unarchiveRoot<TestNode>(KeyedArchiver::archivedDataWithRootObject(Value(node)));
    ASSERT_TRUE(decoded->extra.arrayValue());
    EXPECT_EQ(decoded->extra.arrayValue()->at(0).object<TestNode>()->parent.lock(), decoded);
}
