// The overlap of the speech with one subtitle table as a function of a common shift t, over
// every whole microsecond of a range [lo, hi].
//
// The curve. For speech rows [bs, be] (doubles, finite) and subtitle rows [os, oe] (exact
// microseconds), shifted by t, `match` adds for a pair
//     [bs <= seconds_of(oe + t) && seconds_of(os + t) <= be] * (min(be, OE) - max(bs, OS))
// with OS, OE the shifted bounds in seconds (the rule chain's four amounts are the cases of
// that min - max; overlap_rule.hpp). W(t), the curve maximised here, is that sum with the same
// qualification (so its jumps fall on the same whole microseconds as match's) and the amount
// taken in exact arithmetic on x = (os + t) / 10**6 and y = (oe + t) / 10**6:
//  1. The qualification is one window of t per pair: oe + t >= N(bs) and os + t <= M(be), where
//     N(v) is the least count with seconds_of(count) >= v and M(v) the greatest with
//     seconds_of(count) <= v (seconds_of never decreases).
//  2. Inside its window the amount min(be, y) - max(bs, x) is linear in t but for two kinks, at
//     be * 10**6 - oe (y reaches be) and bs * 10**6 - os (x reaches bs), where it is continuous.
//     At the ends of the window it may jump: for a well-formed pair the amount there is within
//     one rounding of zero, for an inverted row it need not be.
//  3. So W is linear on the whole microseconds between two consecutive events (a pair entering
//     or leaving its window, or the first whole microsecond past a kink), and its largest value
//     on them lies at an event or at an end of the range.
// Each amount is kept as an integer count of microseconds and a fraction of a microsecond (the
// fractional part of a speech bound times 10**6, held in units of 2**-40 us, truncated); both
// are summed exactly as integers, so W(t) is evaluated with one rounding of each part and one
// addition, whatever the order of the events: the computed W differs from the exact one by a
// few units in the last place of W and 2**-40 us a bound, far below the tolerance the search
// uses (best_offset_search.hpp).
//
// Which pairs can meet in the range is found from the subtitle starts in sorted order, the rows
// grouped by length so that no row is twice as long as another in its group: only those pairs,
// and few that miss, are looked at, however the lengths spread.
#ifndef CORVELA_CORE_OFFSET_CURVE_HPP
#define CORVELA_CORE_OFFSET_CURVE_HPP

#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"
#include "exact_seconds.hpp"
#include "stop_check.hpp"

namespace corvela {

// A speech bound times 10**6 as its floor and the fraction above it, in units of 2**-40 us.
// Bounds beyond every shifted subtitle bound are clamped to +-kCurveClamp, fraction zero.
struct ScaledBound {
    Microseconds floor;
    std::int64_t fraction;
    bool whole;  // no fraction at all: the bound is exactly floor microseconds
};

// What the curve needs of one speech row, computed once for every subtitle table and factor.
struct SpeechEdge {
    Microseconds first_after_start;  // N(bs)
    Microseconds last_before_end;    // M(be)
    ScaledBound start;
    ScaledBound end;
};

// Beyond any shifted subtitle bound: timedelta's range shifted by an offset from it.
constexpr Microseconds kCurveClamp = Microseconds{1} << 68;

// The edges of `base_len` rows (start at [2r], end at [2r + 1], every bound finite).
void speech_edges(const double* c_base, std::size_t base_len, SpeechEdge* edges) noexcept;

// A speech-like amount in seconds times 10**6, as speech bounds are held (clamped beyond
// +-kCurveClamp): what split penalties are weighed in.
ScaledBound scaled_seconds(double v) noexcept;

// Curve values in fixed point: a whole number of units of 2**-40 us, the fraction's unit, so
// that the whole and fractional parts add as one exact integer.
using CurveUnits = __int128;
constexpr int kCurveFractionBits = 40;

// The largest magnitude, in microseconds, of a row curve's value (about 36,000 years of
// overlap): below it every sum the segment search forms fits 128 bits.
constexpr Microseconds kRowCurveLimit = Microseconds{1} << 60;

// One linear piece of a row's curve, from `start` to the next piece's start (or hi).
struct RowPiece {
    Microseconds start;
    CurveUnits value;    // at start
    std::int64_t slope;  // change per microsecond, in whole microseconds (a count of pairs)
};

enum class RowCurveStatus { kBuilt, kNoMemory, kStopped, kTooLarge };

// The curve of each subtitle row alone, over [lo, hi]: the W above for a table of that one
// row, held exactly in CurveUnits (integer part and fraction summed as one integer). Rows are
// taken by start-order position k (row order[k]); the pieces of position k are
// pieces[first[k]] up to pieces[first[k + 1]], the first starting at lo. kTooLarge when a
// value reaches kRowCurveLimit in magnitude. Arguments as OffsetCurve::build's.
RowCurveStatus row_curves(const SpeechEdge* edges, std::size_t base_len,
                          const Microseconds* c_other_us, std::size_t other_len,
                          const std::uint32_t* order, Microseconds lo, Microseconds hi,
                          EngineArray<RowPiece>& pieces, EngineArray<std::size_t>& first,
                          WorkMeter& meter);

// One linear piece of a curve, from `start` to the next piece's start less one (or the end).
struct CurveSegment {
    Microseconds start;   // first whole microsecond of the segment
    Microseconds whole;   // integer part of W at `start`
    __int128 fraction;    // fractional part of W, units of 2**-40 us
    std::int64_t slope;   // change of the integer part per microsecond
};

// The readers of a curve held as segments over [lo, hi] (the first segment starting at lo): a
// whole curve, or one stretch of it built alone (cell_curve.hpp). W is linear, so monotone,
// along a segment, which the searches below use.
class CurveView {
public:
    CurveView(const CurveSegment* segments, std::size_t count, Microseconds lo,
              Microseconds hi) noexcept
        : segments_(segments), count_(count), lo_(lo), hi_(hi) {}

