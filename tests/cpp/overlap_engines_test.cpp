// Differential test: the indexed engine, the sweep and the dispatcher against the pair loop, bit
// for bit, on random tables of many shapes and on table sizes at the edges of the implicit tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "coverage.hpp"
#include "overlap_index.hpp"
#include "overlap_sweep.hpp"
#include "random_tables.hpp"
#include "table_helpers.hpp"

namespace {

using namespace corvela_test;  // the shared tables and helpers of the engine tests

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

std::uint64_t pairs_compared = 0;

class PairCountReport : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("differential test: %llu (speech row, subtitle row) pairs compared\n",
                    static_cast<unsigned long long>(pairs_compared));
    }
};
const auto* const report = ::testing::AddGlobalTestEnvironment(new PairCountReport);

// Compares the entry points. A base_total of 1.0 exposes `matched` itself (the sign of a zero
// and every last bit); the real total is tried too, as the body would pass it. The prepared sweep
// is given the rows' start order, and no order at all (which must fall back when they are not in
// start order already).
void expect_same(const Rows& base, const Rows& other, const std::string& what) {
    const std::size_t n = base.size() / 2;
    const std::size_t m = other.size() / 2;
    const auto where = [&] { return what + " (" + std::to_string(n) + " x " + std::to_string(m) + ")"; };
    for (const double total : {1.0, total_of(base)}) {
        const double pairs = corvela::overlap_ratio_pairs(base.data(), n, other.data(), m, total);
        double index = 0.0;
        ASSERT_TRUE(corvela::overlap_ratio_index(base.data(), n, other.data(), m, total, &index));
        double sweep = 0.0;
        ASSERT_TRUE(corvela::overlap_ratio_sweep(base.data(), n, other.data(), m, total, &sweep));
        const double dispatched = corvela::overlap_ratio(base.data(), n, other.data(), m, total);
        ASSERT_EQ(bits(index), bits(pairs)) << where() << ": index " << index << ", pairs " << pairs;
        ASSERT_EQ(bits(sweep), bits(pairs)) << where() << ": sweep " << sweep << ", pairs " << pairs;
        ASSERT_EQ(bits(dispatched), bits(pairs))
            << where() << ": dispatcher " << dispatched << ", pairs " << pairs;
    }
    const double matched = corvela::overlap_ratio_pairs(base.data(), n, other.data(), m, 1.0);
    const std::vector<std::uint32_t> order = start_order(other, n * 31 + m);
    for (const std::uint32_t* given : {order.data(), static_cast<const std::uint32_t*>(nullptr)}) {
        corvela::OverlapSweep prepared;
        ASSERT_TRUE(prepared.prepare(base.data(), n, m, given));
        ASSERT_EQ(bits(prepared.sum(other.data())), bits(matched))
            << where() << ": prepared sweep, " << (given ? "start order given" : "no order");
    }
    pairs_compared += 2 * static_cast<std::uint64_t>(n) * m;
}

// Subtitle table sizes at the tree's edges: 1, 2, and 2^k - 1, 2^k, 2^k + 1.
std::vector<std::size_t> edge_sizes() {
    std::vector<std::size_t> sizes = {1, 2};
    for (unsigned k : {2u, 3u, 4u, 5u, 6u, 7u, 9u, 11u}) {
        sizes.push_back((std::size_t{1} << k) - 1);
        sizes.push_back(std::size_t{1} << k);
        sizes.push_back((std::size_t{1} << k) + 1);
    }
    return sizes;
}

class RandomTables : public ::testing::TestWithParam<Shape> {};

TEST_P(RandomTables, EnginesMatchPairLoop) {
    const Shape shape = GetParam();
    Generator gen(0x5eed0000u + static_cast<unsigned>(shape));
    for (const std::size_t m : edge_sizes()) {
        // 301 speech rows: the sweep's four stretches of rows leave one over.
        for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64},
                                    std::size_t{301}}) {
            for (int round = 0; round < 4; ++round) {
                const Rows base = gen.make(shape, n, true);
                const Rows other = gen.make(shape, m, false);
                expect_same(base, other, name_of(shape));
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RandomTables,
                         ::testing::Values(Shape::Realistic, Shape::Shuffled, Shape::Nested,
                                           Shape::AllOverlap, Shape::Grid, Shape::IdenticalStarts,
                                           Shape::Specials, Shape::LastBits),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::string(name_of(info.param));
                         });

// Large sparse inputs in which the index takes its walks through deep trees, with a few long
// subtitles that block the moving lower bound, and speech that is only mostly in order.
TEST(LargeTables, SparseWithLongRowsAndDisorder) {
    Generator gen(0xb16b00b5u);
    for (int round = 0; round < 6; ++round) {
        Rows base = gen.realistic(3000);
        Rows other = gen.realistic(4097 + round);
        for (int long_rows = 0; long_rows < round * 3; ++long_rows) {
            const std::size_t r = static_cast<std::size_t>(gen.integer(0, 4096));
            other[2 * r + 1] = other[2 * r] + gen.uniform(50.0, 2000.0);
        }
        if (round % 2 == 1) {
            // A few speech rows out of order.
            for (int swaps = 0; swaps < 20; ++swaps) {
                const std::size_t a = static_cast<std::size_t>(gen.integer(0, 2999));
                const std::size_t b = static_cast<std::size_t>(gen.integer(0, 2999));
                std::swap(base[2 * a], base[2 * b]);
                std::swap(base[2 * a + 1], base[2 * b + 1]);
            }
        }
        if (round >= 4) {
            gen.shuffle_rows(other);
        }
        expect_same(base, other, "large sparse, round " + std::to_string(round));
    }
}

