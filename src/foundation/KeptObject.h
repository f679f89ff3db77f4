#pragma once
// Objects of classes this program does not have (yet) survive opening and saving a document: each
// keeps the keys it was archived with and its class names, and writes them back as they were.
//
// A kept value written inline (numbers, booleans, bytes) is written inline again; a reference is
// written as a reference to the same object, which other references in the archive share. A
// reference to an object that holds this one (its decoding was still under way) is held weakly,
// so that the two never keep each other alive: under a key it is written back as a conditional
// reference, as its writer did; in an array or dictionary it is a KeptReference, which archives
// as the object itself.

#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Value.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace foundation {

class KeptRecord {
public:
    struct Entry {
        enum class Form : uint8_t { Inline, Reference, BackReference };
        std::string key;
        Form form = Form::Inline;
        Value value;                 // Inline and Reference
        std::weak_ptr<Object> weak;  // BackReference
    };

    KeptRecord() = default;
    // `classes` lists the class and its ancestors; the class is put first when it is not.
    KeptRecord(std::string className, std::vector<std::string> classes);

    const std::string& className() const { return className_; }
    const std::vector<std::string>& classes() const { return classes_; }
    const std::vector<Entry>& entries() const { return entries_; }
    // The value under `key` (a back-reference's object while it lives); null when absent.
    Value valueForKey(const std::string& key) const;

    // Reads every key of the object being decoded.
    void read(KeyedUnarchiver& coder);
    // Writes every kept key but those in `except` (keys the owner writes itself).
    void write(KeyedArchiver& coder, const std::set<std::string>& except = {}) const;

    // Same class and the same keys with equal values (objects by identity).
    bool isEqualToRecord(const KeptRecord& other) const;

private:
    std::string className_;
    std::vector<std::string> classes_;
    std::vector<Entry> entries_;
};

// A weak reference in a kept container; archived as the object it refers to, or null once that
// is gone.
class KeptReference : public Object {
public:
    explicit KeptReference(const ObjectPtr& object) : object_(object) {}
    ObjectPtr object() const { return object_.lock(); }

private:
    std::weak_ptr<Object> object_;
};

// The stand-in for an object of a class that is not registered and has no registered ancestor.
class KeptObject : public Object {
public:
    KeptObject(std::string className, std::vector<std::string> classes)
        : record_(std::move(className), std::move(classes)) {}

    std::string archivedClassName() const override { return record_.className(); }
    std::vector<std::string> archivedClassHierarchy() const override { return record_.classes(); }

    void encodeWithCoder(KeyedArchiver& coder) const override { record_.write(coder); }
    void initWithCoder(KeyedUnarchiver& coder) override { record_.read(coder); }

    const KeptRecord& record() const { return record_; }

private:
    KeptRecord record_;
};

}  // namespace foundation
