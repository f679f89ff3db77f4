#pragma once
// Small collection and string helpers used throughout the application: natural ordering and
// unique names with number suffixes.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// Case-insensitive comparison in which runs of digits compare by value ("Note 9" < "Note 10").
// Negative, zero or positive like strcmp.
int ZZNaturalCompare(const std::string& a, const std::string& b);

// "Mapping 2" → "Mapping 3", "Snapshot" → "Snapshot 2", "Take5" → "Take 6", "a1b" → "a1b 2".
std::string ZZStringByIncrementingSuffixNumberInString(const std::string& s);

// The candidate, or the first name after it (by incrementing its number) that no element's key
// equals. Elements whose key is none never match. The keys are gathered once: a name that clashes
// with many (the 2,000th "Kick") costs one pass over the elements, not one per clash.
template <class T>
std::string ZZUniqueString(std::string candidate, const std::vector<T>& objects,
                           const std::function<std::optional<std::string>(const T&)>& key) {
    std::unordered_set<std::string> taken;
    taken.reserve(objects.size());
    for (const T& object : objects)
        if (auto k = key(object)) taken.insert(std::move(*k));
    while (taken.count(candidate) != 0) candidate = ZZStringByIncrementingSuffixNumberInString(candidate);
    return candidate;
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
