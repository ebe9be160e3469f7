// The prepared sweep as a caller that tries many shifts of one subtitle table uses it: one
// prepare, then one sum per shifted table, each with the pair loop's bits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coverage.hpp"
#include "overlap_sweep.hpp"
#include "random_tables.hpp"
#include "table_helpers.hpp"

namespace {

using namespace corvela_test;  // the shared tables and helpers of the engine tests

struct ShiftCase {
    Shape shape;
    bool speech_shuffled;   // the speech sort and the stored windows
    bool subtitles_shuffled;  // an order given by permutation, hits put in row order
};

class PreparedShifts : public ::testing::TestWithParam<ShiftCase> {};

// One prepared object serves every shift: whatever a sum leaves behind (cursors, windows, hit
// buffers) must not leak into the next.
TEST_P(PreparedShifts, EveryShiftMatchesPairLoop) {
    const ShiftCase c = GetParam();
    Generator gen(0xc0ffeeu + static_cast<unsigned>(c.shape));
    for (const std::size_t m : {std::size_t{3}, std::size_t{40}, std::size_t{700}}) {
        Rows base = gen.make(c.shape, 300, true);
        Rows other = gen.make(c.shape, m, false);
        if (c.speech_shuffled) {
            gen.shuffle_rows(base);
        }
        if (c.subtitles_shuffled) {
            gen.shuffle_rows(other);
        }
        // The order is taken once, from the unshifted rows; a common shift keeps it valid up to
        // ties that rounding makes or undoes.
        const std::vector<std::uint32_t> order = start_order(other, m);
        corvela::OverlapSweep sweep;
        ASSERT_TRUE(sweep.prepare(base.data(), 300, m, order.data()));
        for (int shift = -20; shift <= 20; ++shift) {
            Rows moved = other;
            for (double& bound : moved) {
                bound = bound + shift * 0.7;
            }
            const double pairs = corvela::overlap_ratio_pairs(base.data(), 300, moved.data(), m, 1.0);
            ASSERT_EQ(bits(sweep.sum(moved.data())), bits(pairs))
                << name_of(c.shape) << ", " << m << " subtitles, shift " << shift;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PreparedShifts,
    ::testing::Values(ShiftCase{Shape::Realistic, false, false}, ShiftCase{Shape::Realistic, true, false},
                      ShiftCase{Shape::Realistic, false, true}, ShiftCase{Shape::Realistic, true, true},
                      ShiftCase{Shape::Nested, false, false}, ShiftCase{Shape::Nested, true, true},
                      ShiftCase{Shape::Grid, false, true}, ShiftCase{Shape::Specials, true, true},
                      ShiftCase{Shape::LastBits, false, true}),
    [](const ::testing::TestParamInfo<ShiftCase>& info) {
        return std::string(name_of(info.param.shape)) + (info.param.speech_shuffled ? "_speech_shuffled" : "") +
               (info.param.subtitles_shuffled ? "_subtitles_shuffled" : "");
    });

// A table that its order does not put in start order is still summed exactly (by the pair
// loop); so is one whose NaN start comes before a number. NaN starts at the end of the order and
// NaN ends anywhere are swept.
TEST(PreparedFit, TablesOutsideTheOrderFallBack) {
    const double nan = std::nan("");
    const Rows base = {0, 10, 2, 3, 5, 20};
    const std::vector<Rows> tables = {
        {0, 4, 3, 9, 1, 2},          // out of order
        {0, 4, nan, 9, 1, 12},       // NaN start in the middle
        {0, 4, 1, nan, nan, 3},      // NaN end in the middle, NaN start last
        {nan, nan, nan, 1, nan, 2},  // nothing but NaN starts
    };
    corvela::OverlapSweep sweep;
    ASSERT_TRUE(sweep.prepare(base.data(), 3, 3, nullptr));
    EXPECT_EQ(sweep.fit(tables[0].data()), corvela::OverlapSweep::kUnfit);
    EXPECT_EQ(sweep.fit(tables[1].data()), corvela::OverlapSweep::kUnfit);
    EXPECT_EQ(sweep.fit(tables[2].data()), 2u);
    EXPECT_EQ(sweep.fit(tables[3].data()), 0u);
    for (const Rows& other : tables) {
        EXPECT_EQ(bits(sweep.sum(other.data())),
                  bits(corvela::overlap_ratio_pairs(base.data(), 3, other.data(), 3, 1.0)));
    }
}

// An order of no rows is still an order: the sweep must take the ordered path's buffers, not
// the row-order path's, which prepare() then did not make.
TEST(PreparedFit, NoSubtitleRowsWithAnOrder) {
    const Rows base = {0, 10, 2, 3, 5, 20};
    const std::uint32_t no_rows[1] = {0};
    for (const auto speech : {corvela::OverlapSweep::SpeechOrder::kInOrder,
                              corvela::OverlapSweep::SpeechOrder::kUnknown}) {
        corvela::OverlapSweep sweep;
        ASSERT_TRUE(sweep.prepare(base.data(), 3, 0, no_rows, speech));
        EXPECT_EQ(bits(sweep.sum(nullptr)), bits(0.0));
    }
}

}  // namespace
