// The sweep engine: the same sum as the pair loop, for subtitle tables whose rows can be put in
// start order, visiting about one position per qualifying pair.
//
// A pair adds something only when bs <= oe && os <= be (ordered comparisons, so a NaN bound never
// qualifies); every other pair leaves `matched` unchanged, bit for bit. The sweep:
//
//  1. Takes the subtitle rows in an order in which their starts never decrease: row order, or a
//     permutation the caller gives. Rows with a NaN start may only come last in that order; they
//     are never reached. A NaN end needs no care: such a row fails every test below.
//  2. Takes the speech rows in nondecreasing start. When the table is not in that order (rows
//     with a NaN bound are passed over: none of their pairs qualifies), the order is sorted once
//     by prepare(), and each speech row's window (step 3) is stored during the sweep and scanned
//     afterwards in row order, since `matched` must take the speech rows in row order.
//  3. A speech row's hits lie in the window [lead, started) of positions: `started` counts the
//     positions whose start is <= be (moved on from the previous row's); every position below
//     `lead` has a running maximum of the ends (`reach`, kept by fit() for each table) below the
//     current bs, which never decreases, so it can qualify for no later row either. Both bounds
//     move by counting a few comparisons at once (the orders make each count the move), not by
//     a loop whose exit no predictor learns. Inside the window os <= be holds, so a position is a
//     hit exactly when oe >= bs.
//     When both tables are in row order (the common shape), the sweep takes two passes instead.
//     The first notes every row's `started`, with the rows cut into a few stretches whose
//     cursors move in one loop, so that their chains of dependent loads overlap. The second
//     sums row by row: the hits nearly always lie in the last two started positions, which one
//     load of `reach` before them confirms, and a longer window is found from the top.
//  4. The hits of one speech row are added in subtitle row order: as they are found when the
//     order is row order, otherwise collected and sorted first. What a hit adds is the rule
//     pair loop's amount for a qualifying pair (qualifying_pair_overlap in overlap_rule.hpp); a
//     window of at most two positions puts both to the whole test and adds +0.0 for a miss,
//     which leaves `matched` (never -0.0) bit for bit as it was.
//
// The cost is one window per speech row plus its positions. Long subtitles hold `lead` back, and
// every position behind one but ending before bs is still scanned: nested long rows make windows
// long, which the engine choice weighs (overlap_ratio.cpp).
//
// Prepared use, for callers that sum one speech table against many tables of the same subtitles
// (for example the same subtitles moved by a common shift, which keeps their start order):
//
//     OverlapSweep sweep;
//     if (!sweep.prepare(c_base, base_len, other_len, order)) { /* no memory */ }
//     for each subtitle table t:   matched = sweep.sum(t);   // ratio = matched / base_total
//
//  - prepare() borrows c_base (base_len rows; start at [2r], end at [2r + 1]): the table must stay
//    alive and unchanged while sums are taken. `order` is null when the subtitle tables come in
//    start order, or a permutation of 0 .. other_len - 1 listing the rows in start order; it is
//    copied. The speech sort and every buffer are made here; false means the memory could not
//    be obtained (or other_len exceeds 32-bit row numbers), and the object must
//    not be summed with.
//  - Memory: 8 bytes a subtitle row, 8 more with an order; 12 a speech row when the speech must
//    be sorted, otherwise 4 when no order is given.
//  - sum(c_other) takes a table of other_len rows and returns `matched` over every pair, the pair
//    loop's exact bits (the caller divides by its speech total). It allocates nothing, throws
//    nothing and touches no interpreter object, so it may run without the interpreter lock; one
//    object must not be summed with from two threads at once. A table that the order does not
//    put in start order (or that has a NaN start before a number) is summed by the pair loop:
//    slower, never wrong.
#ifndef CORVELA_CORE_OVERLAP_SWEEP_HPP
#define CORVELA_CORE_OVERLAP_SWEEP_HPP

#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"

namespace corvela {

class OverlapSweep {
public:
    // Neither copied nor moved: its arrays are owned once.

