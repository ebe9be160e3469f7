// seconds_of() must round us / 10**6 once, to nearest with ties to even, as total_seconds()
// does. Checked here in exact integer arithmetic, independently of how it is computed.
#include "exact_seconds.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

using corvela::Microseconds;
using corvela::seconds_of;

// True when d is the correctly rounded us / 10**6 (|us| > 2**50, so d's last place is a power
// of two at least 2**-20 and d * 10**6 is exact in the integers scaled by it).
bool correctly_rounded(Microseconds us, double d) {
    if ((us < 0) != (d < 0)) {
        return false;
    }
    int e = 0;
    const double f = std::frexp(std::fabs(d), &e);  // |d| = f * 2**e, f in [0.5, 1)
    const auto m = static_cast<Microseconds>(std::ldexp(f, 53));
    const int scale = 53 - e;  // |d| = m / 2**scale
    const Microseconds a = us < 0 ? -us : us;
    const Microseconds error = (a << scale) - m * 1000000;  // in units of 2**-scale microseconds
    const Microseconds half = 500000;                       // half a last place
    const Microseconds size = error < 0 ? -error : error;
    return size < half || (size == half && (m & 1) == 0);
}

TEST(ExactSeconds, RoundsOnceOnBothSidesOf2To53AndUpToTimedeltasEnds) {
    const Microseconds limit = Microseconds{1} << 53;
    std::mt19937_64 rng(53);
    for (int n = 0; n < 200000; ++n) {
        // Near 2**53, near the ends of timedelta's range, and spread between them.
        Microseconds us;
        switch (n % 4) {
            case 0: us = limit + static_cast<Microseconds>(rng() % 4096); break;
            case 1: us = corvela::kMaxMicroseconds - static_cast<Microseconds>(rng() % 4096); break;
            case 2: us = limit + static_cast<Microseconds>(rng() >> 1) * 9; break;
            default: us = corvela::kMinMicroseconds + static_cast<Microseconds>(rng() % 4096);
        }
        if (rng() & 1) {
            us = -us;
        }
        ASSERT_TRUE(correctly_rounded(us, seconds_of(us))) << static_cast<double>(us);
    }
}

TEST(ExactSeconds, TiesGoToEven) {
    // Between 2**47 and 2**48 seconds the last place is 2**-5 s, so 2**47 s + k/64 s with k odd
    // lies halfway between two doubles (k/64 s = k * 15625 us).
    for (Microseconds k : {1, 3, 5, 7, -1, -3}) {
        const Microseconds us = (Microseconds{1} << 47) * 1000000 + k * 15625;
        EXPECT_TRUE(correctly_rounded(us, seconds_of(us))) << static_cast<long long>(k);
        EXPECT_TRUE(correctly_rounded(-us, seconds_of(-us))) << static_cast<long long>(k);
    }
}

}  // namespace
