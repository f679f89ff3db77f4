#pragma once
// printf-style string formatting. The system's texts are printf formats ("%0.2f", "%08x.%08x"),
// so they are kept and filled as they stand, always in the C locale.

#include <cstdarg>
#include <string>

namespace foundation {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);

}  // namespace foundation