    // What the caller knows of the speech table's order: kUnknown makes prepare() look.
    enum class SpeechOrder { kUnknown, kInOrder };
    bool prepare(const double* c_base, std::size_t base_len, std::size_t other_len,
                 const std::uint32_t* order, SpeechOrder speech_order = SpeechOrder::kUnknown) noexcept;

    double sum(const double* c_other) noexcept;

    // For the engine choice, which has looked the table over already: the number of positions
    // whose start is a number when the order puts `c_other` in start order, or kUnfit.
    static constexpr std::size_t kUnfit = ~std::size_t{0};
    // It also keeps the table's running maximum of the ends, which sum_fitted() reads.
    std::size_t fit(const double* c_other) noexcept;
    // Positions of the last fit() that end below an earlier position's end: each holds the
    // sweep back, so a table with many of them makes long windows.
    std::size_t held() const noexcept { return held_; }
    // True when the table of the last fit() is one the sweep wins on: at most one position in
    // kHeldShare holds it back (more lengthen its windows, which the index's tree walks past).
    static constexpr std::size_t kHeldShare = 8;
    bool worth_sweeping() const noexcept { return held_ * kHeldShare <= other_len_; }
    // sum() on the table of the last fit(), which gave `started_len` (not kUnfit).
    double sum_fitted(const double* c_other, std::size_t started_len) noexcept;

    // Bytes held beyond the tables.
    std::size_t memory_bytes() const noexcept { return bytes_; }

private:
    // sum_fitted() for subtitle rows and speech rows both in start order, the common shape
    // (sweep_row_order.cpp).
    double sum_in_row_order(const double* c_other, std::size_t started_len) const noexcept;
    // sum_fitted() for the other shapes: a window for each speech row, taken in start order
    // (sweep_windows.cpp).
    double sum_by_windows(const double* c_other, std::size_t started_len) noexcept;
    template <class Table>
    double add_window(const Table& table, double matched, double bs, double be, std::size_t lo,
                      std::size_t hi) noexcept;

    const double* c_base_ = nullptr;
    std::size_t base_len_ = 0;
    std::size_t other_len_ = 0;
    std::size_t bytes_ = 0;              // of the arrays below, as memory_bytes() reports them
    EngineArray<double> reach_;          // largest end up to each position, of the last fit()
    EngineArray<std::uint32_t> order_;   // subtitle row of each position; null: row order
    EngineArray<std::uint32_t> hits_;    // one speech row's hits, when order_ is set
    EngineArray<std::uint32_t> speech_;  // speech rows kept, in start order; null: row order
    std::size_t speech_kept_ = 0;
    std::size_t held_ = 0;
    EngineArray<std::uint32_t> windows_;  // lead, started of each speech row, when speech_ is set
    EngineArray<std::uint32_t> started_;  // started count of each speech row, when both are in order
};

// True when the speech rows that can qualify (no NaN bound) come in nondecreasing start, the
// order in which the sweep takes them without a sort. (kInOrder in prepare() means this holds.)
bool speech_in_start_order(const double* c_base, std::size_t base_len) noexcept;

// The sweep of a table whose rows are not in start order, after one sort of them by start:
// stores `matched` (the caller divides) and returns true, or returns false when the memory
// cannot be obtained or, with only_if_worth, when the sorted table is not one the sweep wins on
// (worth_sweeping). `speech`: what the caller knows of the speech order, as for prepare().
bool sweep_sorted(const double* c_base, std::size_t base_len, const double* c_other,
                  std::size_t other_len, OverlapSweep::SpeechOrder speech, bool only_if_worth,
                  double* matched) noexcept;

// The sweep on its own: puts the subtitle rows in start order first when they are not (one
// sort), stores the ratio in *result and returns true, or returns false when its memory cannot
// be obtained.
bool overlap_ratio_sweep(const double* c_base, std::size_t base_len, const double* c_other,
                         std::size_t other_len, double base_total, double* result) noexcept;

}  // namespace corvela

#endif
