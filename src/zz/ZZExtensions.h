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
// equals. Elements whose key is none never match. One pass over the elements, however many names
// of the series are taken (the 2,000th "Kick" costs as much as the second): after the first
// increment every further one only counts up the number after the same prefix, so the numbers
// taken after that prefix are gathered and the first free one is taken.
template <class T>
std::string ZZUniqueString(std::string candidate, const std::vector<T>& objects,
                           const std::function<std::optional<std::string>(const T&)>& key) {
    std::vector<std::string> keys;
    keys.reserve(objects.size());
    bool taken = false;
    for (const T& object : objects) {
        if (auto k = key(object)) {
            taken = taken || *k == candidate;
            keys.push_back(std::move(*k));
        }
    }
    if (!taken) return candidate;
    const std::string first = ZZStringByIncrementingSuffixNumberInString(candidate);
    size_t digits = first.size();
    while (digits > 0 && first[digits - 1] >= '0' && first[digits - 1] <= '9') --digits;
    const std::string prefix = first.substr(0, digits);
    // The number as the increment writes it: no sign, no leading zero, short of overflowing.
    auto numberAfterPrefix = [&prefix](const std::string& name) -> long long {
        const size_t length = name.size() - prefix.size();
        if (name.size() <= prefix.size() || length > 18 || name.compare(0, prefix.size(), prefix) != 0) return -1;
        if (name[prefix.size()] == '0') return -1;
        long long n = 0;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') return -1;
            n = n * 10 + (name[i] - '0');
        }
        return n;
    };
    long long next = numberAfterPrefix(first);
    if (next < 0) {
        // A number too long to count up here: one name at a time.
        std::unordered_set<std::string> names(keys.begin(), keys.end());
        std::string name = first;
        while (names.count(name) != 0) name = ZZStringByIncrementingSuffixNumberInString(name);
        return name;
    }
    std::unordered_set<long long> numbers;
    for (const std::string& k : keys)
        if (const long long n = numberAfterPrefix(k); n >= next) numbers.insert(n);
    while (numbers.count(next) != 0) ++next;
    return prefix + std::to_string(next);
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
