#include "foundation/KeyedArchiver.h"

#include "foundation/BinaryPlistWriter.h"
#include "foundation/Format.h"
#include "foundation/KeptObject.h"
#include "foundation/PlistNode.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <unordered_set>

namespace foundation {

namespace {

constexpr const char* kNull = "$null";
constexpr const char* kClassKey = "$class";

// Keys that begin with '$' are reserved for the archive's own structure; an object's key that
// begins with one gets a second in front, which readers take off again.
std::string escapedKey(const std::string& key) { return (!key.empty() && key[0] == '$') ? "$" + key : key; }

bool isArrayClass(const std::string& n) {
    return n == "NSArray" || n == "NSMutableArray" || n == "NSSet" || n == "NSMutableSet" || n == "NSOrderedSet" ||
           n == "NSMutableOrderedSet";
}
bool isDictionaryClass(const std::string& n) { return n == "NSDictionary" || n == "NSMutableDictionary"; }

}  // namespace

// ---- registry ----

ClassRegistry& ClassRegistry::shared() {
    static ClassRegistry registry;
    return registry;
}

void ClassRegistry::registerClass(const std::string& name, Factory factory) { factories_[name] = std::move(factory); }

void ClassRegistry::setSubstitution(const std::string& archivedName, const std::string& currentName) {
    substitutions_[archivedName] = currentName;
}

const ClassRegistry::Factory* ClassRegistry::factoryFor(const std::string& name) const {
    auto s = substitutions_.find(name);
    const std::string& actual = s == substitutions_.end() ? name : s->second;
    auto f = factories_.find(actual);
    return f == factories_.end() ? nullptr : &f->second;
}

// ---- archiver ----

struct KeyedArchiver::Impl {
    using Ref = BinaryPlistBuilder::Ref;

    BinaryPlistBuilder plist;
    Ref objects = plist.array();
    Ref top = plist.dictionary();
    Ref current = top;  // the dictionary that receives keys: $top, or the object being encoded
    bool finished = false;

    std::unordered_map<const Object*, uint64_t> objectUIDs;
    std::vector<ObjectPtr> keepAlive;  // so that no address is reused while the archive is made
    std::unordered_map<std::string, uint64_t> stringUIDs;
    std::unordered_map<std::string, uint64_t> classUIDs;

    struct Conditional {
        Ref dict;
        std::string key;
        ObjectPtr object;
    };
    std::vector<Conditional> conditionals;

    Impl() { plist.append(objects, plist.string(kNull)); }

    uint64_t append(Ref node) {
        const uint64_t uid = plist.arraySize(objects);
        plist.append(objects, node);
        return uid;
    }

    // Strings were stored up to their first NUL, as the C strings libplist takes; archives keep
    // that meaning.
    static std::string_view cString(const std::string& s) { return std::string_view(s.c_str()); }

    uint64_t classUID(std::initializer_list<const char*> hierarchy) {
        auto found = classUIDs.find(*hierarchy.begin());
        if (found != classUIDs.end()) return found->second;
        return addClass(std::vector<std::string>(hierarchy.begin(), hierarchy.end()));
    }

    uint64_t classUID(const std::vector<std::string>& hierarchy) {
        auto found = classUIDs.find(hierarchy.front());
        if (found != classUIDs.end()) return found->second;
        return addClass(hierarchy);
    }

    uint64_t addClass(const std::vector<std::string>& hierarchy) {
        const Ref rec = plist.dictionary();
        plist.set(rec, "$classname", plist.string(cString(hierarchy.front())));
        const Ref classes = plist.array();
        for (const auto& n : hierarchy) plist.append(classes, plist.string(cString(n)));
        plist.set(rec, "$classes", classes);
        const uint64_t uid = append(rec);
        classUIDs[hierarchy.front()] = uid;
        return uid;
    }

    // Appends a container record and returns its UID and dictionary.
    template <class Hierarchy> std::pair<uint64_t, Ref> newRecord(const Hierarchy& hierarchy) {
        const Ref dict = plist.dictionary();
        const uint64_t uid = append(dict);
        plist.set(dict, kClassKey, plist.uid(classUID(hierarchy)));
        return {uid, dict};
    }
    std::pair<uint64_t, Ref> newRecord(std::initializer_list<const char*> hierarchy) {
        const Ref dict = plist.dictionary();
        const uint64_t uid = append(dict);
        plist.set(dict, kClassKey, plist.uid(classUID(hierarchy)));
        return {uid, dict};
    }

