#include "zz/ZZTime.h"

#include "foundation/Exception.h"
#include "foundation/Format.h"

#include <time.h>

namespace {
// The monotonic clock counts nanoseconds: a time base of 1/1 in the host's terms.
constexpr uint32_t kNumerator = 1;
constexpr uint32_t kDenominator = 1;
}  // namespace

uint64_t ZZAbsoluteTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double ZZMicrosecondsPerTick(uint32_t numerator, uint32_t denominator) {
    return denominator == 0 ? 0.0 : numerator * 0.001 / denominator;
}

double ZZSecondsPerTick(uint32_t numerator, uint32_t denominator) {
    return denominator == 0 ? 0.0 : numerator * 1e-9 / denominator;
}

double ZZMicrosecondsBetween(uint64_t start, uint64_t end) {
    static const double factor = ZZMicrosecondsPerTick(kNumerator, kDenominator);
    return static_cast<double>(end - start) * factor;
}

double ZZSecondsBetween(uint64_t start, uint64_t end) {
    static const double factor = ZZSecondsPerTick(kNumerator, kDenominator);
    return static_cast<double>(end - start) * factor;
}

void ZZRaiseSubclassResponsibility(const char* selector) {
    throw foundation::Exception("SubclassResponsibility", foundation::format("Subclass must override %s", selector));
}