// Hand-made rows that only some engines' shortcuts could get wrong.
struct Case {
    std::string name;
    Rows base;
    Rows other;
};

class EdgeTables : public ::testing::TestWithParam<Case> {};

TEST_P(EdgeTables, EnginesMatchPairLoop) {
    const Case& c = GetParam();
    expect_same(c.base, c.other, c.name);
}

Rows repeated(const Rows& row, std::size_t times) {
    Rows rows;
    for (std::size_t i = 0; i < times; ++i) {
        rows.insert(rows.end(), row.begin(), row.end());
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Shortcuts, EdgeTables,
    ::testing::Values(
        // An inverted subtitle qualifies when os <= be and oe >= bs, with a negative amount.
        Case{"inverted_subtitle_inside", {0, 10}, {8, 3, 12, 3, 2, 1}},
        // An inverted speech row qualifies only against subtitles spanning it.
        Case{"inverted_speech", {10, 0, 0, 10}, {0, 10, -5, 20, 3, 4}},
        Case{"all_nan_subtitles", {0, 10}, {nan, 5, 0, nan, nan, nan}},
        Case{"nan_speech_rows_skipped", {nan, 10, 0, 10, 0, nan}, {0, 10, 2, 3}},
        Case{"infinite_bounds", {-inf, inf, 0, inf}, {-inf, -inf, inf, inf, -inf, inf, 0, 0}},
        Case{"signed_zero_starts_tie", {-1, 1}, {0.0, 0.3, -0.0, 0.1, 0.0, 0.2}},
        Case{"touching_rows", {0, 10, 10, 20}, {10, 10, 20, 30, -5, 0}},
        // Many identical subtitles: every hit has the same start, row order decides.
        Case{"duplicates", {0, 1}, repeated({0, 0.1, 0, 0.2, 0, 0.7}, 40)},
        // One long subtitle early holds back the moving lower bound for every later row.
        Case{"long_first_subtitle", repeated({5, 6}, 3), {0, 100, 1, 2, 2, 3, 3, 4, 5, 5.5}},
        Case{"huge_and_tiny", {-1e308, 1e308, 0, 5e-324},
             {-1e308, 0, 0, 1e308, 5e-324, 1e-320, 0, 2.2250738585072014e-308}},
        // Unsorted subtitles whose hits outnumber a sixteenth of the table, and ones that do not.
        Case{"unsorted_dense_row", {0, 100, 50, 51}, {9, 90, 1, 99, 5, 95, 2, 3, 0, 100}},
        Case{"unsorted_sparse_row", {0, 1, 50, 51},
             {40, 41, 0, 0.5, 30, 31, 50.5, 52, 20, 21, 10, 11, 60, 61, 70, 71, 80, 81, 90, 91,
              45, 46, 44, 45, 43, 44, 42, 43, 41, 42, 39, 40, 38, 39, 37, 38}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The dispatcher must give the pair loop's bits whichever engine it picks: tiny tables, dense ones
// (pairs) and large sparse ones (index).
TEST(Dispatcher, MatchesPairLoopOnEveryRoute) {
    Generator gen(42);
    const Rows tiny_base = gen.realistic(3);
    const Rows tiny_other = gen.realistic(5);
    expect_same(tiny_base, tiny_other, "tiny");
    const Rows dense_base = gen.make(Shape::AllOverlap, 500, true);
    const Rows dense_other = gen.make(Shape::AllOverlap, 400, false);
    expect_same(dense_base, dense_other, "dense");
    const Rows sparse_base = gen.realistic(2000);
    const Rows sparse_other = gen.realistic(1500);
    expect_same(sparse_base, sparse_other, "sparse");
    // Subtitles out of order: sorted once for the sweep, or (nested, after the sort shows the
    // sweep would not win) left to the index.
    Rows shuffled_other = sparse_other;
    gen.shuffle_rows(shuffled_other);
    expect_same(sparse_base, shuffled_other, "shuffled subtitles");
    Rows nested_other = gen.make(Shape::Nested, 1500, false);
    gen.shuffle_rows(nested_other);
    expect_same(sparse_base, nested_other, "shuffled nested subtitles");
}

// The lead pointer of the index assumes nothing about a row it has not passed; one shuffled
// input with many speech rows per subtitle checks the sweep against repeated starts.
TEST(IndexDirect, RepeatedSpeechStarts) {
    Rows base;
    for (int i = 0; i < 200; ++i) {
        base.push_back(i / 10);
        base.push_back(i / 10 + (i % 10) * 0.5);
    }
    Generator gen(7);
    expect_same(base, gen.make(Shape::Grid, 257, false), "repeated speech starts");
}

// The index may hold at most twice what the subtitle table itself takes (16 bytes a row), so
// that a call never needs more than twice the memory of its two tables.
TEST(IndexMemory, AtMostTwiceTheSubtitleTable) {
    Generator gen(99);
    const std::size_t m = 1000;
    Rows in_order = gen.realistic(m);
    Rows with_nan = in_order;
    with_nan[2 * 10] = nan;
    Rows shuffled = in_order;
    gen.shuffle_rows(shuffled);
    struct Expectation {
        const Rows* rows;
        std::size_t bytes_per_row;
    };
    for (const Expectation& e : {Expectation{&in_order, 8}, Expectation{&with_nan, 24},
                                 Expectation{&shuffled, 32}}) {
        corvela::OverlapIndex index;
        index.scan(e.rows->data(), m);
        ASSERT_TRUE(index.build());
        EXPECT_LE(index.memory_bytes(), e.bytes_per_row * m);
        EXPECT_LE(index.memory_bytes(), 2 * 16 * m);
    }
}

}  // namespace
