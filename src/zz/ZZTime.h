#pragma once
// The host's absolute tick counter and conversions of tick spans, and the raiser that ends
// every abstract method.

#include <cstdint>

// Ticks of the monotonic clock (nanoseconds on Linux).
uint64_t ZZAbsoluteTime();
// end − start, taken as an unsigned difference: an end before the start gives a huge value.
double ZZMicrosecondsBetween(uint64_t start, uint64_t end);
double ZZSecondsBetween(uint64_t start, uint64_t end);

// The factors for a time base of numerator/denominator (what the host reports); exposed so the
// conversion can be checked against other bases.
double ZZMicrosecondsPerTick(uint32_t numerator, uint32_t denominator);
double ZZSecondsPerTick(uint32_t numerator, uint32_t denominator);

// Raises "SubclassResponsibility" with "Subclass must override <selector>".
[[noreturn]] void ZZRaiseSubclassResponsibility(const char* selector);
