// The indexed engine: the same sum as the pair loop, visiting only the pairs that can add
// something.
//
// A pair adds something only when bs <= oe && os <= be (ordered comparisons, so a NaN bound
// never qualifies). Every other pair leaves `matched` unchanged, bit for bit, so the result
// depends only on the qualifying pairs added in (speech row, subtitle row) order. The index finds
// them without testing every pair:
//
//  1. Subtitle rows with a NaN bound can never qualify and are left out. The others are sorted
//     by (start, row), i.e. a stable sort by start. `pairs_` holds them as (start, end) in that
//     order; when the table is already in start order with no NaN row, that is the table itself
//     and nothing is copied. `row_[i]` is the table row of position i when the sort moved rows.
//  2. For a speech row, the subtitles with os <= be are a prefix [0, p) of that order, found on
//     the starts by walking or galloping from the previous speech row's p.
//  3. Among the prefix, those with oe >= bs are found in an implicit interval tree laid over the
//     sorted array (the layout of Heng Li's cgranges): position x is a node of level k when its
//     k lowest bits are 1 and bit k is 0; its subtree spans [x - (2^k - 1), x + (2^k - 1)]; its
//     children are x - 2^(k-1) and x + 2^(k-1); the root is 2^K - 1 with K = floor(log2(n)).
//     `max_end_[x]` is the largest end in x's subtree (positions past the end of the array are
//     absent), so a subtree whose max_end < bs holds no hit and is skipped.
//  4. The tree is walked in order, so hits come in increasing position; subtrees of at most 31
//     positions are scanned rather than walked. When the sort moved no row, position order is
//     row order and each hit is added as it is found; otherwise the hits of one speech row are
//     collected and put in row order first.
//  5. When speech rows come in increasing start, positions whose end lies below every later
//     speech start are passed once for all by a moving lower bound, and a short window between
//     that bound and p is scanned directly instead of walking the tree.
//
// Memory per subtitle row: 8 bytes when the table is in start order without NaN rows, 24 when
// rows must be left out, 32 when they must be sorted; at most twice the 16 bytes the row takes
// in its own table. Nothing is allocated per speech row, and nothing throws: a failed allocation
// is reported by build().
#ifndef CORVELA_CORE_OVERLAP_INDEX_HPP
#define CORVELA_CORE_OVERLAP_INDEX_HPP

#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"

namespace corvela {

class OverlapIndex {
public:
    // Neither copied nor moved: its arrays are owned once.

    // Looks the subtitle table over without allocating: counts the rows that can qualify and
    // tells whether they are already in start order. Call first.
    void scan(const double* c_other, std::size_t other_len) noexcept;

    // True when the rows kept are already in start order, so build() needs no sort.
    bool in_row_order() const noexcept { return in_row_order_; }

    // Sorts the rows and lays the tree over them. False when the memory cannot be obtained (or
    // the table has more rows than 32-bit positions can address); the index is then unusable.
    bool build() noexcept;

    // The summed overlap `matched` over every pair, added in the pair loop's order.
    double sum(const double* c_base, std::size_t base_len) noexcept;

    // Bytes the index holds beyond the tables it was given.
    std::size_t memory_bytes() const noexcept { return bytes_; }

private:
    template <class Emit>
    void visit_hits(std::size_t lo, std::size_t hi, double bs, Emit&& emit) const noexcept;
    template <class Emit>
    void visit_tree(std::size_t lo, std::size_t hi, double bs, Emit&& emit) const noexcept;
    double add_row_hits(double matched, double bs, double be, std::size_t hits) noexcept;
    void build_tree() noexcept;

    double start(std::size_t j) const noexcept { return pairs_[2 * j]; }
    double end(std::size_t j) const noexcept { return pairs_[2 * j + 1]; }

    const double* c_other_ = nullptr;
    std::size_t other_len_ = 0;
    std::size_t size_ = 0;           // rows kept (no NaN bound)
    bool in_row_order_ = true;       // position order is row order
    bool all_kept_ = true;           // no row was left out
    std::size_t root_ = 0;
    unsigned root_level_ = 0;
    std::size_t bytes_ = 0;                // of the arrays below, as memory_bytes() reports them
    const double* pairs_ = nullptr;        // start, end of position 0, then of position 1, ...
    EngineArray<double> copied_pairs_;     // what pairs_ points to when rows were left out or moved
    EngineArray<double> max_end_;
    EngineArray<std::uint32_t> row_;       // only when !in_row_order_
    EngineArray<std::uint32_t> hits_;      // only when !in_row_order_
};

// The indexed engine on its own: stores the ratio in *result and returns true, or returns false
// when the index's memory cannot be obtained.
bool overlap_ratio_index(const double* c_base, std::size_t base_len, const double* c_other,
                         std::size_t other_len, double base_total, double* result) noexcept;

}  // namespace corvela

#endif
