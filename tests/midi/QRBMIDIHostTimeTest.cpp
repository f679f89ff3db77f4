// Host times of MIDI time stamps and wall-clock dates.

#include "midi/QRBMIDIHostTime.h"
#include "midi/QRBMIDIManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(QRBMIDIHostTime, DatesAndHostTimesConvertBothWays) {
    // No MIDI system: the current host time is the monotonic clock's.
    const uint64_t now = QRBCurrentMIDIHostTime();
    EXPECT_NEAR(QRBDateFromMIDIHostTime(now).timeIntervalSinceDate(foundation::Date::now()), 0.0, 0.5);
    const uint64_t back = QRBMIDIHostTimeFromDate(QRBDateFromMIDIHostTime(now));
    // Dates are seconds in a double: a microsecond is well within their precision today.
    EXPECT_LT(back > now ? back - now : now - back, 1000u);
    // Later host times are later dates, however close.
    EXPECT_LT(QRBDateFromMIDIHostTime(now).timeIntervalSinceReferenceDate(),
              QRBDateFromMIDIHostTime(now + 1000).timeIntervalSinceReferenceDate());
}

TEST(QRBMIDIHostTime, DatesOutsideTheHostClockAreClamped) {
    EXPECT_EQ(QRBMIDIHostTimeFromDate(foundation::Date::withTimeIntervalSince1970(0)), 0u);
    EXPECT_EQ(QRBMIDIHostTimeFromDate(foundation::Date::withTimeIntervalSinceReferenceDate(NAN)), 0u);
    EXPECT_EQ(QRBMIDIHostTimeFromDate(foundation::Date::withTimeIntervalSinceReferenceDate(1e300)),
              std::numeric_limits<uint64_t>::max());
}

}  // namespace
