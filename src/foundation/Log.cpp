#include "foundation/Log.h"

#include "foundation/Format.h"

#include <cstdarg>
#include <cstdio>

namespace foundation {

namespace {
std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}
LogSink& currentSink() {
    static LogSink sink;
    return sink;
}
}  // namespace

void log(std::string_view line) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(line);
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
}

void logf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    log(text);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

LogCapture::LogCapture() {
    previous_ = setLogSink([this](std::string_view line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(line);
    });
}

LogCapture::~LogCapture() { setLogSink(std::move(previous_)); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::contains(std::string_view fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
        if (l.find(fragment) != std::string::npos) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace foundation
