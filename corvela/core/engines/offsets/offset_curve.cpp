// Building the offset curve from the pairs that meet in the range, and reading it.
#include "offset_curve.hpp"

#include <algorithm>
#include <cmath>

namespace corvela {

namespace {

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

Microseconds ceiling(const ScaledBound& b) noexcept {
    return b.whole ? b.floor : b.floor + 1;
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

// One linear piece of an amount: whole + slope * t microseconds, plus fraction units.
struct Piece {
    Microseconds whole;
    std::int64_t slope;
    std::int64_t fraction;
};

// The amount of a pair at t as its two pieces, min(be, y) and -max(bs, x), summed.
struct PairPieces {
    const SpeechEdge& edge;
    Microseconds os;
    Microseconds oe;
    Microseconds end_kink;    // first t with y >= be
    Microseconds start_kink;  // first t with x >= bs
    std::uint32_t row;        // the subtitle row

    Piece at(Microseconds t) const noexcept {
        Piece p{0, 0, 0};
        if (t >= end_kink) {
            p.whole += edge.end.floor;
            p.fraction += edge.end.fraction;
        } else {
            p.whole += oe;
            p.slope += 1;
        }
        if (t >= start_kink) {
            p.whole -= os;
            p.slope -= 1;
        } else {
            p.whole -= edge.start.floor;
            p.fraction -= edge.start.fraction;
        }
        return p;
    }
};

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

// Subtitle rows are grouped by length class: class 0 holds the rows no longer than zero, class c
// those of length 2**(c - 1) up to 2**c - 1 microseconds. Within a class no row is twice as
// long as another, so a window of starts widened by the class's longest length holds few rows
// that miss, whatever the spread of lengths over the file: no row is looked at for every speech
// row because it is long.
constexpr std::size_t kLengthClasses = 70;  // lengths below 2**69 us: timedelta's range

std::size_t length_class(Microseconds length) noexcept {
    std::size_t c = 0;
    for (; length > 0; length >>= 1) {
        ++c;
    }
    return c;
}

// The pairs whose window meets [lo, hi], each with its first and last offset there. A pair
// meets the range only if oe + hi >= N(bs) and os + lo <= M(be). For the rows of a class whose
// longest is L, oe <= os + L, so only those whose start lies in [N(bs) - hi - L, M(be) - lo]
// are looked at.
struct MeetingPairs {
    const SpeechEdge* edges;
    std::size_t base_len;
    const Microseconds* c_other_us;
    const std::uint32_t* rows;       // by class, then nondecreasing start
    const Microseconds* starts;      // their starts
    const std::size_t* class_first;  // class c's rows: [class_first[c], class_first[c + 1])
    const Microseconds* longest;     // of each class (0 for class 0)
    const std::size_t* classes;      // the classes that hold rows
    std::size_t class_count;
    Microseconds lo;
    Microseconds hi;

    // False when `meter` says stop, charged for the pairs looked at.
    template <class Visit>
    bool visit(Visit&& visit, WorkMeter& meter) const {
        for (std::size_t r = 0; r < base_len; ++r) {
            const SpeechEdge& edge = edges[r];
            std::size_t looked_at = 1;
            for (std::size_t n = 0; n < class_count; ++n) {
                const std::size_t c = classes[n];
                const Microseconds* end = starts + class_first[c + 1];
                const Microseconds* from =
                    std::lower_bound(starts + class_first[c], end,
                                     edge.first_after_start - hi - longest[c]);
                const Microseconds* to = std::upper_bound(from, end, edge.last_before_end - lo);
                for (const Microseconds* it = from; it != to; ++it) {
                    const std::uint32_t j = rows[it - starts];
                    const Microseconds os = c_other_us[2 * j];
                    const Microseconds oe = c_other_us[2 * j + 1];
                    const Microseconds first = std::max(edge.first_after_start - oe, lo);
                    const Microseconds last = std::min(edge.last_before_end - os, hi);
                    if (first <= last) {
                        visit(PairPieces{edge, os, oe, ceiling(edge.end) - oe,
                                         ceiling(edge.start) - os, j},
                              first, last);
                    }
                }
                looked_at += static_cast<std::size_t>(to - from) + 1;
            }
            if (meter.charge(looked_at)) {
                return false;
            }
        }
        return true;
    }
};

// The subtitle rows by length class, each class in start order (MeetingPairs).
struct PairIndex {
    EngineArray<Microseconds> starts;
    EngineArray<std::uint32_t> rows;
    std::size_t class_first[kLengthClasses + 1] = {};
    Microseconds longest[kLengthClasses] = {};
    std::size_t classes[kLengthClasses] = {};
    std::size_t class_count = 0;

    // False when memory runs out.
    bool prepare(const Microseconds* c_other_us, std::size_t other_len,
                 const std::uint32_t* order) noexcept {
        if (!starts.allocate(other_len) || !rows.allocate(other_len)) {
            return false;
        }
        const auto length_of = [c_other_us](std::uint32_t j) {
            return c_other_us[2 * j + 1] - c_other_us[2 * j];
        };
        // A counting sort by class keeps the start order within each class.
        std::size_t count[kLengthClasses] = {};
        for (std::size_t j = 0; j < other_len; ++j) {
            ++count[length_class(length_of(static_cast<std::uint32_t>(j)))];
        }
        std::size_t next[kLengthClasses] = {};
        class_count = 0;
        for (std::size_t c = 0; c < kLengthClasses; ++c) {
            class_first[c + 1] = class_first[c] + count[c];
            next[c] = class_first[c];
            longest[c] = 0;
            if (count[c] > 0) {
                classes[class_count++] = c;
            }
        }
        for (std::size_t k = 0; k < other_len; ++k) {
            const std::uint32_t j = order[k];
            const Microseconds length = length_of(j);
            const std::size_t c = length_class(length);
            starts[next[c]] = c_other_us[2 * j];
            rows[next[c]++] = j;
            longest[c] = std::max(longest[c], length);
        }
        return true;
    }

    MeetingPairs pairs(const SpeechEdge* edges, std::size_t base_len,
                       const Microseconds* c_other_us, Microseconds lo,
                       Microseconds hi) const noexcept {
        return {edges,       base_len, c_other_us, rows.data(), starts.data(),
                class_first, longest,  classes,    class_count, lo,
                hi};
    }
};
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
    lo_ = lo;
    hi_ = hi;
    WorkMeter unchecked;
    WorkMeter& work = meter != nullptr ? *meter : unchecked;
    segment_count_ = 0;
    // Every size below is known before the arrays are filled (the events are counted first), so
    // running out of memory is a result, never an exception.
    PairIndex index;
    if (!index.prepare(c_other_us, other_len, order)) {
        return false;
    }
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
    if ((events_.size() < count && !events_.allocate(count)) ||
        (segments_.size() < count + 1 && !segments_.allocate(count + 1))) {
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
    maximum_ = value_in(0, lo_);
    first_maximum_ = lo_;
    for (std::size_t k = 0; k < segment_count_; ++k) {
        for (const Microseconds t : {segments_[k].start, end_of(k)}) {
            const double v = value_in(k, t);
            if (v > maximum_) {
                maximum_ = v;
                first_maximum_ = t;
            }
        }
    }
    return true;
}

Microseconds OffsetCurve::end_of(std::size_t k) const noexcept {
    return k + 1 < segment_count_ ? segments_[k + 1].start - 1 : hi_;
}

double OffsetCurve::value_in(std::size_t k, Microseconds t) const noexcept {
    const Segment& s = segments_[k];
    const Microseconds whole = s.whole + s.slope * (t - s.start);
    // Scaling by a power of two is exact here: the fraction is a whole number of units.
    return to_double(whole) + to_double(s.fraction) * kUnit;
}

std::size_t OffsetCurve::segment_of(Microseconds t) const noexcept {
    const auto after = std::upper_bound(
        segments_.data(), segments_.data() + segment_count_, t,
        [](Microseconds value, const Segment& s) { return value < s.start; });
    return static_cast<std::size_t>(after - segments_.data()) - 1;
}

double OffsetCurve::value_at(Microseconds t) const noexcept {
    return value_in(segment_of(t), t);
}

void OffsetCurve::first_run_above(double threshold, Microseconds* first,
                                  Microseconds* last) const noexcept {
    // W is monotone along a segment, so the first and last microsecond that reach the threshold
    // are found by bisection within the segment where the run starts and where it ends.
    std::size_t k = 0;
    while (value_in(k, segments_[k].start) < threshold && value_in(k, end_of(k)) < threshold) {
        ++k;  // the maximum reaches the threshold, so some segment does
    }
    Microseconds from = segments_[k].start;
    if (value_in(k, from) < threshold) {
        Microseconds below = from;
        Microseconds above = end_of(k);
        while (above - below > 1) {
            const Microseconds mid = below + (above - below) / 2;
            (value_in(k, mid) >= threshold ? above : below) = mid;
        }
        from = above;
    }
    *first = from;
    for (;;) {
        const Microseconds end = end_of(k);
        if (value_in(k, end) >= threshold) {
            if (k + 1 < segment_count_ && value_in(k + 1, segments_[k + 1].start) >= threshold) {
                ++k;
                from = segments_[k].start;
                continue;
            }
            *last = end;
            return;
        }
        Microseconds above = from;
        Microseconds below = end;
        while (below - above > 1) {
            const Microseconds mid = above + (below - above) / 2;
            (value_in(k, mid) >= threshold ? above : below) = mid;
        }
        *last = above;
        return;
    }
}

double OffsetCurve::mean() const noexcept {
    // W is linear along a segment: its sum there is the count of microseconds times the mean
    // of the two ends.
    double sum = 0.0;
    for (std::size_t k = 0; k < segment_count_; ++k) {
        const Microseconds start = segments_[k].start;
        const Microseconds end = end_of(k);
        sum += to_double(end - start + 1) * ((value_in(k, start) + value_in(k, end)) * 0.5);
    }
    return sum / to_double(hi_ - lo_ + 1);
}

bool OffsetCurve::nearest_at_most(Microseconds from, int step, double level,
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
            Microseconds above = near;
            Microseconds below = far;
            while ((below > above ? below - above : above - below) > 1) {
                const Microseconds mid = above + (below - above) / 2;
                (value_in(k, mid) <= level ? below : above) = mid;
            }
            *at = below;
            return true;
        }
        if (step < 0 ? k == 0 : k + 1 == segment_count_) {
            return false;
        }
    }
}

bool OffsetCurve::best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                               double* value) const noexcept {
    bool found = false;
    for (std::size_t k = 0; k < segment_count_; ++k) {
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
