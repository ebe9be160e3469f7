// Chooses the engine for one call. All give the same bits; only the cost differs.
#include "coverage.hpp"

#include <limits>

#include "overlap_index.hpp"
#include "overlap_sweep.hpp"

namespace corvela {

#ifndef CORVELA_PAIR_LOOP_ONLY
namespace {

// When at least this share of the pairs qualifies, the index visits nearly every pair anyway
// and its bookkeeping makes it slower than the pair loop.
constexpr double kDenseShare = 0.25;

// Rough costs in nanoseconds, measured with benchmarks/kernels.cpp (see benchmarks/KERNELS.md):
// the pair loop per pair (when its branches are well predicted; less predictable tables only
// make it slower), the index per subtitle row for a table in start order and per row and tree
// level for one it must sort, and per speech row when speech comes in start order (the sweep)
// and per row and tree level when it does not (a walk from the root).
constexpr double kPairLoopPair = 0.35;
constexpr double kBuildRow = 1.5;
constexpr double kSortRowLevel = 4.5;
constexpr double kSweepRow = 15.0;
constexpr double kQueryRowLevel = 16.0;
// The sweep: per subtitle row to look its table over, per speech row (windows and hits) when
// speech comes in start order, and per row and level of the speech sort when it does not.
constexpr double kSweepFitRow = 1.0;
constexpr double kSweepSpeechRow = 10.0;
constexpr double kSweepSortRowLevel = 1.5;
// Subtitles out of start order: the pair loop per pair, whose branches no predictor learns on
// such a table, and the sweep per row and level of the subtitle sort it then makes.
constexpr double kUnorderedPairLoopPair = 0.85;
constexpr double kSweepOrderRowLevel = 3.8;

// Rows per side of the grid sample that estimates the share of qualifying pairs.
constexpr std::size_t kGrid = 16;

// Share of qualifying pairs among an evenly spaced grid of at most kGrid x kGrid pairs. The
// exact count for sampled speech rows (#(os <= be) - #(oe < bs), by binary search in sorted
// starts and ends) would need both orders sorted before the choice is made, and on a dense table
// that sort alone costs more than the margin the index could win; the grid costs at most 256
// pair tests whatever the table sizes, and only has to tell a sparse table from a dense one:
// near the boundary the two engines cost about the same.
// Row k of the grid over a table of `len` rows: the middle of the k-th of kGrid equal parts,
// or row k itself when the table has fewer rows. The divisor is a constant, so that no
// division instruction (tens of cycles each) is spent on the grid.
inline std::size_t grid_row(std::size_t k, std::size_t len) {
    return len < kGrid ? k : ((2 * k + 1) * len) / (2 * kGrid);
}

double sampled_share(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len) {
    const std::size_t rows = base_len < kGrid ? base_len : kGrid;
    const std::size_t cols = other_len < kGrid ? other_len : kGrid;
    double os[kGrid];
    double oe[kGrid];
    for (std::size_t j = 0; j < cols; ++j) {
        const std::size_t dialog = grid_row(j, other_len);
        os[j] = c_other[2 * dialog];
        oe[j] = c_other[2 * dialog + 1];
    }
    std::size_t hits = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t speech = grid_row(i, base_len);
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        for (std::size_t j = 0; j < cols; ++j) {
            hits += static_cast<std::size_t>((bs <= oe[j]) & (os[j] <= be));
        }
    }
    return static_cast<double>(hits) / static_cast<double>(rows * cols);
}

double tree_levels(std::size_t rows) {
    double levels = 1.0;
    for (std::size_t r = rows; r > 1; r >>= 1) {
        levels += 1.0;
    }
    return levels;
}

double overlap_ratio_large(const double* c_base, std::size_t base_len, const double* c_other,
                           std::size_t other_len, double base_total, bool speech_starts_in_order) {
    const double n = static_cast<double>(base_len);
    const double m = static_cast<double>(other_len);
    const double pair_loop_cost = kPairLoopPair * n * m;
    // The cheapest index (both tables in start order) is ruled out before any table is read.
    if (m * kBuildRow + n * kSweepRow < pair_loop_cost &&
        sampled_share(c_base, base_len, c_other, other_len) < kDenseShare) {
        const bool speech_ordered =
            speech_starts_in_order || speech_in_start_order(c_base, base_len);
        const OverlapSweep::SpeechOrder speech_order =
            speech_ordered ? OverlapSweep::SpeechOrder::kInOrder : OverlapSweep::SpeechOrder::kUnknown;
        OverlapIndex index;
        bool scanned = false;
        if (!speech_ordered) {
            // The speech sort is worth making only for subtitles the sweep can take as they are.
            index.scan(c_other, other_len);
            scanned = true;
        }
        if (!scanned || index.in_row_order()) {
            const double sweep_cost =
                m * kSweepFitRow +
                n * (kSweepSpeechRow + (speech_ordered ? 0.0 : kSweepSortRowLevel * tree_levels(base_len)));
            OverlapSweep sweep;
            if (sweep_cost < pair_loop_cost && sweep.prepare(c_base, base_len, other_len, nullptr, speech_order)) {
                const std::size_t started_len = sweep.fit(c_other);
                if (started_len != OverlapSweep::kUnfit && sweep.worth_sweeping()) {
                    return sweep.sum_fitted(c_other, started_len) / base_total;
                }
            }
        }
        if (!scanned) {
            index.scan(c_other, other_len);
        }
        const double levels = tree_levels(other_len);
        const double index_cost =
            m * (index.in_row_order() ? kBuildRow : kSortRowLevel * levels) +
            n * (speech_ordered ? kSweepRow : kQueryRowLevel * levels);
        if (!index.in_row_order()) {
            // Sorted once, such a table is the sweep's again, and it sorts cheaper than the
            // index's tree; the pair loop is slower on it than on an ordered one.
            const double sorted_sweep_cost =
                m * kSweepOrderRowLevel * levels + m * kSweepFitRow +
                n * (kSweepSpeechRow + (speech_ordered ? 0.0 : kSweepSortRowLevel * tree_levels(base_len)));
            double matched = 0.0;
            if (sorted_sweep_cost < index_cost && sorted_sweep_cost < kUnorderedPairLoopPair * n * m &&
                sweep_sorted(c_base, base_len, c_other, other_len, speech_order, true, &matched)) {
                return matched / base_total;
            }
        }
        // Without the index's memory the pair loop still gives the answer.
        if (index_cost < pair_loop_cost && index.build()) {
            return index.sum(c_base, base_len) / base_total;
        }
    }
    return overlap_ratio_pairs(c_base, base_len, c_other, other_len, base_total);
}

}  // namespace
#endif

double overlap_ratio(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len, double base_total, bool speech_starts_in_order) {
#ifndef CORVELA_PAIR_LOOP_ONLY
    // Tiny tables go straight to the pair loop (a tail call), so that choosing costs them next
    // to nothing.
    if (!tiny_tables(base_len, other_len)) {
        return overlap_ratio_large(c_base, base_len, c_other, other_len, base_total,
                                   speech_starts_in_order);
    }
#else
    (void)speech_starts_in_order;
#endif
    return overlap_ratio_pairs(c_base, base_len, c_other, other_len, base_total);
}

}  // namespace corvela
