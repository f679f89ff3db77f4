#pragma once
// Small collection and string helpers used throughout the application: natural ordering and
// unique names with number suffixes.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Case-insensitive comparison in which runs of digits compare by value ("Note 9" < "Note 10").
// Negative, zero or positive like strcmp.
int ZZNaturalCompare(const std::string& a, const std::string& b);

// "Mapping 2" → "Mapping 3", "Snapshot" → "Snapshot 2", "Take5" → "Take 6", "a1b" → "a1b 2".
std::string ZZStringByIncrementingSuffixNumberInString(const std::string& s);

// The candidate, or the first name after it (by incrementing its number) that none of `taken`
// equals. One pass over the names, however many of the series are taken (the 2,000th "Kick"
// costs as much as the second): after the first increment every further one only counts up the
// number after the same prefix, so the numbers taken after that prefix are gathered and the
// first free one is taken.
std::string ZZUniqueString(std::string candidate, const std::vector<std::string_view>& taken);

// The same among the keys of the elements; elements whose key is none never match.
template <class T>
std::string ZZUniqueString(std::string candidate, const std::vector<T>& objects,
                           const std::function<std::optional<std::string>(const T&)>& key) {
    std::vector<std::string> keys;
    keys.reserve(objects.size());
    for (const T& object : objects)
        if (auto k = key(object)) keys.push_back(std::move(*k));
    return ZZUniqueString(std::move(candidate), std::vector<std::string_view>(keys.begin(), keys.end()));
}

template <class T> std::vector<T> ZZArrayByRemovingFirstObject(const std::vector<T>& v) {
    if (v.size() <= 1) return {};
    return std::vector<T>(v.begin() + 1, v.end());
}

// YES when the counts match and the test holds for every pair at the same index; stops at the
// first pair that fails.
template <class T, class Test>
bool ZZIsEqualToArrayByPassingTest(const std::vector<T>& a, const std::vector<T>& b, Test test) {
    if (&a == &b) return true;
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!test(a[i], b[i])) return false;
    return true;
}

// Sorts in place, ascending, by a string key compared naturally.
template <class T, class Key> void ZZNaturalSortWithKey(std::vector<T>& v, Key key) {
    std::stable_sort(v.begin(), v.end(), [&](const T& x, const T& y) { return ZZNaturalCompare(key(x), key(y)) < 0; });
}