    // W(t) in microseconds, as computed (see above), for lo <= t <= hi.
    double value_at(Microseconds t) const noexcept;

    // The greatest W and the first whole microsecond where it is reached.
    void maximum(double* value, Microseconds* at) const noexcept;

    // The first whole microsecond t >= from with W(t) >= threshold; false when there is none.
    bool first_at_least(Microseconds from, double threshold, Microseconds* at) const noexcept;

    // The last whole microsecond of the run of W >= threshold that holds `from` (W(from) >=
    // threshold): hi when the run reaches it.
    Microseconds run_end(Microseconds from, double threshold) const noexcept;

    // The whole microsecond nearest `from` in the direction `step` (-1 or +1), `from` included,
    // at which W <= level; false when none lies in [lo, hi] that way.
    bool nearest_at_most(Microseconds from, int step, double level,
                         Microseconds* at) const noexcept;

    // The first whole microsecond with the greatest W in [lo, left_end] and [right_start, hi];
    // false when both are empty.
    bool best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                      double* value) const noexcept;

    Microseconds lo() const noexcept { return lo_; }
    Microseconds hi() const noexcept { return hi_; }

private:
    Microseconds end_of(std::size_t k) const noexcept;
    double value_in(std::size_t k, Microseconds t) const noexcept;
    std::size_t segment_of(Microseconds t) const noexcept;

    const CurveSegment* segments_;
    std::size_t count_;
    Microseconds lo_;
    Microseconds hi_;
};

namespace pairs {
struct PairIndex;
}

class OffsetCurve {
public:
    using Segment = CurveSegment;

    // Builds the curve over [lo, hi] (lo <= hi) of the speech edges against the subtitle rows
    // (2 * other_len exact bounds, every bound plus lo and plus hi within timedelta's range),
    // `order` listing the subtitle rows in nondecreasing start. False when memory runs out, or
    // when `meter` (may be null) says stop: its stopped() tells which.
    bool build(const SpeechEdge* edges, std::size_t base_len, const Microseconds* c_other_us,
               std::size_t other_len, const std::uint32_t* order, Microseconds lo,
               Microseconds hi, WorkMeter* meter = nullptr);

    // The same from subtitle rows already indexed (meeting_pairs.hpp), for curves built over
    // many stretches of one range.
    bool build(const pairs::PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
               const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
               WorkMeter& meter);

    CurveView view() const noexcept { return {segments_.data(), segment_count_, lo_, hi_}; }

    // W(t) in microseconds, as computed (see above), for lo <= t <= hi.
    double value_at(Microseconds t) const noexcept { return view().value_at(t); }

    // The greatest W over the range and the first whole microsecond where it is reached.
    double maximum() const noexcept { return maximum_; }
    Microseconds first_maximum() const noexcept { return first_maximum_; }

    // The first maximal run of whole microseconds on which W >= threshold (threshold at most
    // maximum()).
    void first_run_above(double threshold, Microseconds* first, Microseconds* last) const noexcept;

    bool nearest_at_most(Microseconds from, int step, double level,
                         Microseconds* at) const noexcept {
        return view().nearest_at_most(from, step, level, at);
    }

    bool best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                      double* value) const noexcept {
        return view().best_outside(left_end, right_start, at, value);
    }

    Microseconds lo() const noexcept { return lo_; }
    Microseconds hi() const noexcept { return hi_; }
    std::size_t segment_count() const noexcept { return segment_count_; }
    const CurveSegment* segments() const noexcept { return segments_.data(); }

private:
    struct Event {
        Microseconds at;
        Microseconds whole;
        std::int64_t slope;
        std::int64_t fraction;
    };

    // Both arrays are kept between builds, for the next factor, and grow only when it needs more.
    EngineArray<Segment> segments_;
    std::size_t segment_count_ = 0;
    EngineArray<Event> events_;
    Microseconds lo_ = 0;
    Microseconds hi_ = 0;
    double maximum_ = 0.0;
    Microseconds first_maximum_ = 0;
};

// The mean of W over every whole microsecond of [lo, hi], summed pair by pair from the pairs
// that meet there (so the same double however the curve itself is held), into *mean. False
// when `meter` says stop. The counts are held in 64 bits where they fit, unless
// `counts_in_128_bits` (the plain path, for tests): the same double either way.
bool mean_overlap(const pairs::PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
                  const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
                  WorkMeter& meter, double* mean, bool counts_in_128_bits = false);

}  // namespace corvela

#endif
