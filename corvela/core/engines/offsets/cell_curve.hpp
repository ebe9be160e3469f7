// The offset curve of a wide range, built only where its answers can lie.
//
// The range [lo, hi] is cut into cells of `width` whole microseconds, [lo + k * width,
// lo + (k + 1) * width - 1] (the last one cut at hi). For each cell an upper bound of W over it,
// and a lower one, come from one pass over the pairs that meet in the range, without building
// the curve. Then the exact curve (offset_curve.hpp) is built over the cells whose bounds
// allow what is looked for, a stretch at a time, and let go; every reader below gives what the
// reader of the whole curve gives, bit for bit, because a stretch built alone holds the same
// integer sums, so the same values, at every microsecond.
//
// The bounds. For a pair at t, W adds, inside the pair's window of offsets and 0 outside it,
//     amount(t) = min(be, oe + t) - max(bs, os + t)
// (exact, in microseconds; offset_curve.hpp). Where both rows end no earlier than they start
// this is the trapezoid
//     T(t) = ramp(t - (bs - oe)) - ramp(t - (be - oe)) - ramp(t - (bs - os)) + ramp(t - (be - os)),
// ramp(z) = max(0, z) (since ramp(t - min(u, v)) + ramp(t - max(u, v)) = ramp(t - u) +
// ramp(t - v)), and 0 <= T. A pair with a row that ends before it starts adds at most
// oe - os < 0 or be - bs < 0 wherever it meets: 0 bounds it from above, so it is left out (a
// subtitle row is taken with oe = os, whose ramps cancel). With the speech bounds moved out to
// whole microseconds (floor(bs), ceil(be)) every amount only grows, by less than 1 us for each
// bound that moved, so
//     U(t) = sum over the pairs of T with bs, be moved out
// lies at or above W, and, where no row ends before it starts, at most `moved` above it:
// `moved` counts a microsecond for each pair and each of its speech bounds that moved.
// U is piecewise linear between whole-microsecond corners, each corner p adding sign(p) to
// the slope from p on: +1 for bs - oe and be - os, -1 for the other two. One pass over the
// pairs counts, for each cell, the corners that lie in it, rising and falling, and the sum of
// their signed rests (p - the cell's first offset); U at every cell's first offset a, and its
// slope just before a, follow exactly by running sums. Over the cell [a, a + width], with
// slope s before a, `rising` and `falling` corners in it and U(a + width) = B, the slope stays
// within [s - falling, s + rising], so
//     U(t) <= min(U(a) + (s + rising) * (t - a), B + (falling - s) * (a + width - t))
//     U(t) >= max(U(a) + (s - falling) * (t - a), B - (s + rising) * (a + width - t)),
// the first the least where the two lines cross (or at an end, when one slope is not above
// 0), the second likewise. The upper bound holds W from above; the lower one, less `moved`,
// holds it from below where no row is inverted (otherwise there is none). The sums are exact
// integers; as doubles the bounds move out by a relative 2**-46 of their terms and 2**-20 us,
// beyond their own rounding and the rounding of any value W is computed to. A cell's bounds
// stay within about (its corners) * width / 2 of W, so cells widen where the corners are
// sparse: each cell costs its own work, corners or not.
#ifndef CORVELA_CORE_CELL_CURVE_HPP
#define CORVELA_CORE_CELL_CURVE_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"
#include "exact_seconds.hpp"
#include "meeting_pairs.hpp"
#include "offset_curve.hpp"
#include "stop_check.hpp"

namespace corvela {

class CellCurve {
public:
    // Cells of this many microseconds (25 ms) unless the range needs more than kMostCells of
    // them, in which case they widen to keep the count there.
    static constexpr Microseconds kCellWidth = 25000;
    static constexpr std::size_t kMostCells = std::size_t{1} << 20;
    // Where the pairs are few, cells widen, up to kWidestCell, to hold about kCornersPerCell of
    // their corners.
    static constexpr double kCornersPerCell = 128.0;
    static constexpr Microseconds kWidestCell = 500000;
    // About the most events one stretch is built from (some 450 MB), as the pairs' density
    // over the range predicts them; a single cell may need more.
    static constexpr std::size_t kMostEvents = std::size_t{1} << 22;

