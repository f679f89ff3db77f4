#pragma once
// Lists of archived objects of one class, as model classes store their collections.

#include "foundation/KeyedArchiver.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

// The array under `key` as objects of class T; none when the key is absent or null. Anything else
// than an array of T raises ArchiveError.
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> decodeObjectList(KeyedUnarchiver& coder, const std::string& key) {
    Value value = coder.decodeObject(key);
    if (value.isNull()) return std::nullopt;
    const Array* array = value.arrayValue();
    if (!array) throw ArchiveError("value for key '" + key + "' is not an array");
    std::vector<std::shared_ptr<T>> list;
    list.reserve(array->size());
    for (const Value& entry : *array) {
        auto object = entry.object<T>();
        if (!object) throw ArchiveError("an entry for key '" + key + "' is not of the expected class");
        list.push_back(std::move(object));
    }
    return list;
}

template <class T> Value objectListValue(const std::vector<std::shared_ptr<T>>& list) {
    Array array;
    array.reserve(list.size());
    for (const auto& object : list) array.emplace_back(object);
    return Value(std::move(array));
}

}  // namespace foundation