    uint64_t encode(const Value& v, KeyedArchiver& archiver) {
        switch (v.type()) {
        case Value::Type::Null: return 0;
        case Value::Type::Bool: return append(plist.boolean(*v.getIf<bool>()));
        case Value::Type::Integer: return append(plist.integer(static_cast<uint64_t>(*v.getIf<int64_t>())));
        case Value::Type::Real: return append(plist.real(*v.getIf<double>()));
        case Value::Type::String: return encodeString(*v.getIf<std::string>());
        case Value::Type::Data: {
            const Data& d = *v.getIf<Data>();
            return append(plist.data(d.data(), d.size()));
        }
        case Value::Type::Date: {
            auto [uid, dict] = newRecord({"NSDate", "NSObject"});
            plist.set(dict, "NS.time", plist.real(v.getIf<Date>()->timeIntervalSinceReferenceDate()));
            return uid;
        }
        case Value::Type::Array: {
            auto [uid, dict] = newRecord({"NSArray", "NSObject"});
            const Ref items = plist.array();
            plist.set(dict, "NS.objects", items);
            for (const auto& item : *v.getIf<Array>()) plist.append(items, plist.uid(encode(item, archiver)));
            return uid;
        }
        case Value::Type::Dictionary: {
            auto [uid, dict] = newRecord({"NSDictionary", "NSObject"});
            const Ref keys = plist.array();
            const Ref values = plist.array();
            plist.set(dict, "NS.keys", keys);
            plist.set(dict, "NS.objects", values);
            for (const auto& [k, item] : *v.getIf<Dictionary>()) {
                plist.append(keys, plist.uid(encodeString(k)));
                plist.append(values, plist.uid(encode(item, archiver)));
            }
            return uid;
        }
        case Value::Type::Object: return encodeObject(v.objectValue(), archiver);
        }
        return 0;
    }

    uint64_t encodeString(const std::string& s) {
        auto found = stringUIDs.find(s);
        if (found != stringUIDs.end()) return found->second;
        const uint64_t uid = append(plist.string(cString(s)));
        stringUIDs.emplace(s, uid);
        return uid;
    }

    uint64_t encodeObject(const ObjectPtr& object, KeyedArchiver& archiver) {
        auto found = objectUIDs.find(object.get());
        if (found != objectUIDs.end()) return found->second;
        if (const auto* reference = dynamic_cast<const KeptReference*>(object.get())) {
            ObjectPtr target = reference->object();
            return target ? encodeObject(target, archiver) : 0;
        }
        auto hierarchy = object->archivedClassHierarchy();
        if (hierarchy.empty()) hierarchy = {object->archivedClassName()};
        auto [uid, dict] = newRecord(hierarchy);
        objectUIDs[object.get()] = uid;
        keepAlive.push_back(object);
        const Ref saved = current;
        current = dict;
        try {
            object->encodeWithCoder(archiver);
        } catch (...) {
            current = saved;
            throw;
        }
        current = saved;
        return uid;
    }

    void setIn(Ref dict, const std::string& key, Ref node) {
        if (!key.empty() && key[0] == '$')
            plist.set(dict, cString(escapedKey(key)), node);
        else
            plist.set(dict, cString(key), node);
    }

