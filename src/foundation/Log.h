#pragma once
// The process log. Lines go to standard error unless a sink is installed; tests install a
// LogCapture to read what was logged.
//
// Lines that a flood from outside can repeat without end (a packet refused for every packet
// that arrives, a message dropped for every message routed to a target that stopped reading)
// are logged under a kind. The first line of a kind is written whole and opens a window of
// kLogSummaryWindow seconds; the lines of that kind that follow within the window are only
// counted, and once it has ended one line tells how many there were ("… 1,234 more in the last
// second, the last: <line>"). So a flood costs two lines a second per kind instead of filling
// the disk. The summary is written before the next line of its kind, or by flushLogSummaries,
// which the program's run loop calls when a window ends (flushLogSummariesOn) and at exit.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class Clock;
class RunLoop;

using LogSink = std::function<void(std::string_view line)>;

// Writes one line (without its line break) to the current sink. Thread-safe.
void log(std::string_view line);
// printf-style logging.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink; an empty sink restores standard error. Returns the previous sink.
LogSink setLogSink(LogSink sink);

// Text that came from outside (a peer's address, type tags, names; a file's contents) as it may
// stand in a log line: between double quotes, with '"' and '\\' escaped, control characters
// (C0, DEL and C1) written as \n, \t, \r or \xNN / \u0085, and bytes that are not UTF-8 as \xNN, so
// that no sender can forge a line or drive the terminal that shows the log. Text longer than
// kLogQuotedLimit bytes is cut there and says how long it was: a line stays readable and a flood
// of long requests cannot fill the log through it.
inline constexpr size_t kLogQuotedLimit = 256;
std::string logQuoted(std::string_view text);
// The same escapes without the quotes and without a cut, for lines whose whole text is made of
// values that may have come from outside (what a log output writes of the values it received).
std::string logEscaped(std::string_view text);

// ---- lines of one kind

inline constexpr double kLogSummaryWindow = 1.0;

// While it lives, what its thread logs belongs to `kind`; a line of logf belongs to the kind
// together with its format, so that the lines one event writes are each a kind of their own.
// A call site names its kind; a number (an error number) tells its failures apart, so that the
// first of another failure is still written whole.
class LogKind {
public:
    explicit LogKind(std::string kind);
    LogKind(std::string_view site, long number);
    // A null kind leaves the lines as they are: for a call site only one of whose failures floods.
    explicit LogKind(const char* kind);
    ~LogKind();
    LogKind(const LogKind&) = delete;
    LogKind& operator=(const LogKind&) = delete;

private:
    std::string kind_;
    const std::string* previous_;
    bool active_ = true;
};

// Logs `line` as a line of `kind` (see above).
void logOfKind(std::string_view kind, std::string_view line);
// Writes the summaries of the windows that have ended, or with `all` of every window (at exit).
void flushLogSummaries(bool all = false);
// The clock windows are measured with: the system's monotonic clock unless set (tests).
void setLogClock(std::shared_ptr<Clock> clock);
// Told when a window first counts a line, on the thread that logged it, with the time (of the
// log's clock) at which that window ends. Returns the previous one.
using LogSummaryWaker = std::function<void(double windowEnd)>;
LogSummaryWaker setLogSummaryWaker(LogSummaryWaker waker);
// Has `loop` write each summary as its window ends (installs the waker). `loop` must outlive
// the process's logging, as the main run loop does.
void flushLogSummariesOn(RunLoop& loop);

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
