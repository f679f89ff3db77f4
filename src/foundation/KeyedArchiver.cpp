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

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace foundation {

namespace {

// The property-list tree of a large archive that is read is a great many small blocks (about
// twenty bytes of memory for each byte of the file) allocated in between objects that stay. Once
// freed they sit below those objects, where the allocator does not give memory back on its own: a
// document of 10,000 contexts would keep some 80 MB it no longer uses.
void releaseTreeMemory(size_t archiveSize) {
#if defined(__GLIBC__)
    if (archiveSize >= KeyedUnarchiver::kReleaseMemoryAfterSize) malloc_trim(0);
#else
    (void)archiveSize;
#endif
}

constexpr const char* kNull = "$null";
constexpr const char* kClassKey = "$class";

// Keys that begin with '$' are reserved for the archive's own structure; an object's key that
// begins with one gets a second in front, which readers take off again.
std::string escapedKey(const std::string& key) { return (!key.empty() && key[0] == '$') ? "$" + key : key; }

bool isArrayClass(const std::string& n) {
    return n == "NSArray" || n == "NSMutableArray" || n == "NSSet" || n == "NSMutableSet" ||
           n == "NSOrderedSet" || n == "NSMutableOrderedSet";
}
bool isDictionaryClass(const std::string& n) { return n == "NSDictionary" || n == "NSMutableDictionary"; }

// The text of a dictionary's key node, up to its first NUL. libplist's reader of keys aborts the
// process on a key with a NUL inside, which a damaged file can hold; the comparison of the first
// n characters does not, so the key is found one character at a time from the signs of
// comparisons. Keys longer than any an object writes are refused.
constexpr size_t kMaxKeyLength = 1024;
std::string keyText(plist_t keyNode) {
    if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) throw ArchiveError("damaged dictionary key");
    std::string key;
    for (;;) {
        if (key.size() >= kMaxKeyLength) throw ArchiveError("dictionary key too long");
        std::string probe = key + '\x01';
        auto compare = [&](int c) {
            probe.back() = static_cast<char>(c);
            return plist_key_val_compare_with_size(keyNode, probe.c_str(), probe.size());
        };
        if (compare(1) < 0) return key;  // the key ends here
        int low = 1, high = 255;
        while (low < high) {
            const int middle = (low + high + 1) / 2;
            if (compare(middle) < 0) high = middle - 1;
            else low = middle;
        }
        key.push_back(static_cast<char>(low));
    }
}

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
        if (!key.empty() && key[0] == '$') plist.set(dict, cString(escapedKey(key)), node);
        else plist.set(dict, cString(key), node);
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
    PlistNode root;
    size_t archiveSize = 0;
    std::vector<plist_t> objectNodes;  // "$objects", by UID
    uint64_t count = 0;
    plist_t current = nullptr;
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

    plist_t item(const std::string& key) const {
        return plist_dict_get_item(current, escapedKey(key).c_str());
    }

    static std::string className(plist_t classRecord, std::vector<std::string>& fallbacks) {
        if (!classRecord || plist_get_node_type(classRecord) != PLIST_DICT)
            throw ArchiveError("damaged class record");
        plist_t name = plist_dict_get_item(classRecord, "$classname");
        if (!name || plist_get_node_type(name) != PLIST_STRING) throw ArchiveError("class record without a name");
        plist_t classes = plist_dict_get_item(classRecord, "$classes");
        if (classes && plist_get_node_type(classes) == PLIST_ARRAY) {
            for (plist_t c : arrayItems(classes)) {
                if (c && plist_get_node_type(c) == PLIST_STRING) fallbacks.push_back(plistString(c));
            }
        }
        return plistString(name);
    }

    uint64_t uidOf(plist_t node) const {
        if (!node || plist_get_node_type(node) != PLIST_UID) throw ArchiveError("expected an object reference");
        uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        if (uid >= count) throw ArchiveError(format("object reference %llu out of range", (unsigned long long)uid));
        return uid;
    }

    std::vector<uint64_t> uidList(plist_t dict, const char* key) const {
        plist_t list = plist_dict_get_item(dict, key);
        if (!list || plist_get_node_type(list) != PLIST_ARRAY) throw ArchiveError(format("missing %s", key));
        std::vector<uint64_t> uids;
        for (plist_t item : arrayItems(list)) uids.push_back(uidOf(item));
        return uids;
    }

    Value decodeUID(uint64_t uid, KeyedUnarchiver& owner) {
        const bool listed = containerItem;
        containerItem = false;
        if (uid == 0) return Value();
        if (state[uid] == State::Done) return decoded[uid];
        if (state[uid] == State::Decoding) {
            if (listed && weakenListedHolders) return Value(std::make_shared<KeptReference>(decoded[uid].objectValue()));
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

        plist_t node = objectNodes[uid];
        Value v;
        switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN:
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_DATA:
        case PLIST_DATE: v = propertyListScalar(node); break;
        case PLIST_STRING: {
            std::string s = plistString(node);
            if (s != kNull) v = Value(std::move(s));
            break;
        }
        case PLIST_DICT: v = decodeRecord(uid, node, owner); break;
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

    static Value propertyListScalar(plist_t node) {
        if (auto scalar = plistScalarValue(node)) return *scalar;
        throw ArchiveError("unexpected value type");
    }

    Value decodeRecord(uint64_t uid, plist_t dict, KeyedUnarchiver& owner) {
        plist_t classRef = plist_dict_get_item(dict, kClassKey);
        uint64_t classUID = uidOf(classRef);
        std::vector<std::string> fallbacks;
        std::string name = className(objectNodes[classUID], fallbacks);

        state[uid] = State::InProgress;
        if (isArrayClass(name)) {
            Array a;
            for (uint64_t item : uidList(dict, "NS.objects")) {
                containerItem = true;
                a.push_back(decodeUID(refuseOwnCollection(item), owner));
            }
            return Value(std::move(a));
        }
        if (isDictionaryClass(name)) {
            auto keys = uidList(dict, "NS.keys");
            auto values = uidList(dict, "NS.objects");
            if (keys.size() != values.size()) throw ArchiveError("dictionary with unequal keys and values");
            Dictionary d;
            for (size_t i = 0; i < keys.size(); ++i) {
                Value k = decodeUID(keys[i], owner);
                if (!k.stringValue()) throw ArchiveError("dictionary key is not a string");
                containerItem = true;
                d[*k.stringValue()] = decodeUID(refuseOwnCollection(values[i]), owner);
            }
            return Value(std::move(d));
        }
        if (name == "NSDate") {
            plist_t t = plist_dict_get_item(dict, "NS.time");
            if (!t || plist_get_node_type(t) != PLIST_REAL) throw ArchiveError("date without NS.time");
            double s = 0;
            plist_get_real_val(t, &s);
            return Value(Date::withTimeIntervalSinceReferenceDate(s));
        }
        if (name == "NSString" || name == "NSMutableString") {
            plist_t s = plist_dict_get_item(dict, "NS.string");
            if (!s || plist_get_node_type(s) != PLIST_STRING) throw ArchiveError("string without NS.string");
            return Value(plistString(s));
        }
        if (name == "NSData" || name == "NSMutableData") {
            plist_t s = plist_dict_get_item(dict, "NS.data");
            if (!s || plist_get_node_type(s) != PLIST_DATA) throw ArchiveError("data without NS.data");
            return Value(plistData(s));
        }

        const ClassRegistry::Factory* factory = ClassRegistry::shared().factoryFor(name);
        ObjectPtr object = factory ? (*factory)() : ClassRegistry::shared().makeStandIn(name, fallbacks);

        // Cached before its keys are read, so that objects referring back to it get this instance.
        decoded[uid] = Value(object);
        state[uid] = State::Decoding;
        plist_t saved = current;
        const bool savedWeaken = weakenListedHolders;
        current = dict;
        weakenListedHolders = false;
        auto restore = [&] {
            current = saved;
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
        if (ObjectPtr replacement = object->replacementAfterDecoding()) {
            object = std::move(replacement);
            decoded[uid] = Value(object);
        }
        return Value(object);
    }
};

KeyedUnarchiver::KeyedUnarchiver(const Data& data) : impl_(std::make_unique<Impl>()) {
    impl_->archiveSize = data.size();
    std::string refused;
    impl_->root = PlistNode(parsePlist(data, &refused));
    if (!refused.empty()) throw ArchiveError(refused);
    plist_t root = impl_->root.get();
    if (!root || plist_get_node_type(root) != PLIST_DICT) throw ArchiveError("not a keyed archive");
    plist_t objects = plist_dict_get_item(root, "$objects");
    plist_t top = plist_dict_get_item(root, "$top");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY) throw ArchiveError("archive without $objects");
    if (!top || plist_get_node_type(top) != PLIST_DICT) throw ArchiveError("archive without $top");
    plist_t archiver = plist_dict_get_item(root, "$archiver");
    if (archiver && (plist_get_node_type(archiver) != PLIST_STRING || plistString(archiver) != "NSKeyedArchiver"))
        throw ArchiveError("archive written by an unknown archiver");
    impl_->objectNodes = arrayItems(objects);
    impl_->count = impl_->objectNodes.size();
    impl_->current = top;
    impl_->state.assign(impl_->count, Impl::State::Unvisited);
    impl_->decoded.resize(impl_->count);
}

KeyedUnarchiver::~KeyedUnarchiver() {
    const size_t archiveSize = impl_->archiveSize;
    impl_.reset();
    releaseTreeMemory(archiveSize);
}

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

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const { return impl_->item(key) != nullptr; }

Value KeyedUnarchiver::decodeObject(const std::string& key) {
    plist_t node = impl_->item(key);
    if (!node) return Value();
    if (plist_get_node_type(node) == PLIST_UID) return impl_->decodeUID(impl_->uidOf(node), *this);
    return Impl::propertyListScalar(node);
}

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key) {
    Value v = decodeObject(key);
    if (v.isNull()) return std::nullopt;
    if (!v.stringValue()) throw ArchiveError("value for key '" + key + "' is not a string");
    return *v.stringValue();
}

namespace {
Value numberFor(KeyedUnarchiver& u, const std::string& key, const char* what) {
    Value v = u.decodeObject(key);
    if (v.isNull()) return Value(int64_t{0});
    if (!v.isNumber()) throw ArchiveError(format("value for key '%s' is not %s", key.c_str(), what));
    return v;
}

int64_t checkedInteger(const Value& v, const std::string& key, int64_t lo, int64_t hi) {
    if (auto d = v.getIf<double>()) {
        if (!std::isfinite(*d) || *d <= static_cast<double>(lo) - 1.0 || *d >= static_cast<double>(hi) + 1.0)
            throw ArchiveError(format("value for key '%s' is out of range", key.c_str()));
        return static_cast<int64_t>(*d);
    }
    int64_t i = *v.integerValue();
    if (i < lo || i > hi) throw ArchiveError(format("value for key '%s' is out of range", key.c_str()));
    return i;
}
}  // namespace

bool KeyedUnarchiver::decodeBool(const std::string& key) { return *numberFor(*this, key, "a boolean").boolValue(); }

int32_t KeyedUnarchiver::decodeInt32(const std::string& key) {
    return static_cast<int32_t>(checkedInteger(numberFor(*this, key, "an integer"), key, INT32_MIN, INT32_MAX));
}

int64_t KeyedUnarchiver::decodeInt64(const std::string& key) {
    Value v = numberFor(*this, key, "an integer");
    if (auto d = v.getIf<double>()) {
        if (!std::isfinite(*d) || *d < -9223372036854775808.0 || *d >= 9223372036854775808.0)
            throw ArchiveError(format("value for key '%s' is out of range", key.c_str()));
        return static_cast<int64_t>(*d);
    }
    return *v.integerValue();
}

float KeyedUnarchiver::decodeFloat(const std::string& key) {
    double d = decodeDouble(key);
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

double KeyedUnarchiver::decodeDouble(const std::string& key) { return *numberFor(*this, key, "a number").realValue(); }

std::vector<KeyedUnarchiver::ArchivedEntry> KeyedUnarchiver::decodeEveryKey() {
    std::vector<std::pair<std::string, plist_t>> items;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(impl_->current, &it);
    for (plist_t node = nullptr; it;) {
        plist_dict_next_item(impl_->current, it, nullptr, &node);
        if (!node) break;
        std::string key;
        try {
            key = keyText(plist_dict_item_get_key(node));
        } catch (...) {
            std::free(it);
            throw;
        }
        if (key.empty() || key[0] != '$') items.emplace_back(std::move(key), node);
        else if (key.size() > 1 && key[1] == '$') items.emplace_back(key.substr(1), node);  // an escaped key
    }
    std::free(it);
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
        if (plist_get_node_type(node) == PLIST_UID) {
            const uint64_t uid = impl_->uidOf(node);
            entry.isReference = true;
            entry.refersBack = impl_->state[uid] == Impl::State::Decoding;
            entry.value = impl_->decodeUID(uid, *this);
        } else {
            entry.value = Impl::propertyListScalar(node);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

Data KeyedUnarchiver::decodeBytes(const std::string& key) {
    Value v = decodeObject(key);
    if (v.isNull()) return Data();
    if (!v.dataValue()) throw ArchiveError("value for key '" + key + "' is not a byte string");
    return *v.dataValue();
}

}  // namespace foundation
