// Differential test: the indexed engine and the dispatcher against the chain loop, bit for bit,
// on random tables of many shapes and on table sizes at the edges of the implicit tree.
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
#include "table_helpers.hpp"

namespace {

using corvela_test::bits;
using corvela_test::sort_rows;

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

using Rows = std::vector<double>;  // start, end, start, end, ...

double total_of(const Rows& rows) {
    double total = 0.0;
    for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
        total = total + (rows[i + 1] - rows[i]);
    }
    return total;
}

// Compares the three entry points. A base_total of 1.0 exposes `matched` itself (the sign of a
// zero and every last bit); the real total is tried too, as the body would pass it.
void expect_same(const Rows& base, const Rows& other, const std::string& what) {
    const std::size_t n = base.size() / 2;
    const std::size_t m = other.size() / 2;
    for (const double total : {1.0, total_of(base)}) {
        const double chain = corvela::overlap_ratio_chain(base.data(), n, other.data(), m, total);
        double index = 0.0;
        ASSERT_TRUE(corvela::overlap_ratio_index(base.data(), n, other.data(), m, total, &index));
        const double dispatched = corvela::overlap_ratio(base.data(), n, other.data(), m, total);
        ASSERT_EQ(bits(index), bits(chain))
            << what << ": index " << index << ", chain " << chain << " (" << n << " x " << m << ")";
        ASSERT_EQ(bits(dispatched), bits(chain))
            << what << ": dispatcher " << dispatched << ", chain " << chain << " (" << n << " x "
            << m << ")";
    }
    pairs_compared += 2 * static_cast<std::uint64_t>(n) * m;
}

enum class Shape {
    Realistic,        // sorted segments with gaps, like speech and subtitles of real audio
    Shuffled,         // the same, rows in random order
    Nested,           // long subtitles overlapping and nesting one another
    AllOverlap,       // every subtitle covers every speech row
    Grid,             // small integers: duplicates, touching, zero-length and inverted rows
    IdenticalStarts,  // a handful of distinct starts
    Specials,         // NaN, infinities, signed zeros, huge and subnormal magnitudes mixed in
    LastBits,         // sums whose last bit depends on the order of the additions
};

const char* name_of(Shape shape) {
    switch (shape) {
    case Shape::Realistic: return "Realistic";
    case Shape::Shuffled: return "Shuffled";
    case Shape::Nested: return "Nested";
    case Shape::AllOverlap: return "AllOverlap";
    case Shape::Grid: return "Grid";
    case Shape::IdenticalStarts: return "IdenticalStarts";
    case Shape::Specials: return "Specials";
    case Shape::LastBits: return "LastBits";
    }
    return "?";
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool coin(double p) { return std::bernoulli_distribution(p)(rng_); }

    Rows realistic(std::size_t n) {
        Rows rows;
        double t = uniform(0.0, 5.0);
        for (std::size_t i = 0; i < n; ++i) {
            t += uniform(0.05, 3.0);
            const double len = uniform(0.2, 6.0);
            rows.push_back(t);
            rows.push_back(t + len);
            t += len;
        }
        return rows;
    }

    double special() {
        static const double pool[] = {nan, inf, -inf, 0.0, -0.0, 1e308, -1e308, 5e-324, -5e-324,
                                      2.2250738585072014e-308, 0.1, 0.2, 0.3, 1e16, 1.0, 10.0};
        return pool[integer(0, sizeof pool / sizeof pool[0] - 1)];
    }

    Rows make(Shape shape, std::size_t n, bool speech) {
        Rows rows;
        switch (shape) {
        case Shape::Realistic:
            return realistic(n);
        case Shape::Shuffled:
            rows = realistic(n);
            shuffle_rows(rows);
            return rows;
        case Shape::Nested:
            for (std::size_t i = 0; i < n; ++i) {
                const double mid = uniform(0.0, 100.0);
                const double half = speech ? uniform(0.1, 3.0) : uniform(0.0, 40.0);
                rows.push_back(mid - half);
                rows.push_back(mid + half);
            }
            break;
        case Shape::AllOverlap:
            for (std::size_t i = 0; i < n; ++i) {
                rows.push_back(speech ? uniform(40.0, 50.0) : uniform(0.0, 40.0));
                rows.push_back(speech ? uniform(50.0, 60.0) : uniform(60.0, 100.0));
            }
            break;
        case Shape::Grid:
            for (std::size_t i = 0; i < 2 * n; ++i) {
                rows.push_back(integer(-3, 12));
            }
            break;
        case Shape::IdenticalStarts:
            for (std::size_t i = 0; i < n; ++i) {
                rows.push_back(integer(0, 3));
                rows.push_back(uniform(-1.0, 10.0));
            }
            break;
        case Shape::Specials:
            for (std::size_t i = 0; i < 2 * n; ++i) {
                rows.push_back(coin(0.3) ? special() : integer(-5, 15));
            }
            break;
        case Shape::LastBits:
            for (std::size_t i = 0; i < n; ++i) {
                static const double ends[] = {0.1, 0.2, 0.3, 0.7, 1e-17, 3e-16, 1e16, 1.0 / 3};
                const double end = ends[integer(0, 7)];
                rows.push_back(speech ? 0.0 : -end * integer(0, 1));
                rows.push_back(speech ? end * 3 : end);
            }
            break;
        }
        if (coin(0.5)) {
            sort_rows(rows);
        }
        return rows;
    }

    void shuffle_rows(Rows& rows) {
        for (std::size_t i = rows.size() / 2; i > 1; --i) {
            const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng_);
            std::swap(rows[2 * (i - 1)], rows[2 * j]);
            std::swap(rows[2 * (i - 1) + 1], rows[2 * j + 1]);
        }
    }

private:
    std::mt19937_64 rng_;
};

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

TEST_P(RandomTables, IndexAndDispatcherMatchChain) {
    const Shape shape = GetParam();
    Generator gen(0x5eed0000u + static_cast<unsigned>(shape));
    for (const std::size_t m : edge_sizes()) {
        for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64},
                                    std::size_t{300}}) {
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

TEST_P(EdgeTables, IndexAndDispatcherMatchChain) {
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

// The dispatcher must give the chain's bits whichever engine it picks: tiny tables, dense ones
// (chain) and large sparse ones (index).
TEST(Dispatcher, MatchesChainOnEveryRoute) {
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
