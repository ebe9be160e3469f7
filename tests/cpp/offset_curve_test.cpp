// The offset curve against the exact sum at every microsecond of small ranges.
//
// Speech bounds are multiples of 2**-16 s, so bound * 10**6 is a multiple of 1/1024 us and the
// brute force below is exact in 128-bit integers of that unit; so is the curve's evaluation on
// these tables (small whole counts, fractions of a few bits), so every value must agree exactly.
#include "offset_curve.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace {

using corvela::Microseconds;
using corvela::OffsetCurve;
using corvela::seconds_of;

constexpr Microseconds kUnitsPerMicrosecond = 1024;

struct Tables {
    std::vector<double> c_base;        // seconds
    std::vector<Microseconds> units;   // the speech bounds in 1/1024 us, exactly
    std::vector<Microseconds> c_other_us;
};

// Bounds around `origin` seconds (a multiple of 2**-16 s small enough to keep them exact).
Tables random_tables(std::mt19937_64& rng, double origin_s) {
    Tables t;
    const std::size_t speech_rows = 1 + rng() % 5;
    const std::size_t subtitle_rows = 1 + rng() % 6;
    for (std::size_t j = 0; j < 2 * speech_rows; ++j) {
        // Up to about 10.7 ms; half of them from a few values, so that rows share bounds or
        // have none between them and breakpoints of different kinds coincide.
        const auto k = static_cast<std::int64_t>(rng() % 2 ? rng() % 700 : 300 + rng() % 4);
        t.c_base.push_back(origin_s + static_cast<double>(k) / 65536.0);
        t.units.push_back(static_cast<Microseconds>(origin_s * 65536.0) * 15625 + k * 15625);
    }
    const auto origin_us = static_cast<Microseconds>(origin_s * 65536.0) * 15625 / 1024;
    for (std::size_t j = 0; j < 2 * subtitle_rows; ++j) {
        t.c_other_us.push_back(origin_us + static_cast<Microseconds>(rng() % 2 ? rng() % 11000
                                                                             : rng() % 3));
    }
    return t;
}

// The summed overlap at t in 1/1024 us: match's qualification, exact amounts.
Microseconds exact_sum(const Tables& t, Microseconds shift) {
    Microseconds sum = 0;
    for (std::size_t r = 0; 2 * r < t.c_base.size(); ++r) {
        const double bs = t.c_base[2 * r];
        const double be = t.c_base[2 * r + 1];
        for (std::size_t j = 0; 2 * j < t.c_other_us.size(); ++j) {
            const Microseconds os = t.c_other_us[2 * j] + shift;
            const Microseconds oe = t.c_other_us[2 * j + 1] + shift;
            if (bs <= seconds_of(oe) && seconds_of(os) <= be) {
                sum += std::min(t.units[2 * r + 1], oe * kUnitsPerMicrosecond) -
                       std::max(t.units[2 * r], os * kUnitsPerMicrosecond);
            }
        }
    }
    return sum;
}

void check_tables(const Tables& t, Microseconds lo, Microseconds hi) {
    const std::size_t base_len = t.c_base.size() / 2;
    const std::size_t other_len = t.c_other_us.size() / 2;
    std::vector<corvela::SpeechEdge> edges(base_len);
    corvela::speech_edges(t.c_base.data(), base_len, edges.data());
    std::vector<std::uint32_t> order(other_len);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return t.c_other_us[2 * a] < t.c_other_us[2 * b];
    });
    OffsetCurve curve;
    ASSERT_TRUE(curve.build(edges.data(), base_len, t.c_other_us.data(), other_len,
                            order.data(), lo, hi));
    std::vector<double> due;
    for (Microseconds s = lo; s <= hi; ++s) {
        due.push_back(static_cast<double>(exact_sum(t, s)) / kUnitsPerMicrosecond);
        ASSERT_EQ(curve.value_at(s), due.back()) << static_cast<long long>(s);
    }
    // Each row's own curve, summed over the rows, is the same exact sum, in units of 2**-40 us.
    corvela::EngineArray<corvela::RowPiece> pieces;
    corvela::EngineArray<std::size_t> row_first;
    corvela::WorkMeter meter;
    ASSERT_EQ(corvela::row_curves(edges.data(), base_len, t.c_other_us.data(), other_len,
                                  order.data(), lo, hi, pieces, row_first, meter),
              corvela::RowCurveStatus::kBuilt);
    for (std::size_t k = 0; k < other_len; ++k) {
        ASSERT_LT(row_first[k], row_first[k + 1]);
        ASSERT_EQ(pieces[row_first[k]].start, lo);
    }
    for (Microseconds s = lo; s <= hi; ++s) {
        corvela::CurveUnits sum = 0;
        for (std::size_t k = 0; k < other_len; ++k) {
            std::size_t m = row_first[k];
            while (m + 1 < row_first[k + 1] && pieces[m + 1].start <= s) {
                ++m;
            }
            sum += pieces[m].value +
                   corvela::CurveUnits{pieces[m].slope} * (s - pieces[m].start) * (1 << 30) * 1024;
        }
        ASSERT_TRUE(sum == exact_sum(t, s) * (1 << 30)) << static_cast<long long>(s);
    }
    const auto top = std::max_element(due.begin(), due.end());
    EXPECT_EQ(curve.maximum(), *top);
    EXPECT_EQ(curve.first_maximum(), lo + (top - due.begin()));
    // The first run within half a microsecond of the maximum.
    const double threshold = *top - 0.5;
    const auto first = std::find_if(due.begin(), due.end(), [&](double v) { return v >= threshold; });
    const auto after = std::find_if(first, due.end(), [&](double v) { return v < threshold; });
    Microseconds run_first = 0;
    Microseconds run_last = 0;
    curve.first_run_above(threshold, &run_first, &run_last);
    EXPECT_EQ(run_first, lo + (first - due.begin()));
    EXPECT_EQ(run_last, lo + (after - due.begin()) - 1);
    // The best away from that run by 40 us, first among equals.
    const Microseconds left_end = run_first - 40;
    const Microseconds right_start = run_last + 40;
    bool any = false;
    Microseconds best_at = 0;
    for (Microseconds s = lo; s <= hi; ++s) {
        if ((s <= left_end || s >= right_start) && (!any || due[s - lo] > due[best_at - lo])) {
            any = true;
            best_at = s;
        }
    }
    Microseconds at = 0;
    double value = 0.0;
    ASSERT_EQ(curve.best_outside(left_end, right_start, &at, &value), any);
    if (any) {
        EXPECT_EQ(at, best_at);
        EXPECT_EQ(value, due[best_at - lo]);
    }
}

// Near zero seconds_of divides exactly; past 2**53 us (2**33 s) it rounds to about 2 us, which
// moves where match's tests of which pairs meet change.
class OffsetCurveTest : public ::testing::TestWithParam<double> {};

TEST_P(OffsetCurveTest, EqualsTheExactSumAtEveryMicrosecond) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 7);
    for (int n = 0; n < 300; ++n) {
        const Tables t = random_tables(rng, GetParam());
        const Microseconds lo = -static_cast<Microseconds>(rng() % 12000);
        const Microseconds hi = lo + static_cast<Microseconds>(rng() % 3000);
        check_tables(t, lo, hi);
        if (HasFatalFailure() || HasFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Origins, OffsetCurveTest, ::testing::Values(0.0, 8589934592.0));

}  // namespace
