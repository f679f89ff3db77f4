#include "foundation/Format.h"

#include <locale.h>
#include <cstdio>

namespace foundation {

namespace {
// The system's texts and files use the C conventions ("0.50", never "0,50"), whatever locale a
// user interface sets for the process.
class CLocaleScope {
public:
    CLocaleScope() {
        static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        previous_ = c ? uselocale(c) : static_cast<locale_t>(0);
    }
    ~CLocaleScope() {
        if (previous_) uselocale(previous_);
    }

private:
    locale_t previous_;
};
}  // namespace

std::string vformat(const char* fmt, va_list args) {
    CLocaleScope cLocale;
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    return out;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = vformat(fmt, args);
    va_end(args);
    return s;
}

}  // namespace foundation
