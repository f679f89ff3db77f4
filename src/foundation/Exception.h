#pragma once
// Exceptions with a name and a reason, and the assertions that raise them.
//
// Programming errors throw; they never abort, so a caller (a liblo callback, the run loop, a test)
// can catch them at its boundary. Untrusted input must never reach an assertion: it is checked
// and reported as an ordinary error instead.

#include <stdexcept>
#include <string>

namespace foundation {

class Exception : public std::runtime_error {
public:
    Exception(std::string name, std::string reason, const char* file = nullptr, int line = 0);

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    // Where the exception was raised; empty and 0 when not known.
    const std::string& file() const { return file_; }
    int line() const { return line_; }

private:
    std::string name_;
    std::string reason_;
    std::string file_;
    int line_;
};

// Exception names used across the system.
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kGenericException = "NSGenericException";
inline constexpr const char* kInvalidUnarchiveOperationException = "NSInvalidUnarchiveOperationException";
inline constexpr const char* kInvalidArchiveOperationException = "NSInvalidArchiveOperationException";

// A failed assertion: the reason holds the condition's text (or the given text), the file and line.
class AssertionFailure : public Exception {
public:
    AssertionFailure(std::string reason, const char* file, int line)
        : Exception(kInternalInconsistencyException, std::move(reason), file, line) {}
};

[[noreturn]] void raiseAssertion(const std::string& reason, const char* file, int line);
[[noreturn]] void raise(const std::string& name, const std::string& reason);

}  // namespace foundation

// Asserts a condition; the reason is the condition's text.
#define FND_ASSERT(cond)                                                      \
    do {                                                                      \
        if (!(cond)) ::foundation::raiseAssertion(#cond, __FILE__, __LINE__); \
    } while (0)

// Asserts a condition about a parameter: "Invalid parameter not satisfying: <condition>".
#define FND_PARAMETER_ASSERT(cond)                                                                                 \
    do {                                                                                                           \
        if (!(cond)) ::foundation::raiseAssertion("Invalid parameter not satisfying: " #cond, __FILE__, __LINE__); \
    } while (0)

// Reports an internal error with a fixed text.
#define FND_INTERNAL_ERROR(text) ::foundation::raiseAssertion((text), __FILE__, __LINE__)