    void set(const std::string& key, Ref node) {
        FND_ASSERT(!finished);
        setIn(current, key, node);
    }
};

KeyedArchiver::KeyedArchiver() : impl_(std::make_unique<Impl>()) {}
KeyedArchiver::~KeyedArchiver() = default;

void KeyedArchiver::encodeObject(const Value& value, const std::string& key) {
    FND_ASSERT(!impl_->finished);
    const uint64_t uid = impl_->encode(value, *this);
    impl_->set(key, impl_->plist.uid(uid));
}

void KeyedArchiver::encodeConditionalObject(const ObjectPtr& object, const std::string& key) {
    // Resolved when the archive ends, once it is known whether the object was encoded.
    impl_->set(key, impl_->plist.uid(0));
    if (object) impl_->conditionals.push_back({impl_->current, key, object});
}

void KeyedArchiver::encodeBool(bool b, const std::string& key) { impl_->set(key, impl_->plist.boolean(b)); }
void KeyedArchiver::encodeInt32(int32_t i, const std::string& key) { encodeInt64(i, key); }
void KeyedArchiver::encodeInt64(int64_t i, const std::string& key) {
    impl_->set(key, impl_->plist.integer(static_cast<uint64_t>(i)));
}
void KeyedArchiver::encodeFloat(float f, const std::string& key) { encodeDouble(f, key); }
void KeyedArchiver::encodeDouble(double d, const std::string& key) { impl_->set(key, impl_->plist.real(d)); }
void KeyedArchiver::encodeBytes(const uint8_t* bytes, size_t length, const std::string& key) {
    impl_->set(key, impl_->plist.data(bytes, length));
}

Data KeyedArchiver::finish() {
    FND_ASSERT(!impl_->finished);
    for (const auto& c : impl_->conditionals) {
        auto found = impl_->objectUIDs.find(c.object.get());
        if (found != impl_->objectUIDs.end()) impl_->setIn(c.dict, c.key, impl_->plist.uid(found->second));
    }
    impl_->finished = true;
    BinaryPlistBuilder& plist = impl_->plist;
    const auto root = plist.dictionary();
    plist.set(root, "$version", plist.integer(100000));
    plist.set(root, "$archiver", plist.string("NSKeyedArchiver"));
    plist.set(root, "$top", impl_->top);
    plist.set(root, "$objects", impl_->objects);
    Data out = plist.finish(root);
    if (out.empty()) throw Exception(kInvalidArchiveOperationException, "cannot write the archive");
    return out;
}
Data KeyedArchiver::finishWithRoot(const Value& root) {
    encodeObject(root, "root");
    return finish();
}

Data KeyedArchiver::archivedDataWithRootObject(const Value& root) {
    KeyedArchiver archiver;
    return archiver.finishWithRoot(root);
}

void KeyedArchiver::archiveRootObjectToFile(const Value& root, const std::string& path) {
    writeFileAtomically(path, archivedDataWithRootObject(root));
}

// ---- unarchiver ----

struct KeyedUnarchiver::Impl {
    using Ref = PlistTree::Ref;
    using Kind = PlistTree::Kind;

    PlistTree tree;
    Ref objects = PlistTree::kNone;  // "$objects", by UID
    uint64_t count = 0;
    Ref current = PlistTree::kNone;
    // Where the search for the next key of `current` starts: objects read their keys in the
    // order they wrote them.
    mutable size_t keyHint = 0;
    int depth = 0;
    // The object whose keys are being read, 0 before any.
    uint64_t decodingObject = 0;

    // Decoding: an object whose keys are being read; references to it get the instance.
    enum class State : uint8_t { Unvisited, InProgress, Decoding, Done };
    std::vector<State> state;
    std::vector<Value> decoded;
    bool containerItem = false;  // the reference being decoded is an entry of an array or dictionary
    // While a kept object reads its keys: a container that lists an object whose decoding is under
    // way (one that holds the kept object) lists a weak reference to it instead, which archives as
    // the object itself. Held strongly, it would never be freed.
    bool weakenListedHolders = false;

    // What a class record says, read once for all the objects that refer to it.
    enum class Shape : uint8_t { Array, Dictionary, Date, String, Data, Object };
    struct ClassInfo {
        std::string name;
        Shape shape = Shape::Object;
        const ClassRegistry::Factory* factory = nullptr;
    };
    std::unordered_map<uint64_t, ClassInfo> classes;

    Ref item(std::string_view key) const {
        if (!key.empty() && key[0] == '$') return tree.find(current, escapedKey(std::string(key)), keyHint);
        return tree.find(current, key, keyHint);
    }

    const ClassInfo& classInfo(uint64_t classUID) {
        auto found = classes.find(classUID);
        if (found != classes.end()) return found->second;
        const Ref record = tree.item(objects, classUID);
        if (tree.kind(record) != Kind::Dictionary) throw ArchiveError("damaged class record");
        const Ref name = tree.find(record, "$classname");
        if (tree.kind(name) != Kind::String) throw ArchiveError("class record without a name");
        ClassInfo info;
        info.name = tree.string(name);
        const std::string& n = info.name;
        if (isArrayClass(n))
            info.shape = Shape::Array;
        else if (isDictionaryClass(n))
            info.shape = Shape::Dictionary;
        else if (n == "NSDate")
            info.shape = Shape::Date;
        else if (n == "NSString" || n == "NSMutableString")
            info.shape = Shape::String;
        else if (n == "NSData" || n == "NSMutableData")
            info.shape = Shape::Data;
        else
            info.factory = ClassRegistry::shared().factoryFor(n);
        return classes.emplace(classUID, std::move(info)).first->second;
    }

