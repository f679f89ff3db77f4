#include "zz/ZZSystem.h"

#include <sys/utsname.h>
#include <cstdlib>
#include <mutex>

void ZZParseVersion(const std::string& text, int* major, int* minor, int* patch) {
    int parts[3] = {0, 0, 0};
    const char* p = text.c_str();
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9') break;
        long v = std::strtol(p, const_cast<char**>(&p), 10);
        parts[i] = v > 1000000 ? 1000000 : static_cast<int>(v);
        if (*p != '.') break;
        ++p;
    }
    if (major) *major = parts[0];
    if (minor) *minor = parts[1];
    if (patch) *patch = parts[2];
}

void GetSystemVersion(int* major, int* minor, int* patch) {
    static int parts[3];
    static std::once_flag once;
    std::call_once(once, [] {
        utsname u{};
        if (uname(&u) == 0) ZZParseVersion(u.release, &parts[0], &parts[1], &parts[2]);
    });
    if (major) *major = parts[0];
    if (minor) *minor = parts[1];
    if (patch) *patch = parts[2];
}
