#include "zz/ZZExtensions.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

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
