#include "midi/QRBMIDIHostTime.h"

#include <ctime>
#include <limits>

namespace {
// Taken once: reading the two clocks afresh for each time stamp would add their jitter of a few
// microseconds to each date, and messages close together would change places in the monitor,
// which orders its events by date.
foundation::Date startUpDate() {
    static const foundation::Date date = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const double sinceStartUp = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
        return foundation::Date::now().byAddingTimeInterval(-sinceStartUp);
    }();
    return date;
}
}  // namespace

foundation::Date QRBDateFromMIDIHostTime(uint64_t t) {
    return startUpDate().byAddingTimeInterval(static_cast<double>(t) / 1e9);
}

uint64_t QRBMIDIHostTimeFromDate(foundation::Date d) {
    const double nanoseconds = d.timeIntervalSinceDate(startUpDate()) * 1e9;
    if (!(nanoseconds > 0)) return 0;  // NaN too
    // 2^64 as a double: anything from there up does not fit.
    if (nanoseconds >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(nanoseconds);
}
