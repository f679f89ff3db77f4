#include "zz/ZZExtensions.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

int ZZNaturalCompare(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the runs by value: skip leading zeros, then longer is larger, then digit by digit.
            size_t si = i, sj = j;
            while (si < a.size() && a[si] == '0') ++si;
            while (sj < b.size() && b[sj] == '0') ++sj;
            size_t ei = si, ej = sj;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            size_t li = ei - si, lj = ej - sj;
            if (li != lj) return li < lj ? -1 : 1;
            for (size_t k = 0; k < li; ++k)
                if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

std::string ZZUniqueString(std::string candidate, const std::vector<std::string_view>& taken) {
    if (std::find(taken.begin(), taken.end(), std::string_view(candidate)) == taken.end()) return candidate;
    const std::string first = ZZStringByIncrementingSuffixNumberInString(candidate);
    size_t digits = first.size();
    while (digits > 0 && isDigit(first[digits - 1])) --digits;
    const std::string_view prefix(first.data(), digits);
    // The number as the increment writes it: no sign, no leading zero, short of overflowing.
    auto numberAfterPrefix = [&prefix](std::string_view name) -> long long {
        if (name.size() <= prefix.size() || name.size() - prefix.size() > 18 || name.substr(0, prefix.size()) != prefix)
            return -1;
        if (name[prefix.size()] == '0') return -1;
        long long n = 0;
        for (size_t i = prefix.size(); i < name.size(); ++i) {
            if (!isDigit(name[i])) return -1;
            n = n * 10 + (name[i] - '0');
        }
        return n;
    };
    long long next = numberAfterPrefix(first);
    if (next < 0) {
        // A number too long to count up here: one name at a time.
        const std::unordered_set<std::string_view> names(taken.begin(), taken.end());
        std::string name = first;
        while (names.count(name) != 0) name = ZZStringByIncrementingSuffixNumberInString(name);
        return name;
    }
    // The first free number is at most taken.size() after `next`: only those are marked.
    std::vector<bool> used(taken.size() + 1, false);
    for (std::string_view name : taken)
        if (const long long n = numberAfterPrefix(name); n >= next && n - next < static_cast<long long>(used.size()))
            used[static_cast<size_t>(n - next)] = true;
    size_t offset = 0;
    while (used[offset]) ++offset;
    return std::string(prefix) + std::to_string(next + static_cast<long long>(offset));
}

std::string ZZStringByIncrementingSuffixNumberInString(const std::string& s) {
    size_t end = s.size();
    while (end > 0 && isSpace(s[end - 1])) --end;
    size_t start = end;
    while (start > 0 && isDigit(s[start - 1])) --start;

    std::string prefix;
    long long n = 1;
    if (start < end) {
        prefix = s.substr(0, start);
        // A run too long for a number counts as the largest one.
        errno = 0;
        n = std::strtoll(s.c_str() + start, nullptr, 10);
        if (errno == ERANGE) n = LLONG_MAX - 1;
    } else {
        prefix = s;
    }
    if (prefix.empty() || prefix.back() != ' ') prefix += ' ';
    // The largest number stays itself (the name then cannot be incremented) instead of overflowing.
    long long next = n < 0 ? -n : n;
    if (next < LLONG_MAX) ++next;
    std::string result = prefix + foundation::format("%lld", next);
    if (result == s) FND_INTERNAL_ERROR("Error in -[NSString(ZZExtensions) stringByIncrementingSuffixNumberInString:]");
    return result;
}
