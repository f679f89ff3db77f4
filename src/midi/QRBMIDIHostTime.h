#pragma once
// MIDI time stamps are host times: nanoseconds of CLOCK_MONOTONIC, which counts from system
// start-up. These turn them into wall-clock dates and back.

#include "foundation/Date.h"

#include <cstdint>

// The start-up date (now minus the monotonic clock) plus t nanoseconds.
foundation::Date QRBDateFromMIDIHostTime(uint64_t t);
// Nanoseconds from the start-up date to d. A date before start-up gives 0, and one beyond what 64
// bits hold gives the largest host time: a date from a document never wraps round.
uint64_t QRBMIDIHostTimeFromDate(foundation::Date d);
