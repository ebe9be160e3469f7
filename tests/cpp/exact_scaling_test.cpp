// scale_microseconds() must round us * factor once, to nearest with ties to even, as
// timedelta * float does, and refuse what leaves timedelta's range.
#include "exact_scaling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

using corvela::kMaxMicroseconds;
using corvela::kMinMicroseconds;
using corvela::Microseconds;
using corvela::scale_microseconds;

Microseconds scaled(Microseconds us, double factor) {
    Microseconds out = 12345;
    EXPECT_TRUE(scale_microseconds(us, factor, &out));
    return out;
}

TEST(ExactScaling, HalvesRoundToEven) {
    // Each line: us, us * 0.5 as Python rounds it.
    const long long cases[][2] = {{5, 2}, {7, 4}, {15, 8}, {1, 0}, {3, 2}, {-5, -2}, {-7, -4}, {-1, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<long long>(scaled(c[0], 0.5)), c[1]) << c[0];
    }
    EXPECT_EQ(static_cast<long long>(scaled(5, 1.5)), 8);  // 7.5
    EXPECT_EQ(static_cast<long long>(scaled(3, 1.5)), 4);  // 4.5
}

TEST(ExactScaling, UsesTheFactorsExactValueNotItsDecimal) {
    // 0.1 is 0.1000000000000000055...: 5 us * 0.1 is just above 0.5 us, so it rounds up.
    EXPECT_EQ(static_cast<long long>(scaled(5, 0.1)), 1);
    // 0.7 is 0.6999999999999999555...: 5 us * 0.7 is just below 3.5 us.
    EXPECT_EQ(static_cast<long long>(scaled(5, 0.7)), 3);
}

TEST(ExactScaling, RefusesWhatLeavesTimedeltasRange) {
    Microseconds out = 7;
    EXPECT_EQ(scaled(kMaxMicroseconds, 1.0), kMaxMicroseconds);
    EXPECT_EQ(scaled(kMinMicroseconds, 1.0), kMinMicroseconds);
    EXPECT_FALSE(scale_microseconds(kMaxMicroseconds, 1.0 + 0x1p-52, &out));
    EXPECT_FALSE(scale_microseconds(kMinMicroseconds, 1.0 + 0x1p-52, &out));
    EXPECT_FALSE(scale_microseconds(1, 0x1p67, &out));
    EXPECT_FALSE(scale_microseconds(-1, 1e300, &out));
    EXPECT_FALSE(scale_microseconds(1, INFINITY, &out));
    EXPECT_FALSE(scale_microseconds(1, NAN, &out));
    EXPECT_EQ(out, 7);  // untouched by a refusal
    EXPECT_EQ(scaled(1, 0x1p66), Microseconds{1} << 66);
    EXPECT_EQ(scaled(kMaxMicroseconds, 1e-300), 0);
    EXPECT_EQ(scaled(kMaxMicroseconds, 0x1p-1074), 0);
    // The largest magnitude on each side is not the same: 999999999 days below zero, one
    // microsecond less than 10**9 days above.
    EXPECT_EQ(scaled(kMinMicroseconds / 2, 2.0), kMinMicroseconds);
    EXPECT_FALSE(scale_microseconds(kMinMicroseconds / 2 - 1, 2.0, &out));
    EXPECT_EQ(scaled((kMaxMicroseconds - 1) / 2, 2.0), kMaxMicroseconds - 1);
    EXPECT_FALSE(scale_microseconds((kMaxMicroseconds + 1) / 2, 2.0, &out));
}

TEST(ExactScaling, RandomProductsAreWithinHalfAMicrosecond) {
    // The product's error against us * m / 2**k, in units of 2**-k us, must be at most half,
    // and exactly half only with an even result.
    std::mt19937_64 rng(67);
    for (int n = 0; n < 200000; ++n) {
        const Microseconds us = static_cast<Microseconds>(rng() >> (n % 40)) -
                                static_cast<Microseconds>(rng() >> (n % 40));
        const int k = 1 + static_cast<int>(rng() % 60);
        const auto m = static_cast<std::int64_t>((rng() >> 11) | (std::uint64_t{1} << 52));
        const double factor = std::ldexp(static_cast<double>(m), -k);
        Microseconds r = 0;
        if (!scale_microseconds(us, factor, &r)) {
            continue;
        }
        const Microseconds error = us * m - r * (Microseconds{1} << k);
        const Microseconds twice = 2 * (error < 0 ? -error : error);
        const Microseconds unit = Microseconds{1} << k;
        ASSERT_TRUE(twice < unit || (twice == unit && r % 2 == 0)) << static_cast<double>(us);
    }
}

}  // namespace