    // The class names of a record, itself first, for the stand-in of a class this program does
    // not have.
    std::vector<std::string> classNames(uint64_t classUID) const {
        std::vector<std::string> names;
        const Ref list = tree.find(tree.item(objects, classUID), "$classes");
        if (tree.kind(list) != Kind::Array) return names;
        for (size_t i = 0; i < tree.count(list); ++i) {
            const Ref c = tree.item(list, i);
            if (tree.kind(c) == Kind::String) names.emplace_back(tree.string(c));
        }
        return names;
    }

    uint64_t uidOf(Ref node) const {
        if (tree.kind(node) != Kind::UID) throw ArchiveError("expected an object reference");
        const uint64_t uid = tree.uidValue(node);
        if (uid >= count) throw ArchiveError(format("object reference %llu out of range", (unsigned long long)uid));
        return uid;
    }

    Ref uidList(Ref dict, const char* key) const {
        const Ref list = tree.find(dict, key);
        if (tree.kind(list) != Kind::Array) throw ArchiveError(format("missing %s", key));
        for (size_t i = 0; i < tree.count(list); ++i) uidOf(tree.item(list, i));
        return list;
    }

    Value decodeUID(uint64_t uid, KeyedUnarchiver& owner) {
        const bool listed = containerItem;
        containerItem = false;
        if (uid == 0) return Value();
        if (state[uid] == State::Done) return decoded[uid];
        if (state[uid] == State::Decoding) {
            if (listed && weakenListedHolders)
                return Value(std::make_shared<KeptReference>(decoded[uid].objectValue()));
            return decoded[uid];
        }
        if (state[uid] == State::InProgress) {
            // Only objects may refer back to themselves; they are cached before their keys are read.
            throw ArchiveError("container refers to itself");
        }
        if (depth >= kMaxDepth) throw ArchiveError("archive nested too deeply");
        struct DepthGuard {
            int& d;
            explicit DepthGuard(int& d) : d(d) { ++d; }
            ~DepthGuard() { --d; }
        } guard(depth);

        const Ref node = tree.item(objects, uid);
        Value v;
        switch (tree.kind(node)) {
        case Kind::Bool:
        case Kind::Integer:
        case Kind::Real:
        case Kind::Data:
        case Kind::Date: v = propertyListScalar(node); break;
        case Kind::String: {
            const std::string_view s = tree.string(node);
            if (s != kNull) v = Value(std::string(s));
            break;
        }
        case Kind::Dictionary: v = decodeRecord(uid, node, owner); break;
        default: throw ArchiveError("unexpected entry in the object table");
        }
        state[uid] = State::Done;
        decoded[uid] = v;
        return v;
    }

    // An object's keys may hold collections, and an object keeps what it decodes: a collection
    // read for an object that holds the object itself would make the two hold each other for
    // ever, whether the decode then succeeds or fails.
    uint64_t refuseOwnCollection(uint64_t item) const {
        if (item != 0 && item == decodingObject) throw ArchiveError("object inside a collection of its own");
        return item;
    }

    Value propertyListScalar(Ref node) const {
        if (auto scalar = tree.scalarValue(node)) return *scalar;
        throw ArchiveError("unexpected value type");
    }