    // Whether cells pay, for `pairs` of rows that can meet in the range (count_pairs): for a
    // range of ten minutes or more, or ten pairs a speech row or more. Each stretch the cells
    // build looks at every speech row, and a search builds several: with fewer pairs than
    // that the whole curve is cheaper (100,000 rows a side at +-1 s: some 1.3 pairs a row,
    // twice as fast whole); with more, the whole curve is slower and holds the events of every
    // pair at once (100,000 rows at +-60 s: 0.74 GB whole, 85 MB by cells).
    static bool pays(Microseconds lo, Microseconds hi, std::size_t base_len,
                     std::size_t pairs) noexcept {
        return hi - lo + 1 >= 24000 * kCellWidth ||
               static_cast<double>(pairs) >= 10.0 * static_cast<double>(base_len);
    }

    // About how many pairs of rows (speech, subtitle) may meet in [lo, hi], into *pairs: from
    // some 1,000 speech rows spread over the table. False when `meter` says stop.
    static bool count_pairs(const pairs::PairIndex& index, const SpeechEdge* edges,
                            std::size_t base_len, const Microseconds* c_other_us,
                            Microseconds lo, Microseconds hi, WorkMeter& meter,
                            std::size_t* pairs);

    // The bounds of every cell over [lo, hi] (lo <= hi), then the maximum. The arguments as
    // OffsetCurve::build's, with the subtitle rows indexed; they must stay as they are while
    // the curve is read. False when memory runs out or `meter` says stop (its stopped() tells
    // which); the readers build stretches too and fail the same way, each with `ok()` false
    // afterwards.
    bool build(const pairs::PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
               const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
               WorkMeter& meter);

    bool ok() const noexcept { return ok_; }

    // The readers of OffsetCurve, with its answers. Each builds the stretches it needs one at
    // a time and keeps none, so the memory is one stretch's however many are built.
    double maximum() const noexcept { return maximum_; }
    void first_run_above(double threshold, Microseconds* first, Microseconds* last);
    bool nearest_at_most(Microseconds from, int step, double level, Microseconds* at);
    bool best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                      double* value);

    Microseconds lo() const noexcept { return lo_; }
    Microseconds hi() const noexcept { return hi_; }

    // How many cells there are, how many have been built (counting each time), and each one's
    // first offset and bound: for tests and benchmarks.
    std::size_t cell_count() const noexcept { return cell_count_; }
    std::size_t built_cells() const noexcept { return built_; }
    Microseconds cell_start(std::size_t k) const noexcept { return lo_ + width_ * k; }
    double bound(std::size_t k) const noexcept { return bound_[k]; }
    // A lower bound of W over cell k: -inf where the tables hold rows that end before they
    // start.
    double lower_bound(std::size_t k) const noexcept {
        return has_lower_ ? lower_[k] : -HUGE_VAL;
    }
    // At most this many cells a stretch, for tests of the stretches' edges (set before build).
    void set_longest_stretch(std::size_t cells) noexcept { stretch_cap_ = cells; }
    // The corners counted in 64 bits (1) or their rests summed in 128 (2) however few they
    // are, for tests that the narrow counts give the same bounds (set before build).
    void set_wider_counts(int level) noexcept { wider_counts_ = level; }

private:
    Microseconds cell_end(std::size_t k) const noexcept;
    std::size_t cell_of(Microseconds t) const noexcept;
    // Builds cells first..last as one stretch (builder_); false on failure.
    bool build_stretch(std::size_t first, std::size_t last);
    // Calls look(builder_.view()) on stretches that cover, in order, every cell of
    // [first, last] whose bound reaches `floor` (which `look` may raise as it goes); stops when
    // look returns false. False on failure.
    template <class Look>
    bool each_reaching(std::size_t first, std::size_t last, const double& floor, Look&& look);
    bool cell_bounds(WorkMeter& meter);

    const pairs::PairIndex* index_ = nullptr;
    const SpeechEdge* edges_ = nullptr;
    std::size_t base_len_ = 0;
    const Microseconds* c_other_us_ = nullptr;
    WorkMeter* meter_ = nullptr;
    Microseconds lo_ = 0;
    Microseconds hi_ = 0;
    Microseconds width_ = kCellWidth;
    std::size_t cell_count_ = 0;
    std::size_t longest_stretch_ = 1;  // in cells, from kMostEvents and the pairs' density
    std::size_t stretch_cap_ = static_cast<std::size_t>(-1);
    int wider_counts_ = 0;
    std::size_t built_ = 0;
    bool ok_ = true;
    double maximum_ = 0.0;

    EngineArray<double> bound_;  // per cell: W <= bound_ there
    EngineArray<double> lower_;  // and lower_ <= W, where has_lower_
    bool has_lower_ = false;
    OffsetCurve builder_;
};

}  // namespace corvela

#endif
