// Building the offset curve from the pairs that meet in the range, and reading it.
#include "offset_curve.hpp"

#include <algorithm>
#include <cmath>

#include "meeting_pairs.hpp"

namespace corvela {

namespace {

using namespace pairs;
using Unsigned = unsigned __int128;

// Fractions of a microsecond are kept in units of 2**-40 us, truncated (under 1e-18 s a bound):
// the sum of up to 2**23 of them still fits 64 bits, which keeps its conversion one instruction.
constexpr int kFractionBits = 40;
constexpr std::int64_t kOneMicrosecond = std::int64_t{1} << kFractionBits;
constexpr double kUnit = 1.0 / static_cast<double>(kOneMicrosecond);

// The nearest double, through the one-instruction conversion when the value fits 64 bits (the
// same rounding as the 128-bit conversion, which is a library call).
double to_double(__int128 v) noexcept {
    if (v >= INT64_MIN && v <= INT64_MAX) {
        return static_cast<double>(static_cast<std::int64_t>(v));
    }
    return static_cast<double>(v);
}

ScaledBound scaled_bound(double v) noexcept {
    const double limit = std::ldexp(1.0, 68) / 1e6;
    if (v >= limit) {
        return {kCurveClamp, 0, true};
    }
    if (v <= -limit) {
        return {-kCurveClamp, 0, true};
    }
    if (v == 0.0) {
        return {0, 0, true};
    }
    // |v| = m / 2**shift exactly, so |v| * 10**6 = m * 10**6 / 2**shift with m * 10**6 < 2**73;
    // |v| < 2**48.1 makes shift at least 5.
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(v), &exponent);
    const auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = 53 - exponent;
    const Unsigned product = Unsigned{m} * 1000000u;
    Unsigned quotient = 0;
    Unsigned rest = product;
    if (shift < 128) {
        quotient = product >> shift;
        rest = product - (quotient << shift);
    }
    std::int64_t units = 0;  // rest / 2**shift in units of 2**-40 us, truncated
    if (shift <= kFractionBits) {
        units = static_cast<std::int64_t>(rest << (kFractionBits - shift));
    } else if (shift - kFractionBits < 128) {
        units = static_cast<std::int64_t>(rest >> (shift - kFractionBits));
    }
    const bool whole = rest == 0;
    if (v > 0) {
        return {static_cast<Microseconds>(quotient), units, whole};
    }
    if (whole) {
        return {-static_cast<Microseconds>(quotient), 0, true};
    }
    return {-static_cast<Microseconds>(quotient) - 1, kOneMicrosecond - units, false};
}

// The least count whose seconds_of is >= v. The ceiling of v * 10**6 qualifies; counts below it
// may still round up to v, as many as half of v's last place holds.
Microseconds first_count_at_least(double v, const ScaledBound& b) noexcept {
    if (b.floor >= kCurveClamp || b.floor <= -kCurveClamp) {
        return b.floor;
    }
    Microseconds good = ceiling(b);
    Microseconds step = 1;
    while (seconds_of(good - step) >= v) {
        good -= step;
        step *= 2;
    }
    Microseconds bad = good - step;
    while (good - bad > 1) {
        const Microseconds mid = bad + (good - bad) / 2;
        if (seconds_of(mid) >= v) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    return good;
}

// The greatest count whose seconds_of is <= v, found upwards from the floor of v * 10**6.
Microseconds last_count_at_most(double v, const ScaledBound& b) noexcept {
    if (b.floor >= kCurveClamp || b.floor <= -kCurveClamp) {
        return b.floor;
    }
    Microseconds good = b.floor;
    Microseconds step = 1;
    while (seconds_of(good + step) <= v) {
        good += step;
        step *= 2;
    }
    Microseconds bad = good + step;
    while (bad - good > 1) {
        const Microseconds mid = good + (bad - good) / 2;
        if (seconds_of(mid) <= v) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    return good;
}

template <class Events>
void add_pair_events(const PairPieces& pair, Microseconds first, Microseconds last,
                     Microseconds hi, Events& events) {
    const Piece in = pair.at(first);
    events.push_back({first, in.whole, in.slope, in.fraction});
    if (first < pair.end_kink && pair.end_kink <= last) {
        events.push_back({pair.end_kink, pair.edge.end.floor - pair.oe, -1, pair.edge.end.fraction});
    }
    if (first < pair.start_kink && pair.start_kink <= last) {
        events.push_back(
            {pair.start_kink, pair.edge.start.floor - pair.os, -1, pair.edge.start.fraction});
    }
    if (last < hi) {
        const Piece out = pair.at(last);
        events.push_back({last + 1, -out.whole, -out.slope, -out.fraction});
    }
}

}  // namespace

void speech_edges(const double* c_base, std::size_t base_len, SpeechEdge* edges) noexcept {
    for (std::size_t r = 0; r < base_len; ++r) {
        SpeechEdge& e = edges[r];
        e.start = scaled_bound(c_base[2 * r]);
        e.end = scaled_bound(c_base[2 * r + 1]);
        e.first_after_start = first_count_at_least(c_base[2 * r], e.start);
        e.last_before_end = last_count_at_most(c_base[2 * r + 1], e.end);
    }
}

ScaledBound scaled_seconds(double v) noexcept {
    return scaled_bound(v);
}

RowCurveStatus row_curves(const SpeechEdge* edges, std::size_t base_len,
                          const Microseconds* c_other_us, std::size_t other_len,
                          const std::uint32_t* order, Microseconds lo, Microseconds hi,
                          EngineArray<RowPiece>& pieces, EngineArray<std::size_t>& first,
                          WorkMeter& meter) {
    struct RowEvent {
        Microseconds at;
        Microseconds whole;
        std::int64_t slope;
        std::int64_t fraction;
    };
    PairIndex index;
    EngineArray<std::uint32_t> position;
    EngineArray<std::size_t> cursor;
    if (!index.prepare(c_other_us, other_len, order) || !position.allocate(other_len) ||
        !cursor.allocate(other_len + 1) || !first.allocate(other_len + 1)) {
        return RowCurveStatus::kNoMemory;
    }
    for (std::size_t k = 0; k < other_len; ++k) {
        position[order[k]] = static_cast<std::uint32_t>(k);
        cursor[k] = 0;
    }
    const MeetingPairs pairs = index.pairs(edges, base_len, c_other_us, lo, hi);
    // Counted first, row by row, so that each row's events land in a block of their own.
    const bool counted = pairs.visit(
        [&](const PairPieces& pair, Microseconds from, Microseconds last) {
            cursor[position[pair.row]] += 1 + (from < pair.end_kink && pair.end_kink <= last) +
                                          (from < pair.start_kink && pair.start_kink <= last) +
                                          (last < hi);
        },
        meter);
    if (!counted) {
        return RowCurveStatus::kStopped;
    }
    std::size_t total = 0;
    for (std::size_t k = 0; k < other_len; ++k) {
        const std::size_t count = cursor[k];
        cursor[k] = total;
        first[k] = total;
        total += count;
    }
    cursor[other_len] = total;
    EngineArray<RowEvent> events;
    if (!events.allocate(total) || !pieces.allocate(total + other_len)) {
        return RowCurveStatus::kNoMemory;
    }
    struct EventList {
        RowEvent* data;
        std::size_t* size;
        void push_back(const RowEvent& event) noexcept { data[(*size)++] = event; }
    };
    const bool listed = pairs.visit(
        [&](const PairPieces& pair, Microseconds from, Microseconds last) {
            EventList list{events.data(), &cursor[position[pair.row]]};
            add_pair_events(pair, from, last, hi, list);
        },
        meter);
    if (!listed) {
        return RowCurveStatus::kStopped;
    }
    // Each row's events in order, summed into its pieces: the whole part and the fraction add as
    // integers, checked against the limit at both ends of every piece before they are joined.
    std::size_t made = 0;
    for (std::size_t k = 0; k < other_len; ++k) {
        RowEvent* from = events.data() + first[k];
        RowEvent* to = events.data() + (k + 1 < other_len ? first[k + 1] : total);
        if (meter.charge(static_cast<std::size_t>(to - from) + 1)) {
            return RowCurveStatus::kStopped;
        }
        std::sort(from, to, [](const RowEvent& a, const RowEvent& b) { return a.at < b.at; });
        first[k] = made;
        Microseconds whole = 0;
        std::int64_t slope = 0;
        __int128 fraction = 0;
        Microseconds at = lo;
        for (const RowEvent* e = from;;) {
            for (; e != to && e->at == at; ++e) {
                whole += e->whole;
                slope += e->slope;
                fraction += e->fraction;
            }
            const Microseconds end = e != to ? e->at - 1 : hi;
            const Microseconds here = whole + slope * at;
            const Microseconds there = whole + slope * end;
            if (here >= kRowCurveLimit || here <= -kRowCurveLimit || there >= kRowCurveLimit ||
                there <= -kRowCurveLimit) {
                return RowCurveStatus::kTooLarge;
            }
            pieces[made++] = RowPiece{at, here * (CurveUnits{1} << kCurveFractionBits) + fraction,
                                      slope};
            if (e == to) {
                break;
            }
            at = e->at;
        }
    }
    first[other_len] = made;
    return RowCurveStatus::kBuilt;
}

bool OffsetCurve::build(const SpeechEdge* edges, std::size_t base_len,
                        const Microseconds* c_other_us, std::size_t other_len,
                        const std::uint32_t* order, Microseconds lo, Microseconds hi,
                        WorkMeter* meter) {
    WorkMeter unchecked;
    PairIndex index;
    if (!index.prepare(c_other_us, other_len, order)) {
        segment_count_ = 0;
        return false;
    }
    return build(index, edges, base_len, c_other_us, lo, hi, meter != nullptr ? *meter : unchecked);
}

bool OffsetCurve::build(const PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
                        const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
                        WorkMeter& work) {
    lo_ = lo;
    hi_ = hi;
    segment_count_ = 0;
    // Every size below is known before the arrays are filled (the events are counted first), so
    // running out of memory is a result, never an exception.
    const MeetingPairs pairs = index.pairs(edges, base_len, c_other_us, lo, hi);
    // Counted first, so that the buffers are the size they need and never move.
    std::size_t count = 0;
    const bool counted = pairs.visit(
        [&count, hi](const PairPieces& pair, Microseconds first, Microseconds last) {
            count += 1 + (first < pair.end_kink && pair.end_kink <= last) +
                     (first < pair.start_kink && pair.start_kink <= last) + (last < hi);
        },
        work);
    if (!counted) {
        return false;
    }
    if (events_.size() < count && !events_.allocate(count)) {
        return false;
    }
    // The events as they are listed, into the room counted for them.
    struct EventList {
        Event* data;
        std::size_t size;
        void push_back(const Event& event) noexcept { data[size++] = event; }
    };
    EventList events{events_.data(), 0};
    const bool listed = pairs.visit(
        [&events, hi](const PairPieces& pair, Microseconds first, Microseconds last) {
            add_pair_events(pair, first, last, hi, events);
        },
        work);
    // The sort is one piece of work: the check is asked just before it.
    if (!listed || work.charge(events.size)) {
        return false;
    }
    // Sums of integers: the order of events at one position does not matter.
    std::sort(events.data, events.data + events.size,
              [](const Event& a, const Event& b) { return a.at < b.at; });
    // A segment from lo and from every other position an event lies at: room for those only,
    // as many events share a position.
    std::size_t needed = 1;
    for (std::size_t e = 0; e < events.size; ++e) {
        needed += events.data[e].at != (e == 0 ? lo : events.data[e - 1].at);
    }
    if (segments_.size() < needed && !segments_.allocate(needed)) {
        return false;
    }
    Microseconds whole = 0;
    std::int64_t slope = 0;
    __int128 fraction = 0;
    std::size_t i = 0;
    Microseconds at = lo;
    for (;;) {
        for (; i < events.size && events.data[i].at == at; ++i) {
            whole += events.data[i].whole;
            slope += events.data[i].slope;
            fraction += events.data[i].fraction;
        }
        segments_[segment_count_++] = Segment{at, whole + slope * at, fraction, slope};
        if (i == events.size) {
            break;
        }
        at = events.data[i].at;
    }
    view().maximum(&maximum_, &first_maximum_);
    return true;
}

void OffsetCurve::first_run_above(double threshold, Microseconds* first,
                                  Microseconds* last) const noexcept {
    const CurveView curve = view();
    curve.first_at_least(lo_, threshold, first);  // the maximum reaches the threshold
    *last = curve.run_end(*first, threshold);
}

namespace {

double as_double(std::int64_t v) noexcept {
    return static_cast<double>(v);
}

double as_double(__int128 v) noexcept {
    return to_double(v);
}

// The sum of W over [lo, hi] pair by pair, with the counts held as Int. Each pair's amount is
// linear between its kinks: its sum over n microseconds from u is n * amount(u) plus
// slope * n * (n - 1) / 2, taken in doubles pair by pair, in the order the pairs are found.
template <class Int>
bool sum_of_pairs(const MeetingPairs& pairs, WorkMeter& meter, double* sum) {
    const Int lo = static_cast<Int>(pairs.lo);
    const Int hi = static_cast<Int>(pairs.hi);
    return pairs.each_candidate(
        [&](std::size_t r, std::uint32_t j) {
            const SpeechEdge& edge = pairs.edges[r];
            const Int os = static_cast<Int>(pairs.c_other_us[2 * j]);
            const Int oe = static_cast<Int>(pairs.c_other_us[2 * j + 1]);
            const Int first = std::max(static_cast<Int>(edge.first_after_start) - oe, lo);
            const Int last = std::min(static_cast<Int>(edge.last_before_end) - os, hi);
            if (first > last) {
                return;
            }
            const Int end_kink = static_cast<Int>(ceiling(edge.end)) - oe;
            const Int start_kink = static_cast<Int>(ceiling(edge.start)) - os;
            // The pieces start at first and at each kink inside (first, last], in order.
            Int cuts[4] = {first, last + 1, last + 1, last + 1};
            std::size_t count = 1;
            for (const Int kink : {std::min(end_kink, start_kink), std::max(end_kink, start_kink)}) {
                if (first < kink && kink <= last) {
                    cuts[count++] = kink;
                }
            }
            for (std::size_t c = 0; c < count; ++c) {
                const Int from = cuts[c];
                const double n = as_double(cuts[c + 1] - from);
                const BasicPiece<Int> p = piece_at(edge, os, oe, end_kink, start_kink, from);
                const double at_from = as_double(p.whole + static_cast<Int>(p.slope) * from) +
                                       static_cast<double>(p.fraction) * kUnit;
                *sum += n * at_from + static_cast<double>(p.slope) * (n * (n - 1.0) * 0.5);
            }
        },
        meter);
}

// Whether every count the sum forms fits 64 bits: each bound, and the range, within 2**60.
bool counts_fit_64_bits(const MeetingPairs& pairs, std::size_t other_len) noexcept {
    constexpr Microseconds kLimit = Microseconds{1} << 60;
    const auto small = [](Microseconds v) { return v > -kLimit && v < kLimit; };
    for (std::size_t r = 0; r < pairs.base_len; ++r) {
        const SpeechEdge& e = pairs.edges[r];
        if (!small(e.first_after_start) || !small(e.last_before_end) || !small(e.start.floor) ||
            !small(e.end.floor)) {
            return false;
        }
    }
    for (std::size_t j = 0; j < 2 * other_len; ++j) {
        if (!small(pairs.c_other_us[j])) {
            return false;
        }
    }
    return small(pairs.lo) && small(pairs.hi);
}

}  // namespace

bool mean_overlap(const PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
                  const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
                  WorkMeter& meter, double* mean, bool counts_in_128_bits) {
    double sum = 0.0;
    const MeetingPairs pairs = index.pairs(edges, base_len, c_other_us, lo, hi);
    const bool narrow = !counts_in_128_bits && counts_fit_64_bits(pairs, index.rows.size());
    if (!(narrow ? sum_of_pairs<std::int64_t>(pairs, meter, &sum)
                 : sum_of_pairs<__int128>(pairs, meter, &sum))) {
        return false;
    }
    *mean = sum / to_double(hi - lo + 1);
    return true;
}

// --- reading a curve ---------------------------------------------------------------------

namespace {

// W is monotone along a segment, so a test of its value that holds at `from` and fails at `to`
// (either order) changes once between them: the first microsecond from `from` on where it
// fails, found by bisection.
template <class Holds>
Microseconds boundary(Microseconds from, Microseconds to, Holds&& holds) {
    while ((to > from ? to - from : from - to) > 1) {
        const Microseconds mid = from + (to - from) / 2;
        (holds(mid) ? from : to) = mid;
    }
    return to;
}

}  // namespace

Microseconds CurveView::end_of(std::size_t k) const noexcept {
    return k + 1 < count_ ? segments_[k + 1].start - 1 : hi_;
}

double CurveView::value_in(std::size_t k, Microseconds t) const noexcept {
    const CurveSegment& s = segments_[k];
    const Microseconds whole = s.whole + s.slope * (t - s.start);
    // Scaling by a power of two is exact here: the fraction is a whole number of units.
    return to_double(whole) + to_double(s.fraction) * kUnit;
}

std::size_t CurveView::segment_of(Microseconds t) const noexcept {
    const auto after = std::upper_bound(
        segments_, segments_ + count_, t,
        [](Microseconds value, const CurveSegment& s) { return value < s.start; });
    return static_cast<std::size_t>(after - segments_) - 1;
}

double CurveView::value_at(Microseconds t) const noexcept {
    return value_in(segment_of(t), t);
}

void CurveView::maximum(double* value, Microseconds* at) const noexcept {
    *value = value_in(0, lo_);
    *at = lo_;
    for (std::size_t k = 0; k < count_; ++k) {
        for (const Microseconds t : {segments_[k].start, end_of(k)}) {
            const double v = value_in(k, t);
            if (v > *value) {
                *value = v;
                *at = t;
            }
        }
    }
}

bool CurveView::first_at_least(Microseconds from, double threshold,
                               Microseconds* at) const noexcept {
    // W is monotone along a segment, so the first microsecond that reaches the threshold is
    // found by bisection within the segment where the run starts.
    if (from > hi_) {
        return false;
    }
    for (std::size_t k = from <= lo_ ? 0 : segment_of(from); k < count_; ++k) {
        const Microseconds start = std::max(segments_[k].start, from);
        const Microseconds end = end_of(k);
        if (value_in(k, start) >= threshold) {
            *at = start;
            return true;
        }
        if (value_in(k, end) >= threshold) {
            *at = boundary(start, end, [&](Microseconds t) { return value_in(k, t) < threshold; });
            return true;
        }
    }
    return false;
}

Microseconds CurveView::run_end(Microseconds from, double threshold) const noexcept {
    for (std::size_t k = segment_of(from);; ++k) {
        const Microseconds end = end_of(k);
        if (value_in(k, end) >= threshold) {
            if (k + 1 < count_ && value_in(k + 1, segments_[k + 1].start) >= threshold) {
                from = segments_[k + 1].start;
                continue;
            }
            return end;
        }
        return boundary(from, end, [&](Microseconds t) { return value_in(k, t) >= threshold; }) - 1;
    }
}

bool CurveView::nearest_at_most(Microseconds from, int step, double level,
                                Microseconds* at) const noexcept {
    if (from < lo_ || from > hi_) {
        return false;
    }
    for (std::size_t k = segment_of(from);; k = step < 0 ? k - 1 : k + 1) {
        // The part of segment k on the walk, `near` its end nearest `from`. W is monotone along
        // a segment, so if the far end is at most the level and the near one is not, the
        // nearest such microsecond is found by bisection.
        const Microseconds near = step < 0 ? std::min(end_of(k), from)
                                           : std::max(segments_[k].start, from);
        const Microseconds far = step < 0 ? segments_[k].start : end_of(k);
        if (value_in(k, near) <= level) {
            *at = near;
            return true;
        }
        if (value_in(k, far) <= level) {
            *at = boundary(near, far, [&](Microseconds t) { return value_in(k, t) > level; });
            return true;
        }
        if (step < 0 ? k == 0 : k + 1 == count_) {
            return false;
        }
    }
}

bool CurveView::best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                             double* value) const noexcept {
    bool found = false;
    for (std::size_t k = 0; k < count_; ++k) {
        const Microseconds start = segments_[k].start;
        const Microseconds end = end_of(k);
        const Microseconds pieces[2][2] = {{start, std::min(end, left_end)},
                                           {std::max(start, right_start), end}};
        for (const auto& piece : pieces) {
            if (piece[0] > piece[1]) {
                continue;
            }
            for (const Microseconds t : {piece[0], piece[1]}) {
                const double v = value_in(k, t);
                if (!found || v > *value) {
                    found = true;
                    *value = v;
                    *at = t;
                }
            }
        }
    }
    return found;
}

}  // namespace corvela
