#pragma once
// The process log. Lines go to standard error unless a sink is installed; tests install a
// LogCapture to read what was logged.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

using LogSink = std::function<void(std::string_view line)>;

// Writes one line (without its line break) to the current sink. Thread-safe.
void log(std::string_view line);
// printf-style logging.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink; an empty sink restores standard error. Returns the previous sink.
LogSink setLogSink(LogSink sink);

// Collects every line logged while it lives, and restores the previous sink afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view fragment) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    LogSink previous_;
};

}  // namespace foundation
