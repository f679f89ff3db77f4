#pragma once
// Keyed archives in the standard binary property-list form:
//
//   { "$version": 100000, "$archiver": "NSKeyedArchiver", "$top": { "root": UID },
//     "$objects": [ "$null", ... ] }
//
// Each object is a dictionary of its keys with "$class" referring to a class record
// { "$classname", "$classes" }. Numbers, booleans and byte strings encoded under a key are stored
// inline; strings and objects are entries of "$objects" referred to by UID. Arrays are
// { "NS.objects": [UIDs] }, dictionaries { "NS.keys", "NS.objects" }, dates { "NS.time" }.
//
// Decoding goes through a registry of class names; a substitution table maps names of former
// classes onto current ones. An object of a class that is not registered decodes as a stand-in
// that keeps its keys and class names and writes them back as they were (KeptObject.h). An
// object archived twice decodes to one instance. Every fault in the input raises ArchiveError and
// never reads outside the data.

#include "foundation/Exception.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef void* plist_t;

namespace foundation {

class ArchiveError : public Exception {
public:
    explicit ArchiveError(std::string reason) : Exception(kInvalidUnarchiveOperationException, std::move(reason)) {}
};

// Archived class names and how to make an empty instance of each.
class ClassRegistry {
public:
    using Factory = std::function<ObjectPtr()>;
    // Makes the stand-in for an object of class `className` (with its ancestors `classes`, itself
    // first) that this program does not have.
    using StandInFactory =
        std::function<ObjectPtr(const std::string& className, const std::vector<std::string>& classes)>;

    static ClassRegistry& shared();

    void registerClass(const std::string& name, Factory factory);
    // Archives that name `archivedName` decode it as `currentName`.
    void setSubstitution(const std::string& archivedName, const std::string& currentName);
    // The factory for a name after substitution, or null when unknown.
    const Factory* factoryFor(const std::string& name) const;
    bool isRegistered(const std::string& name) const { return factoryFor(name) != nullptr; }

    // Objects of an unregistered class that descends from `ancestorName` decode through
    // `factory`, so that they can take the ancestor's place in the model.
    void registerStandIn(const std::string& ancestorName, StandInFactory factory);
    // The object for an unregistered class: the stand-in of the nearest ancestor that has one, an
    // instance of the nearest registered ancestor, or else a KeptObject.
    ObjectPtr makeStandIn(const std::string& className, const std::vector<std::string>& classes) const;

private:
    std::map<std::string, Factory> factories_;
    std::map<std::string, StandInFactory> standIns_;
    std::map<std::string, std::string> substitutions_;
};

// Registers T (default-constructible, with FND_ARCHIVED_CLASS) under its archived name. Each
// library calls this for its classes from its one registration function (FoundationClasses.h,
// EngineClasses.h), never from a static initialiser: a static library drops an object file that
// nothing names, and its initialisers with it.
template <class T> void registerArchivedClass() {
    ClassRegistry::shared().registerClass(T::kArchivedClassName, [] { return std::make_shared<T>(); });
}

class KeyedArchiver {
public:
    KeyedArchiver();
    ~KeyedArchiver();
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    // Whole archives.
    static Data archivedDataWithRootObject(const Value& root);
    static void archiveRootObjectToFile(const Value& root, const std::string& path);

    // Keys of the object being encoded; before any object, keys of the archive's top level
    // ("$top"), as a document stores its root objects.
    void encodeObject(const Value& value, const std::string& key);
    // Stored as a reference only when the object is also encoded unconditionally somewhere in
    // the archive; otherwise as null.
    void encodeConditionalObject(const ObjectPtr& object, const std::string& key);
    void encodeBool(bool b, const std::string& key);
    void encodeInt32(int32_t i, const std::string& key);
    void encodeInt64(int64_t i, const std::string& key);
    void encodeInteger(int64_t i, const std::string& key) { encodeInt64(i, key); }
    void encodeFloat(float f, const std::string& key);
    void encodeDouble(double d, const std::string& key);
    void encodeBytes(const uint8_t* bytes, size_t length, const std::string& key);
    void encodeString(const std::string& s, const std::string& key) { encodeObject(Value(s), key); }

    // Ends the archive and returns its bytes.
    Data finish();
    // Encodes `root` under "$top"/"root", then ends the archive.
    Data finishWithRoot(const Value& root);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class KeyedUnarchiver {
public:
    // Raises ArchiveError when the data is not a keyed archive.
    explicit KeyedUnarchiver(const Data& data);
    ~KeyedUnarchiver();
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    static Value unarchiveObjectWithData(const Data& data);
    static Value unarchiveObjectWithFile(const std::string& path);
    // The root as T; raises ArchiveError when it is something else.
    template <class T> static std::shared_ptr<T> unarchiveRoot(const Data& data) {
        Value v = unarchiveObjectWithData(data);
        auto obj = v.object<T>();
        if (!obj) throw ArchiveError("root object is not of the expected class");
        return obj;
    }

    // Keys of the object being decoded; before any object, keys of the archive's top level. Keys
    // are views: decoding a document looks up hundreds of thousands of them, mostly literals too
    // long for a string to hold without a heap block.
    bool containsValueForKey(std::string_view key) const;
    // Any value: numbers, strings, data, dates, arrays, dictionaries, objects; null when absent.
    Value decodeObject(std::string_view key);
    // An object of class T, or null when the key is absent or holds null; raises ArchiveError for
    // another kind of value.
    template <class T> std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
        Value v = decodeObject(key);
        if (v.isNull()) return nullptr;
        auto obj = v.object<T>();
        if (!obj) throw ArchiveError("value for key '" + std::string(key) + "' is not of the expected class");
        return obj;
    }
    // A string or null; raises for another kind of value.
    std::optional<std::string> decodeString(std::string_view key);
    // Absent keys give 0 / false / empty; a value of the wrong type or out of range raises.
    bool decodeBool(std::string_view key);
    int32_t decodeInt32(std::string_view key);
    int64_t decodeInt64(std::string_view key);
    int64_t decodeInteger(std::string_view key) { return decodeInt64(key); }
    float decodeFloat(std::string_view key);
    double decodeDouble(std::string_view key);
    Data decodeBytes(std::string_view key);

    // Every key of the object being decoded, for objects that keep what they cannot read.
    struct ArchivedEntry {
        std::string key;
        Value value;               // objects, containers and strings decoded as decodeObject does
        bool isReference = false;  // stored as a reference into the object table, not inline
        // A reference to an object whose decoding is under way: one that holds the object being
        // decoded, not one it owns. In the containers of these entries such objects are listed as
        // KeptReference.
        bool refersBack = false;
    };
    std::vector<ArchivedEntry> decodeEveryKey();

    // How deep objects may nest before the archive is refused as hostile.
    static constexpr int kMaxDepth = 256;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace foundation
