#include "foundation/Exception.h"

#include <cstring>

namespace foundation {

namespace {
std::string whatText(const std::string& name, const std::string& reason, const char* file, int line) {
    std::string text = name + ": " + reason;
    if (file && *file) {
        const char* base = std::strrchr(file, '/');
        text += " (" + std::string(base ? base + 1 : file) + ":" + std::to_string(line) + ")";
    }
    return text;
}
}  // namespace

Exception::Exception(std::string name, std::string reason, const char* file, int line)
    : std::runtime_error(whatText(name, reason, file, line)),
      name_(std::move(name)),
      reason_(std::move(reason)),
      file_(file ? file : ""),
      line_(line) {}

void raiseAssertion(const std::string& reason, const char* file, int line) {
    throw AssertionFailure(reason, file, line);
}

void raise(const std::string& name, const std::string& reason) { throw Exception(name, reason); }

}  // namespace foundation
