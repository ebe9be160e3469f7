// Exact microsecond counts of durations and their conversion to seconds.
//
// A timedelta holds a whole number of microseconds, at most 86,399,999,999,999,999,999 in
// magnitude (about 2**66.2): more than 64 bits, so counts are kept as 128-bit integers, in which
// adding a shift is exact. total_seconds() divides the exact count by 10**6 and rounds once, to
// nearest with ties to even; seconds_of() gives the same double.
#ifndef CORVELA_CORE_EXACT_SECONDS_HPP
#define CORVELA_CORE_EXACT_SECONDS_HPP

#include <cstdint>

namespace corvela {

using Microseconds = __int128;

// The range of timedelta: -999,999,999 days up to 999,999,999 days less one microsecond.
constexpr Microseconds kMicrosecondsPerDay = Microseconds{86400} * 1000000;
constexpr Microseconds kMaxTimedeltaDays = 999999999;
constexpr Microseconds kMinMicroseconds = -kMaxTimedeltaDays * kMicrosecondsPerDay;
constexpr Microseconds kMaxMicroseconds = (kMaxTimedeltaDays + 1) * kMicrosecondsPerDay - 1;

// Up to 2**53 in magnitude a count is a double exactly, and one double division by 1e6 rounds
// the quotient once, as total_seconds() does.
constexpr std::int64_t kExactDoubleLimit = std::int64_t{1} << 53;

// The whole days of a count, rounded down, as timedelta normalises it (its `days` field).
constexpr Microseconds floor_days(Microseconds us) noexcept {
    return us / kMicrosecondsPerDay - (us % kMicrosecondsPerDay < 0 ? 1 : 0);
}

// us / 10**6 rounded to the nearest double, ties to even, for any count below 2**67 in
// magnitude (timedelta's range, and any sum of two counts from it).
double seconds_of(Microseconds us) noexcept;

}  // namespace corvela

#endif