    Value decodeRecord(uint64_t uid, Ref dict, KeyedUnarchiver& owner) {
        const uint64_t classUID = uidOf(tree.find(dict, kClassKey));
        const ClassInfo& info = classInfo(classUID);

        state[uid] = State::InProgress;
        switch (info.shape) {
        case Shape::Array: {
            const Ref list = uidList(dict, "NS.objects");
            Array a;
            a.reserve(tree.count(list));
            for (size_t i = 0; i < tree.count(list); ++i) {
                containerItem = true;
                a.push_back(decodeUID(refuseOwnCollection(tree.uidValue(tree.item(list, i))), owner));
            }
            return Value(std::move(a));
        }
        case Shape::Dictionary: {
            const Ref keys = uidList(dict, "NS.keys");
            const Ref values = uidList(dict, "NS.objects");
            if (tree.count(keys) != tree.count(values)) throw ArchiveError("dictionary with unequal keys and values");
            Dictionary d;
            for (size_t i = 0; i < tree.count(keys); ++i) {
                Value k = decodeUID(tree.uidValue(tree.item(keys, i)), owner);
                if (!k.stringValue()) throw ArchiveError("dictionary key is not a string");
                containerItem = true;
                d[*k.stringValue()] = decodeUID(refuseOwnCollection(tree.uidValue(tree.item(values, i))), owner);
            }
            return Value(std::move(d));
        }
        case Shape::Date: {
            const Ref t = tree.find(dict, "NS.time");
            if (tree.kind(t) != Kind::Real) throw ArchiveError("date without NS.time");
            return Value(Date::withTimeIntervalSinceReferenceDate(tree.realValue(t)));
        }
        case Shape::String: {
            const Ref s = tree.find(dict, "NS.string");
            if (tree.kind(s) != Kind::String) throw ArchiveError("string without NS.string");
            return Value(std::string(tree.string(s)));
        }
        case Shape::Data: {
            const Ref s = tree.find(dict, "NS.data");
            if (tree.kind(s) != Kind::Data) throw ArchiveError("data without NS.data");
            return Value(tree.data(s));
        }
        case Shape::Object: break;
        }

        const std::string& name = info.name;  // entries of `classes` stay where they are
        ObjectPtr object =
            info.factory ? (*info.factory)() : ClassRegistry::shared().makeStandIn(name, classNames(classUID));

        // Cached before its keys are read, so that objects referring back to it get this instance.
        decoded[uid] = Value(object);
        state[uid] = State::Decoding;
        const Ref saved = current;
        const size_t savedHint = keyHint;
        const bool savedWeaken = weakenListedHolders;
        current = dict;
        keyHint = 0;
        weakenListedHolders = false;
        auto restore = [&] {
            current = saved;
            keyHint = savedHint;
            weakenListedHolders = savedWeaken;
        };
        struct Restore {
            uint64_t& slot;
            uint64_t saved;
            ~Restore() { slot = saved; }
        } restoreDecoding{decodingObject, decodingObject};
        decodingObject = uid;
        try {
            object->initWithCoder(owner);
        } catch (const ArchiveError&) {
            restore();
            throw;
        } catch (const Exception& e) {
            restore();
            throw ArchiveError("cannot decode " + name + ": " + e.reason());
        } catch (const std::bad_alloc&) {
            restore();
            throw ArchiveError("cannot decode " + name + ": out of memory");
        } catch (const std::length_error&) {
            restore();
            throw ArchiveError("cannot decode " + name + ": size out of range");
        }
        restore();
        ObjectPtr replacement = object->replacementAfterDecoding();
        Value result = replacement ? Value(replacement) : Value();
        decoded[uid] = result;
        return result;
    }
};

KeyedUnarchiver::KeyedUnarchiver(const Data& data) : impl_(std::make_unique<Impl>()) {
    using Kind = PlistTree::Kind;
    std::string refused;
    auto tree = parsePlistTree(data, &refused);
    if (!refused.empty()) throw ArchiveError(refused);
    if (!tree || tree->kind(tree->root()) != Kind::Dictionary) throw ArchiveError("not a keyed archive");
    impl_->tree = std::move(*tree);
    const PlistTree& t = impl_->tree;
    const PlistTree::Ref root = t.root();
    const PlistTree::Ref objects = t.find(root, "$objects");
    const PlistTree::Ref top = t.find(root, "$top");
    if (t.kind(objects) != Kind::Array) throw ArchiveError("archive without $objects");
    if (t.kind(top) != Kind::Dictionary) throw ArchiveError("archive without $top");
    const PlistTree::Ref archiver = t.find(root, "$archiver");
    if (archiver != PlistTree::kNone && (t.kind(archiver) != Kind::String || t.string(archiver) != "NSKeyedArchiver"))
        throw ArchiveError("archive written by an unknown archiver");
    impl_->objects = objects;
    impl_->count = t.count(objects);
    impl_->current = top;
    impl_->state.assign(impl_->count, Impl::State::Unvisited);
    impl_->decoded.resize(impl_->count);
}

KeyedUnarchiver::~KeyedUnarchiver() = default;

Value KeyedUnarchiver::unarchiveObjectWithData(const Data& data) {
    KeyedUnarchiver u(data);
    if (!u.containsValueForKey("root")) throw ArchiveError("archive without a root object");
    return u.decodeObject("root");
}

Value KeyedUnarchiver::unarchiveObjectWithFile(const std::string& path) {
    Data data;
    try {
        data = readFile(path);
    } catch (const PropertyListError& e) {
        throw ArchiveError(e.reason());
    }
    return unarchiveObjectWithData(data);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return impl_->item(key) != PlistTree::kNone; }

Value KeyedUnarchiver::decodeObject(std::string_view key) {
    const PlistTree::Ref node = impl_->item(key);
    if (node == PlistTree::kNone) return Value();
    if (impl_->tree.kind(node) == PlistTree::Kind::UID) return impl_->decodeUID(impl_->uidOf(node), *this);
    return impl_->propertyListScalar(node);
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
    Value v = decodeObject(key);
    if (v.isNull()) return std::nullopt;
    if (!v.stringValue()) throw ArchiveError("value for key '" + std::string(key) + "' is not a string");
    return *v.stringValue();
}

namespace {
Value numberFor(KeyedUnarchiver& u, std::string_view key, const char* what) {
    Value v = u.decodeObject(key);
    if (v.isNull()) return Value(int64_t{0});
    if (!v.isNumber()) throw ArchiveError(format("value for key '%s' is not %s", std::string(key).c_str(), what));
    return v;
}

int64_t checkedInteger(const Value& v, std::string_view key, int64_t lo, int64_t hi) {
    if (auto d = v.getIf<double>()) {
        if (!std::isfinite(*d) || *d <= static_cast<double>(lo) - 1.0 || *d >= static_cast<double>(hi) + 1.0)
            throw ArchiveError(format("value for key '%s' is out of range", std::string(key).c_str()));
        return static_cast<int64_t>(*d);
    }
    int64_t i = *v.integerValue();
    if (i < lo || i > hi) throw ArchiveError(format("value for key '%s' is out of range", std::string(key).c_str()));
    return i;
}
}  // namespace

bool KeyedUnarchiver::decodeBool(std::string_view key) { return *numberFor(*this, key, "a boolean").boolValue(); }

int32_t KeyedUnarchiver::decodeInt32(std::string_view key) {
    return static_cast<int32_t>(checkedInteger(numberFor(*this, key, "an integer"), key, INT32_MIN, INT32_MAX));
}

int64_t KeyedUnarchiver::decodeInt64(std::string_view key) {
    Value v = numberFor(*this, key, "an integer");
    if (auto d = v.getIf<double>()) {
        if (!std::isfinite(*d) || *d < -9223372036854775808.0 || *d >= 9223372036854775808.0)
            throw ArchiveError(format("value for key '%s' is out of range", std::string(key).c_str()));
        return static_cast<int64_t>(*d);
    }
    return *v.integerValue();
}

float KeyedUnarchiver::decodeFloat(std::string_view key) {
    double d = decodeDouble(key);
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

double KeyedUnarchiver::decodeDouble(std::string_view key) { return *numberFor(*this, key, "a number").realValue(); }

std::vector<KeyedUnarchiver::ArchivedEntry> KeyedUnarchiver::decodeEveryKey() {
    const PlistTree& tree = impl_->tree;
    const PlistTree::Ref dict = impl_->current;
    std::vector<std::pair<std::string, PlistTree::Ref>> items;
    for (size_t i = 0; i < tree.count(dict); ++i) {
        const std::string_view key = tree.string(tree.key(dict, i));
        const PlistTree::Ref node = tree.value(dict, i);
        if (key.empty() || key[0] != '$')
            items.emplace_back(std::string(key), node);
        else if (key.size() > 1 && key[1] == '$')
            items.emplace_back(std::string(key.substr(1)), node);  // an escaped key
    }
    std::vector<ArchivedEntry> entries;
    entries.reserve(items.size());
    const bool savedWeaken = impl_->weakenListedHolders;
    struct Restore {
        bool& flag;
        bool saved;
        ~Restore() { flag = saved; }
    } restore{impl_->weakenListedHolders, savedWeaken};
    impl_->weakenListedHolders = true;
    for (auto& [key, node] : items) {
        ArchivedEntry entry;
        entry.key = std::move(key);
        if (tree.kind(node) == PlistTree::Kind::UID) {
            const uint64_t uid = impl_->uidOf(node);
            entry.isReference = true;
            entry.refersBack = impl_->state[uid] == Impl::State::Decoding;
            entry.value = impl_->decodeUID(uid, *this);
        } else {
            entry.value = impl_->propertyListScalar(node);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

Data KeyedUnarchiver::decodeBytes(std::string_view key) {
    Value v = decodeObject(key);
    if (v.isNull()) return Data();
    if (!v.dataValue()) throw ArchiveError("value for key '" + std::string(key) + "' is not a byte string");
    return *v.dataValue();
}

}  // namespace foundation
