// Hand-computed cases for the reference engine, compared by bit pattern.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "coverage.hpp"
#include "table_helpers.hpp"

namespace {

using corvela_test::bits;

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

struct Case {
    std::string name;
    std::vector<double> base;   // start, end, start, end, ...
    std::vector<double> other;  // in seconds
    double expected;
};

double total_of(const std::vector<double>& rows) {
    double total = 0.0;
    for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
        total = (rows[i + 1] - rows[i]) + total;
    }
    return total;
}

class PairLoopCases : public ::testing::TestWithParam<Case> {};

TEST_P(PairLoopCases, MatchesHandComputedValue) {
    const Case& c = GetParam();
    const double got = corvela::overlap_ratio_pairs(c.base.data(), c.base.size() / 2,
                                                    c.other.data(), c.other.size() / 2,
                                                    total_of(c.base));
    EXPECT_EQ(bits(got), bits(c.expected)) << "got " << got << ", expected " << c.expected;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PairLoopCases,
    ::testing::Values(
        Case{"subtitle_inside_speech", {0, 10}, {2, 5}, 0.3},
        Case{"overlapping_subtitles_count_twice", {0, 10}, {0, 10, 0, 10}, 2.0},
        Case{"covers_end_then_start", {0, 10, 20, 30}, {5, 25}, 0.5},
        Case{"speech_inside_subtitle", {0, 10}, {-5, 15}, 1.0},
        Case{"touching_adds_nothing", {0, 10}, {10, 20}, 0.0},
        Case{"inverted_speech", {10, 0}, {0, 10}, 1.0},
        Case{"inverted_subtitle_inside", {0, 10}, {8, 3}, -0.5},
        Case{"inverted_subtitle_after", {0, 10}, {12, 3}, 0.0},
        Case{"zero_total_zero_overlap", {1, 1}, {0, 2}, nan},
        Case{"zero_length_row", {0, 10, 5, 5}, {0, 10}, 1.0},
        Case{"nan_speech", {0, nan}, {0, 5}, nan},
        Case{"nan_subtitle_adds_nothing", {0, 10}, {nan, 5}, 0.0},
        Case{"partial_overlaps_sum", {0, 10}, {2, 4, 3, 6}, 0.5},
        Case{"negative_zero_result", {10, 0}, {20, 30}, -0.0},
        Case{"whole_inverted_subtitle", {0, 10}, {10, 0}, -1.0},
        Case{"inf_minus_inf", {0, inf}, {inf, inf}, nan},
        // Additions run in row order, which shows in the last bit.
        Case{"row_order_ascending", {0, 1}, {0, 0.1, 0, 0.2, 0, 0.3}, 0.6000000000000001},
        Case{"row_order_descending", {0, 1}, {0, 0.3, 0, 0.2, 0, 0.1}, 0.6},
        Case{"zero_total_positive_overlap", {0, 10, 10, 0}, {0, 5}, inf},
        Case{"zero_total_cancelling_overlap", {0, 10, 10, 0}, {0, 10}, nan}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(PairLoopOrder, SpeechRowOrderShowsInTotal) {
    // The total is summed by the caller; both orders go through the same division.
    const std::vector<double> up = {0, 0.1, 0, 0.2, 0, 0.3};
    const std::vector<double> down = {0, 0.3, 0, 0.2, 0, 0.1};
    const std::vector<double> other = {0, 0.15};
    EXPECT_EQ(bits(corvela::overlap_ratio_pairs(up.data(), 3, other.data(), 1, total_of(up))),
              bits(0.6666666666666666));
    EXPECT_EQ(bits(corvela::overlap_ratio_pairs(down.data(), 3, other.data(), 1, total_of(down))),
              bits(0.6666666666666667));
}

}  // namespace
