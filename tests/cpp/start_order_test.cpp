// The one start order of the engines against a stable sort by start with NaN starts last: ties
// (signed zeros among them) and NaN starts must keep row order, for doubles and exact counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "exact_seconds.hpp"
#include "random_tables.hpp"
#include "start_order.hpp"

namespace {

using corvela::Microseconds;
using corvela_test::Generator;
using corvela_test::Rows;
using corvela_test::Shape;

template <class Start>
std::vector<std::uint32_t> stable_order(const std::vector<Start>& bounds) {
    std::vector<std::uint32_t> order(bounds.size() / 2);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&bounds](std::uint32_t a, std::uint32_t b) {
        const Start sa = bounds[2 * a];
        const Start sb = bounds[2 * b];
        return sa < sb || (!corvela::is_nan(sa) && corvela::is_nan(sb));
    });
    return order;
}

template <class Start>
std::vector<std::uint32_t> engine_order(const std::vector<Start>& bounds) {
    std::vector<std::uint32_t> order(bounds.size() / 2);
    EXPECT_TRUE(corvela::start_order(bounds.data(), order.size(), order.data()));
    return order;
}

class StartOrder : public ::testing::TestWithParam<Shape> {};

TEST_P(StartOrder, IsTheStableOrderWithNaNStartsLast) {
    Generator gen(0x5eedu + static_cast<unsigned>(GetParam()));
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{17}, std::size_t{400}}) {
        Rows rows = gen.make(GetParam(), n, false);
        gen.shuffle_rows(rows);
        EXPECT_EQ(engine_order(rows), stable_order(rows)) << n << " rows";
        // Exact counts: few distinct starts, so that most rows tie.
        std::vector<Microseconds> counts(rows.size());
        for (Microseconds& bound : counts) {
            bound = gen.integer(-4, 4) * (corvela::kMaxMicroseconds / 4);
        }
        EXPECT_EQ(engine_order(counts), stable_order(counts)) << n << " rows";
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, StartOrder,
                         ::testing::Values(Shape::Grid, Shape::IdenticalStarts, Shape::Specials,
                                           Shape::Shuffled),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return corvela_test::name_of(info.param);
                         });

// Signed zeros tie and keep row order; NaN starts of any sign come last, in row order.
TEST(StartOrderTies, SignedZerosAndNaNs) {
    const double nan = std::nan("");
    const Rows rows = {nan, 1, 0.0, 1, -nan, 2, -0.0, 3, -1.0, 4, 0.0, 5};
    EXPECT_EQ(engine_order(rows), (std::vector<std::uint32_t>{4, 1, 3, 5, 0, 2}));
}

}  // namespace
