#include "foundation/Date.h"

#include <chrono>
#include <cmath>

namespace foundation {

Date Date::now() {
    using namespace std::chrono;
    auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return withTimeIntervalSince1970(static_cast<double>(since) / 1e9);
}

Date dateFromTimeTag(OSCTimeTag tag, Date now) {
    if (tag.isImmediate()) return now;
    double s = static_cast<double>(tag.seconds) + static_cast<double>(tag.fraction) / 4294967296.0;
    return timeTagReferenceDate().byAddingTimeInterval(s);
}

OSCTimeTag timeTagFromDate(Date date) {
    double s = date.timeIntervalSinceDate(timeTagReferenceDate());
    if (!(s > 0)) return OSCTimeTag{0, 0};  // also NaN
    if (s >= 4294967296.0) return OSCTimeTag{0xFFFFFFFFu, 0xFFFFFFFFu};
    double whole = std::floor(s);
    double frac = std::ldexp(s - whole, 32);
    if (frac >= 4294967295.0) frac = 4294967295.0;
    return OSCTimeTag{static_cast<uint32_t>(whole), static_cast<uint32_t>(frac)};
}

}  // namespace foundation
