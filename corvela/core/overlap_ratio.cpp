// Chooses the engine for one call. Both give the same bits; only the cost differs.
#include "coverage.hpp"
#include "overlap_index.hpp"

namespace corvela {

#ifndef CORVELA_CHAIN_ONLY
namespace {

// Figures measured with benchmarks/kernels.cpp (see benchmarks/KERNELS.md).

// Below this many pairs the chain loop finishes before the index would be built.
constexpr double kTinyPairs = 2048.0;

// When at least this share of the pairs qualifies, the index visits nearly every pair anyway
// and its bookkeeping makes it slower than the chain loop.
constexpr double kDenseShare = 0.25;

// Building the index over a table already in start order costs about as much as a few chain
// passes over it; sorting costs about as much as this many passes per tree level (the chain's
// cost per pair varies fourfold with how well its branches are predicted; this is the middle).
// With fewer speech rows than that the chain loop is cheaper.
constexpr double kBuildRows = 4.0;
constexpr double kSortRowsPerLevel = 3.0;

// Rows per side of the grid sample that estimates the share of qualifying pairs.
constexpr std::size_t kGrid = 16;

// Share of qualifying pairs among an evenly spaced grid of at most kGrid x kGrid pairs. The
// exact count for sampled speech rows (#(os <= be) - #(oe < bs), by binary search in sorted
// starts and ends) would need both orders sorted before the choice is made, and on a dense table
// that sort alone costs more than the margin the index could win; the grid costs at most 256
// pair tests whatever the table sizes, and only has to tell a sparse table from a dense one:
// near the boundary the two engines cost about the same.
double sampled_share(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len) {
    const std::size_t rows = base_len < kGrid ? base_len : kGrid;
    const std::size_t cols = other_len < kGrid ? other_len : kGrid;
    std::size_t hits = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t speech = ((2 * i + 1) * base_len) / (2 * rows);
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        for (std::size_t j = 0; j < cols; ++j) {
            const std::size_t dialog = ((2 * j + 1) * other_len) / (2 * cols);
            hits += (bs <= c_other[2 * dialog + 1]) & (c_other[2 * dialog] <= be);
        }
    }
    return static_cast<double>(hits) / static_cast<double>(rows * cols);
}

double level_count(std::size_t rows) {
    double levels = 1.0;
    for (std::size_t r = rows; r > 1; r >>= 1) {
        levels += 1.0;
    }
    return levels;
}

}  // namespace
#endif

double overlap_ratio(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len, double base_total) {
#ifndef CORVELA_CHAIN_ONLY
    const double pairs = static_cast<double>(base_len) * static_cast<double>(other_len);
    if (pairs > kTinyPairs && static_cast<double>(base_len) > kBuildRows &&
        sampled_share(c_base, base_len, c_other, other_len) < kDenseShare) {
        OverlapIndex index;
        index.scan(c_other, other_len);
        const bool worth_sorting =
            index.in_row_order() ||
            static_cast<double>(base_len) > kSortRowsPerLevel * level_count(other_len);
        // Without the index's memory the chain loop still gives the answer.
        if (worth_sorting && index.build()) {
            return index.sum(c_base, base_len) / base_total;
        }
    }
#endif
    return overlap_ratio_chain(c_base, base_len, c_other, other_len, base_total);
}

}  // namespace corvela
