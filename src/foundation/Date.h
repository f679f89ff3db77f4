#pragma once
// Dates as seconds since the reference date 2001-01-01 00:00:00 UTC (the epoch keyed archives
// store under "NS.time"), and OSC time tags.

#include <compare>
#include <cstdint>

namespace foundation {

class Date {
public:
    // Seconds between 1970-01-01 and 2001-01-01 (UTC).
    static constexpr double kUnixToReference = 978307200.0;
    // Seconds between 1900-01-01 and 1970-01-01 (UTC), the offset of OSC time tags.
    static constexpr double kNTPToUnix = 2208988800.0;

    constexpr Date() = default;
    static constexpr Date withTimeIntervalSinceReferenceDate(double s) { return Date(s); }
    static constexpr Date withTimeIntervalSince1970(double s) { return Date(s - kUnixToReference); }
    static Date now();

    constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
    constexpr double timeIntervalSince1970() const { return seconds_ + kUnixToReference; }
    constexpr double timeIntervalSinceDate(Date other) const { return seconds_ - other.seconds_; }
    constexpr Date byAddingTimeInterval(double s) const { return Date(seconds_ + s); }

    constexpr auto operator<=>(const Date&) const = default;

private:
    constexpr explicit Date(double s) : seconds_(s) {}
    double seconds_ = 0.0;
};

// An OSC time tag: seconds since 1900-01-01 00:00 UTC and a 32-bit fraction of a second.
struct OSCTimeTag {
    uint32_t seconds = 0;
    uint32_t fraction = 0;

    // The tag that means "now".
    static constexpr OSCTimeTag immediate() { return OSCTimeTag{0, 1}; }
    constexpr bool isImmediate() const { return seconds == 0 && fraction == 1; }
    constexpr bool operator==(const OSCTimeTag&) const = default;
};

// 1900-01-01 00:00:00 UTC, the origin of time tags.
constexpr Date timeTagReferenceDate() { return Date::withTimeIntervalSince1970(-Date::kNTPToUnix); }

// The immediate tag gives `now`; any other tag gives the reference date plus seconds + fraction / 2^32.
Date dateFromTimeTag(OSCTimeTag tag, Date now);
inline Date dateFromTimeTag(OSCTimeTag tag) { return dateFromTimeTag(tag, Date::now()); }

// The tag of a date, clamped to what a tag can hold (dates before 1900 give 0, after 2036 the last tag).
OSCTimeTag timeTagFromDate(Date date);

}  // namespace foundation
