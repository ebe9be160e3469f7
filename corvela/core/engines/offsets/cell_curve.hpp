// The offset curve of a wide range, built only where its answers can lie.
//
// The range [lo, hi] is cut into cells of `width` whole microseconds, [lo + k * width,
// lo + (k + 1) * width - 1] (the last one cut at hi). For each cell an upper bound of W over it
// comes from one pass over the pairs that meet in the range, without building the curve. Then
// the exact curve (offset_curve.hpp) is built over the cells whose bound reaches what is
// looked for, stretch by stretch, and kept; every reader below gives what the reader of the
// whole curve gives, bit for bit, because a stretch built alone holds the same integer sums,
// so the same values, at every microsecond.
//
// The bound. For a pair at t, W adds, inside the pair's window of offsets and 0 outside it,
//     amount(t) = min(be, oe + t) - max(bs, os + t)
// (exact, in microseconds; offset_curve.hpp). For t in [a, a + width], oe + t <= oe + width + a
// and os + t >= os + a, so
//     amount(t) <= min(be, oe + width + a) - max(bs, os + a) <= D(a),
//     D(a) = max(0, min(be - bs, oe + width - os, a - (bs - oe - width), (be - os) - a)),
// whatever the signs (inverted rows included), and 0 <= D(a) outside the window. So the sum of
// D over the pairs that meet in the range, at the cell's first offset a, bounds W on the cell.
// D is a trapezoid in a; taken with its corners moved outwards to whole microseconds (the
// speech bounds' floor and ceiling) it is a sum of four ramps max(0, a - p), and the ramps of
// every pair are summed at every cell's first offset by counting, in one pass: O(1) a pair,
// however many cells it spans. The sums are exact integers; as a double each is raised by a
// relative 2**-48 and 2**-20 us, above the rounding of any value W is computed to.
#ifndef CORVELA_CORE_CELL_CURVE_HPP
#define CORVELA_CORE_CELL_CURVE_HPP

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

    // Whether a range is wide enough for cells to pay: ten minutes or more. Below that the
    // whole curve is cheap (+-60 s of a film: about 100,000 events) and the cells' overhead
    // would show.
    static bool pays(Microseconds lo, Microseconds hi) noexcept {
        return hi - lo + 1 >= 24000 * kCellWidth;
    }

    // The bounds of every cell over [lo, hi] (lo <= hi), then the exact curve where the maximum
    // can lie. The arguments as OffsetCurve::build's, with the subtitle rows indexed; they must
    // stay as they are while the curve is read. False when memory runs out or `meter` says
    // stop (its stopped() tells which); the readers may build more and fail the same way, each
    // with `ok()` false afterwards.
    bool build(const pairs::PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
               const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
               WorkMeter& meter);

    bool ok() const noexcept { return ok_; }

    // The readers of OffsetCurve, with its answers. They may build stretches they need, and are
    // not noexcept: a build may ask the stop check.
    double maximum() const noexcept { return maximum_; }
    void first_run_above(double threshold, Microseconds* first, Microseconds* last);
    bool nearest_at_most(Microseconds from, int step, double level, Microseconds* at);
    bool best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                      double* value);

    Microseconds lo() const noexcept { return lo_; }
    Microseconds hi() const noexcept { return hi_; }

    // How many cells there are, how many have been built, and each one's first offset and
    // bound: for tests and benchmarks.
    std::size_t cell_count() const noexcept { return cell_count_; }
    std::size_t built_cells() const noexcept { return built_; }
    Microseconds cell_start(std::size_t k) const noexcept { return lo_ + width_ * k; }
    double bound(std::size_t k) const noexcept { return bound_[k]; }

private:
    struct Stretch {
        std::size_t first_cell;
        std::size_t last_cell;
        std::size_t first_segment;
        std::size_t segment_count;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    Microseconds cell_end(std::size_t k) const noexcept;
    std::size_t cell_of(Microseconds t) const noexcept;
    CurveView view(std::size_t stretch) const noexcept;
    // Builds cells first..last that are not built yet; false on failure.
    bool build_cells(std::size_t first, std::size_t last);
    // Builds every cell in [first, last] whose bound is at least `floor`.
    bool build_reaching(std::size_t first, std::size_t last, double floor);
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
    std::size_t built_ = 0;
    bool ok_ = true;
    double maximum_ = 0.0;

    EngineArray<double> bound_;           // per cell: W <= bound_ there
    EngineArray<std::size_t> stretch_of_;  // per cell: its stretch, or kNone
    EngineArray<Stretch> stretches_;
    std::size_t stretch_count_ = 0;
    EngineArray<CurveSegment> segments_;  // every stretch's, one after another
    std::size_t segment_count_ = 0;
    OffsetCurve builder_;
};

}  // namespace corvela

#endif
