#include "foundation/Log.h"
#include "foundation/UTF8.h"

#include "foundation/Clock.h"
#include "foundation/Format.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <unordered_map>

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

void write(std::string_view line) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(line);
    } else {
        // A standard error that nobody reads any more fails here; the process ignores SIGPIPE,
        // and a log line is not worth more than that.
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
}

// The kind of what this thread logs now (LogKind), or none.
thread_local const std::string* currentKind = nullptr;

// The windows of the kinds, one per kind that logged lately.
struct Window {
    double end = 0.0;      // when the window closes
    size_t counted = 0;    // lines held back since its first
    std::string lastLine;  // the last of them
};

struct Summaries {
    std::mutex mutex;
    std::shared_ptr<Clock> clock;
    LogSummaryWaker waker;
    std::unordered_map<std::string, Window> windows;

    double now() { return (clock ? clock : SystemClock::shared())->now(); }
};

Summaries& summaries() {
    static Summaries* const s = new Summaries();  // logging may go on while statics are destroyed
    return *s;
}

std::string groupedThousands(size_t n) {
    std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string summaryLine(const Window& window) {
    std::string span =
        kLogSummaryWindow == 1.0 ? std::string("the last second") : format("the last %g seconds", kLogSummaryWindow);
    return format("… %s more in %s, the last: %s", groupedThousands(window.counted).c_str(), span.c_str(),
                  window.lastLine.c_str());
}

void logLine(std::string_view line, const char* format) {
    const std::string* kind = currentKind;
    if (!kind) {
        write(line);
        return;
    }
    if (!format) {
        logOfKind(*kind, line);
        return;
    }
    std::string key;
    key.reserve(kind->size() + 1 + std::char_traits<char>::length(format));
    key.append(*kind).append(1, '\x1f').append(format);
    logOfKind(key, line);
}

}  // namespace

namespace {

// Writes `shown` with control characters and bytes that are not UTF-8 escaped; between quotes, the
// quote and the backslash are escaped too so that the quoted text reads back unambiguously.
void appendEscaped(std::string& quoted, std::string_view shown, bool inQuotes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto byteEscape = [&](unsigned char c) {
        quoted += "\\x";
        quoted += kHex[c >> 4];
        quoted += kHex[c & 0xF];
    };
    const auto* bytes = reinterpret_cast<const unsigned char*>(shown.data());
    const size_t n = shown.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            switch (c) {
            case '"': quoted += inQuotes ? "\\\"" : "\""; break;
            case '\\': quoted += inQuotes ? "\\\\" : "\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    byteEscape(c);
                else
                    quoted += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence is kept; anything else is shown byte by byte.
        uint32_t code = 0;
        const size_t length = utf8SequenceLength(shown, i, &code);
        if (length == 0) {
            byteEscape(c);
            ++i;
            continue;
        }
        if (code >= 0x80 && code <= 0x9F) {
            // C1 controls (CSI among them) drive terminals as ESC sequences do.
            quoted += "\\u00";
            quoted += kHex[code >> 4];
            quoted += kHex[code & 0xF];
        } else {
            quoted.append(shown.substr(i, length));
        }
        i += length;
    }
}

}  // namespace

std::string logQuoted(std::string_view text) {
    const std::string_view shown = text.substr(0, kLogQuotedLimit);
    std::string quoted;
    quoted.reserve(shown.size() + 2);
    quoted += '"';
    appendEscaped(quoted, shown, true);
    quoted += '"';
    if (text.size() > shown.size()) quoted += format("… (%zu bytes)", text.size());
    return quoted;
}

std::string logEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    appendEscaped(escaped, text, false);
    return escaped;
}

void log(std::string_view line) { logLine(line, nullptr); }

void logf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    logLine(text, format);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

// ---- lines of one kind

LogKind::LogKind(std::string kind) : kind_(std::move(kind)), previous_(currentKind) { currentKind = &kind_; }

LogKind::LogKind(std::string_view site, long number)
    : LogKind(format("%.*s %ld", int(site.size()), site.data(), number)) {}

LogKind::LogKind(const char* kind) : previous_(currentKind), active_(kind != nullptr) {
    if (!active_) return;
    kind_ = kind;
    currentKind = &kind_;
}

LogKind::~LogKind() {
    if (active_) currentKind = previous_;
}

void logOfKind(std::string_view kind, std::string_view line) {
    Summaries& s = summaries();
    std::string summary;
    LogSummaryWaker waker;
    double windowEnd = 0.0;
    bool heldBack = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const double now = s.now();
        auto [it, added] = s.windows.try_emplace(std::string(kind));
        Window& window = it->second;
        if (!added && now < window.end) {
            // Held back: counted for the window's summary.
            heldBack = true;
            window.lastLine.assign(line);
            if (++window.counted == 1 && s.waker) {
                waker = s.waker;
                windowEnd = window.end;
            }
        } else {
            // The first of its kind, or the first after its window ended: written whole, after
            // the summary of the window that ended.
            if (window.counted > 0) summary = summaryLine(window);
            window = Window{now + kLogSummaryWindow, 0, {}};
        }
    }
    if (heldBack) {
        if (waker) waker(windowEnd);
        return;
    }
    if (!summary.empty()) write(summary);
    write(line);
}

void flushLogSummaries(bool all) {
    Summaries& s = summaries();
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const double now = s.now();
        for (auto it = s.windows.begin(); it != s.windows.end();) {
            Window& window = it->second;
            const bool ended = now >= window.end;
            if (!ended && !all) {
                ++it;
                continue;
            }
            if (window.counted > 0) lines.push_back(summaryLine(window));
            // A window that ended is forgotten, so that the next line of its kind is written
            // whole; one still open at exit only loses its count, which was just written.
            if (ended) {
                it = s.windows.erase(it);
            } else {
                window.counted = 0;
                window.lastLine.clear();
                ++it;
            }
        }
    }
    for (const auto& line : lines) write(line);
}

void setLogClock(std::shared_ptr<Clock> clock) {
    Summaries& s = summaries();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.clock = std::move(clock);
    s.windows.clear();
}

LogSummaryWaker setLogSummaryWaker(LogSummaryWaker waker) {
    Summaries& s = summaries();
    std::lock_guard<std::mutex> lock(s.mutex);
    LogSummaryWaker previous = std::move(s.waker);
    s.waker = std::move(waker);
    return previous;
}

void flushLogSummariesOn(RunLoop& loop) {
    RunLoop* target = &loop;
    setLogSummaryWaker([target](double windowEnd) {
        // The waker may be told on any thread; the timer is made on the loop's own.
        target->post([target, windowEnd] {
            // A little after the end, so that the window has ended by the clock the log reads.
            const double delay = std::max(0.0, windowEnd - summaries().now()) + 0.001;
            target->scheduleTimer(delay, false, RunLoopMode::Common, [](Timer&) { flushLogSummaries(); });
        });
    });
}

// ---- capture

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
