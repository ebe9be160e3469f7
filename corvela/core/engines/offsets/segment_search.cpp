// The segment search: row curves, the suffix recursion over piece lists, the forward reading of
// the assignment and the centring of each segment.
#include "segment_search.hpp"

#include <algorithm>
#include <cstdint>

#include "best_offset_search.hpp"
#include "offset_curve.hpp"
#include "offset_scan.hpp"
#include "start_order.hpp"

namespace corvela {

namespace {

using Units = CurveUnits;

constexpr Units kOneMicrosecond = Units{1} << kCurveFractionBits;

// Above this no sum of row maxima is taken: every value, difference and penalty the recursion
// forms then stays below 2**125.
constexpr Units kValueLimit = Units{1} << 121;

// A piece of a score function: from `start` to the next piece's start (or hi), value + slope *
// (t - start), reached with `changes` changes of offset. The slope is a whole number of
// microseconds per microsecond (a sum of pair counts), which keeps the piece small.
struct Piece {
    Microseconds start;
    Units value;
    std::int64_t slope;
    std::uint32_t changes;
};

// A slope in units per microsecond.
Units units(std::int64_t slope) noexcept {
    return Units{slope} * kOneMicrosecond;
}

// slope * steps in units: one 64-bit by 64-bit multiply whenever the steps fit 64 bits (they
// do unless the range spans some 290,000 years).
Units rise(std::int64_t slope, Microseconds steps) noexcept {
    if (steps >= INT64_MIN && steps <= INT64_MAX) {
        return Units{slope} * static_cast<std::int64_t>(steps) * kOneMicrosecond;
    }
    return units(slope) * steps;
}

Units at(const Piece& p, Microseconds t) noexcept {
    return p.value + rise(p.slope, t - p.start);
}

Units at(const RowPiece& p, Microseconds t) noexcept {
    return p.value + rise(p.slope, t - p.start);
}

// The order of scores: the higher value, then the fewer changes.
bool better(Units v, std::uint32_t c, Units w, std::uint32_t d) noexcept {
    return v > w || (v == w && c < d);
}

Units floor_div(Units a, Units b) noexcept {  // b > 0
    const Units q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// floor(a / units(slope)), slope > 0: the whole steps of that slope in a. As floor(floor(a /
// 2**40) / slope), the first division by a constant, the second in 64 bits whenever the
// quotient by 2**40 fits them, as it does wherever two pieces cross within the range.
Units floor_steps(Units a, std::int64_t slope) noexcept {
    const Units whole = floor_div(a, kOneMicrosecond);
    if (whole < INT64_MIN || whole > INT64_MAX) {
        return floor_div(whole, slope);
    }
    const auto w = static_cast<std::int64_t>(whole);
    const std::int64_t q = w / slope;
    return (w % slope != 0 && w < 0) ? q - 1 : q;
}

Units ceil_steps(Units a, std::int64_t slope) noexcept {
    return -floor_steps(-a, slope);
}

// A list of pieces in increasing start that grows as it is filled; a piece that continues the
// last one (same line, same changes) is not stored. `ok` turns false, for good, when memory runs
// out.
class PieceList {
public:
    void clear() noexcept { size_ = floor_ = 0; }

    // Starts a new list after those held: push() merges nothing into them.
    void begin() noexcept { floor_ = size_; }
    std::size_t size() const noexcept { return size_; }
    Piece* data() const noexcept { return pieces_.data(); }
    const Piece& operator[](std::size_t k) const noexcept { return pieces_[k]; }
    bool ok() const noexcept { return ok_; }

    void push(const Piece& p) noexcept {
        if (size_ > floor_) {
            Piece& last = pieces_[size_ - 1];
            if (last.start == p.start) {
                last = p;
                return;
            }
            if (last.slope == p.slope && last.changes == p.changes &&
                at(last, p.start) == p.value) {
                return;
            }
        }
        push_raw(p);
    }

    // Stores p as it is: for lists filled out of order, or several lists one after another.
    void push_raw(const Piece& p) noexcept {
        if (size_ == pieces_.size() && !(ok_ && pieces_.resize(2 * size_ + 16))) {
            ok_ = false;
            return;
        }
        pieces_[size_++] = p;
    }

    // Turns a list filled from the right round, merging what push() would have merged.
    void reverse_and_merge() noexcept {
        std::reverse(pieces_.data(), pieces_.data() + size_);
        const std::size_t filled = size_;
        size_ = floor_ = 0;
        for (std::size_t k = 0; k < filled; ++k) {
            push(pieces_[k]);  // never grows: at most k pieces are kept before piece k
        }
    }

private:
    EngineArray<Piece> pieces_;
    std::size_t size_ = 0;
    std::size_t floor_ = 0;
    bool ok_ = true;
};

Microseconds end_of(const Piece* p, std::size_t n, std::size_t k, Microseconds hi) noexcept {
    return k + 1 < n ? p[k + 1].start - 1 : hi;
}

std::size_t piece_of(const Piece* p, std::size_t n, Microseconds t) noexcept {
    const Piece* after = std::upper_bound(
        p, p + n, t, [](Microseconds value, const Piece& q) { return value < q.start; });
    return static_cast<std::size_t>(after - p) - 1;
}

std::size_t piece_of(const RowPiece* p, std::size_t n, Microseconds t) noexcept {
    const RowPiece* after = std::upper_bound(
        p, p + n, t, [](Microseconds value, const RowPiece& q) { return value < q.start; });
    return static_cast<std::size_t>(after - p) - 1;
}

// out(t) = the best of f over [max(t - shift, lo), hi] less the penalty, with one change more:
// what a change from an offset t reaches, when the next row starts `shift` after this one. The
// best over [u, hi] is built from the right (in reverse, then turned round), each piece moved
// by the shift as it is made; offsets below lo + shift all reach the best over [lo, hi].
void after_change(const Piece* f, std::size_t n, Microseconds shift, Microseconds lo,
                  Microseconds hi, Units penalty, PieceList& out) {
    out.clear();
    bool has = false;
    Units best = 0;
    std::uint32_t best_changes = 0;
    Units head = 0;  // the best over [lo, hi], once the loop is done
    std::uint32_t head_changes = 0;
    const auto emit = [&](Microseconds start, Units value, std::int64_t slope,
                          std::uint32_t changes) {
        head = value;
        head_changes = changes;
        if (start <= hi - shift) {
            out.push_raw({start + shift, value - penalty, slope, changes + 1});
        }
    };
    for (std::size_t k = n; k-- > 0;) {
        const Piece& p = f[k];
        const Microseconds end = end_of(f, n, k, hi);
        if (p.slope >= 0) {
            // The piece's best over [u, end] is its value at end, whatever u.
            const Units v = at(p, end);
            if (!has || better(v, p.changes, best, best_changes)) {
                best = v;
                best_changes = p.changes;
                has = true;
            }
            emit(p.start, best, 0, best_changes);
            continue;
        }
        // Falling: the piece wins on [start, start + x], x the last step where it still beats
        // the best to its right.
        Units last = end - p.start;
        if (has) {
            // Divided only when the two cross inside the piece.
            if (!better(p.value, p.changes, best, best_changes)) {
                last = -1;
            } else if (!better(at(p, end), p.changes, best, best_changes)) {
                const Units margin = p.value - best;  // value - best - |slope| * x > (>=) 0
                last = p.changes < best_changes ? floor_steps(margin, -p.slope)
                                                : ceil_steps(margin, -p.slope) - 1;
                last = std::max<Units>(std::min<Units>(last, end - p.start), -1);
            }
        }
        if (last < end - p.start) {
            emit(p.start + static_cast<Microseconds>(last) + 1, best, 0, best_changes);
        }
        if (last >= 0) {
            emit(p.start, p.value, p.slope, p.changes);
            best = p.value;
            best_changes = p.changes;
            has = true;
        }
    }
    out.push_raw({lo, head - penalty, 0, head_changes + 1});
    // The pieces came right to left, each valid up to the start of the one stored before it.
    out.reverse_and_merge();
}

// Calls span(p, q, t, end) for each stretch [t, end] of [lo, hi] over which neither the piece p
// of f nor the piece q of g changes, from lo up; both lists cover [lo, hi] from lo.
template <class F, class G, class Span>
void for_each_span(const F* f, std::size_t fn, const G* g, std::size_t gn, Microseconds lo,
                   Microseconds hi, Span&& span) {
    std::size_t i = 0;
    std::size_t j = 0;
    for (Microseconds t = lo;;) {
        const Microseconds next_f = i + 1 < fn ? f[i + 1].start : hi + 1;
        const Microseconds next_g = j + 1 < gn ? g[j + 1].start : hi + 1;
        const Microseconds next = std::min(next_f, next_g);
        span(f[i], g[j], t, next - 1);
        if (next > hi) {
            return;
        }
        t = next;
        i += next_f == next;
        j += next_g == next;
    }
}

// Below every score: what a pruned offset is worth (more than 2**121 below any score, and
// never within reach of 2**-128 after the sums the recursion adds to it).
constexpr Units kPruned = -(Units{1} << 124);

// Appends to `out` the better of f and g at every t in [lo, hi]; or, with `prune`, f where it
// reaches g (ties to f) and kPruned elsewhere.
void better_of(const Piece* f, std::size_t fn, const Piece* g, std::size_t gn, Microseconds lo,
               Microseconds hi, PieceList& out, bool prune = false) {
    for_each_span(f, fn, g, gn, lo, hi,
                  [&](const Piece& p, const Piece& q, Microseconds t, Microseconds end) {
        const Units vp = at(p, t);
        const Units vq = at(q, t);
        const Units delta = vp - vq;
        const std::int64_t slope = p.slope - q.slope;
        const Units length = end - t;
        const bool ties_to_f = prune || !(q.changes < p.changes);
        const auto f_wins = [ties_to_f](Units d) { return d > 0 || (d == 0 && ties_to_f); };
        // f wins on x in [from, to] (x = step from t), g elsewhere; divided only when the two
        // cross inside the interval.
        Units from = 0;
        Units to = length;
        const bool first_wins = f_wins(delta);
        if (slope == 0 || first_wins == f_wins(delta + rise(slope, length))) {
            if (!first_wins) {
                from = length + 1;
            }
        } else if (slope > 0) {
            from = ties_to_f ? ceil_steps(-delta, slope) : floor_steps(-delta, slope) + 1;
        } else {
            to = ties_to_f ? floor_steps(delta, -slope) : ceil_steps(delta, -slope) - 1;
        }
        from = std::max<Units>(from, 0);
        to = std::min<Units>(to, length);
        const auto push_g = [&](Microseconds u) {
            out.push(prune ? Piece{u, kPruned, 0, 0} : Piece{u, at(q, u), q.slope, q.changes});
        };
        if (from > to) {
            push_g(t);
        } else {
            if (from > 0) {
                push_g(t);
            }
            const Microseconds a = t + static_cast<Microseconds>(from);
            out.push({a, at(p, a), p.slope, p.changes});
            if (to < length) {
                push_g(t + static_cast<Microseconds>(to) + 1);
            }
        }
    });
}

// Appends f + the row's curve to `out`.
void add_row(const Piece* f, std::size_t fn, const RowPiece* g, std::size_t gn, Microseconds lo,
             Microseconds hi, PieceList& out) {
    for_each_span(f, fn, g, gn, lo, hi,
                  [&out](const Piece& p, const RowPiece& q, Microseconds t, Microseconds) {
                      out.push({t, at(p, t) + at(q, t), p.slope + q.slope, p.changes});
                  });
}

// Appends p, over [p.start, end], where it reaches `floor`, and a flat `fill` with no change
// where it does not: what better_of gives against a flat piece of no change at `floor` (ties
// to p), with `fill` in its place.
void push_reaching(const Piece& p, Microseconds end, Units floor, Units fill, PieceList& out) {
    const Units length = end - p.start;
    if (p.value >= floor) {
        out.push(p);
        if (p.slope < 0) {
            const Units last = floor_steps(p.value - floor, -p.slope);
            if (last < length) {
                out.push({p.start + static_cast<Microseconds>(last) + 1, fill, 0, 0});
            }
        }
        return;
    }
    out.push({p.start, fill, 0, 0});
    if (p.slope > 0) {
        const Units first = ceil_steps(floor - p.value, p.slope);
        if (first <= length) {
            const Microseconds a = p.start + static_cast<Microseconds>(first);
            out.push({a, at(p, a), p.slope, p.changes});
        }
    }
}

// Appends f where it reaches `floor`, `fill` elsewhere.
void reaching(const Piece* f, std::size_t n, Units floor, Units fill, Microseconds hi,
              PieceList& out) {
    for (std::size_t k = 0; k < n; ++k) {
        push_reaching(f[k], end_of(f, n, k, hi), floor, fill, out);
    }
}

// Appends f + the row's curve where the sum reaches `floor`, `fill` elsewhere.
void add_row_reaching(const Piece* f, std::size_t fn, const RowPiece* g, std::size_t gn,
                      Microseconds lo, Microseconds hi, Units floor, Units fill, PieceList& out) {
    for_each_span(f, fn, g, gn, lo, hi,
                  [&](const Piece& p, const RowPiece& q, Microseconds t, Microseconds end) {
                      push_reaching({t, at(p, t) + at(q, t), p.slope + q.slope, p.changes}, end,
                                    floor, fill, out);
                  });
}

// The best (value, changes) of f over [from, hi] and its first offset.
struct Best {
    Units value;
    std::uint32_t changes;
    Microseconds at;
};

Best best_from(const Piece* f, std::size_t n, Microseconds from, Microseconds hi) noexcept {
    Best best{0, 0, 0};
    bool has = false;
    for (std::size_t k = piece_of(f, n, from); k < n; ++k) {
        const Piece& p = f[k];
        const Microseconds a = std::max(p.start, from);
        const Microseconds t = p.slope > 0 ? end_of(f, n, k, hi) : a;
        const Units v = at(p, t);
        if (!has || better(v, p.changes, best.value, best.changes)) {
            best = {v, p.changes, t};
            has = true;
        }
    }
    return best;
}

// A breakpoint of one row's curve: the change of value and slope there.
struct Jump {
    Microseconds at;
    Units value;
    std::int64_t slope;
};

// The summed curve of one segment's rows over a window of offsets, built from their
// breakpoints in the window, and what the centring asks of it.
class SegmentCentring {
public:
    SegmentCentring(const RowPiece* pieces, const std::size_t* first)
        : pieces_(pieces), first_(first) {}

    bool reserve(std::size_t count) noexcept {
        return jumps_.allocate(count) && sum_.allocate(count + 1);
    }

    // The summed curve of start-order positions a..b over [from, to], which lies in [lo, hi].
    void sum_rows(std::size_t a, std::size_t b, Microseconds from, Microseconds to) noexcept {
        std::size_t n = 0;
        Units value = 0;
        std::int64_t slope = 0;
        for (std::size_t k = a; k <= b; ++k) {
            const RowPiece* p = pieces_ + first_[k];
            const std::size_t count = first_[k + 1] - first_[k];
            std::size_t m = piece_of(p, count, from);
            value += at(p[m], from);
            slope += p[m].slope;
            for (++m; m < count && p[m].start <= to; ++m) {
                jumps_[n++] = {p[m].start, p[m].value - at(p[m - 1], p[m].start),
                               p[m].slope - p[m - 1].slope};
            }
        }
        std::sort(jumps_.data(), jumps_.data() + n,
                  [](const Jump& x, const Jump& y) { return x.at < y.at; });
        end_ = to;
        count_ = 0;
        sum_[count_++] = {from, value, slope};
        Microseconds t = from;
        for (std::size_t m = 0; m < n;) {
            value += units(slope) * (jumps_[m].at - t);
            t = jumps_[m].at;
            for (; m < n && jumps_[m].at == t; ++m) {
                value += jumps_[m].value;
                slope += jumps_[m].slope;
            }
            sum_[count_++] = {t, value, slope};
        }
    }

    // The first offset with the highest summed value, and that value in *value.
    Microseconds first_best(Units* value) const noexcept {
        Microseconds best_at = sum_[0].start;
        bool has = false;
        for (std::size_t k = 0; k < count_; ++k) {
            const RowPiece& p = sum_[k];
            const Microseconds t = p.slope > 0 ? (k + 1 < count_ ? sum_[k + 1].start - 1 : end_)
                                               : p.start;
            const Units v = at(p, t);
            if (!has || v > *value) {
                *value = v;
                best_at = t;
                has = true;
            }
        }
        return best_at;
    }

    Units value_at(Microseconds t) const noexcept {
        return at(sum_[piece_of(sum_.data(), count_, t)], t);
    }

    // The run of offsets around t, within [low, high], where the summed curve is >= floor.
    void run_around(Microseconds t, Units floor, Microseconds low, Microseconds high,
                    Microseconds* first, Microseconds* last) const noexcept {
        const std::size_t home = piece_of(sum_.data(), count_, t);
        Microseconds right = t;
        for (std::size_t k = home; k < count_; ++k) {
            const RowPiece& p = sum_[k];
            const Microseconds a = std::max(p.start, t);
            const Microseconds b = std::min(k + 1 < count_ ? sum_[k + 1].start - 1 : end_, high);
            if (a > b || at(p, a) < floor) {
                break;
            }
            if (p.slope < 0) {
                const Units steps = floor_div(at(p, a) - floor, units(-p.slope));
                if (steps < b - a) {
                    right = a + static_cast<Microseconds>(steps);
                    break;
                }
            }
            right = b;
        }
        Microseconds left = t;
        for (std::size_t k = home + 1; k-- > 0;) {
            const RowPiece& p = sum_[k];
            const Microseconds a = std::max(p.start, low);
            const Microseconds b = std::min(k + 1 < count_ ? sum_[k + 1].start - 1 : end_, t);
            if (a > b || at(p, b) < floor) {
                break;
            }
            if (p.slope > 0) {
                const Units steps = floor_div(at(p, b) - floor, units(p.slope));
                if (steps < b - a) {
                    left = b - static_cast<Microseconds>(steps);
                    break;
                }
            }
            left = a;
        }
        *first = left;
        *last = right;
    }

private:
    const RowPiece* pieces_;
    const std::size_t* first_;
    EngineArray<Jump> jumps_;
    EngineArray<RowPiece> sum_;
    std::size_t count_ = 0;
    Microseconds end_ = 0;  // of the last piece
};

double to_double(Units v) noexcept {
    return static_cast<double>(v);
}

// The split penalty in units, no more than `cap`.
Units penalty_units(double seconds, Units cap) noexcept {
    const ScaledBound scaled = scaled_seconds(seconds);  // at most 2**68 us
    const Units units = scaled.floor * kOneMicrosecond + scaled.fraction;
    return std::min(units, cap);
}

struct RecursionInput {
    const RowPiece* rows;        // the row curves, by start-order position
    const std::size_t* first;    // where each position's pieces begin
    const Microseconds* starts;  // scaled starts, by start-order position
    std::size_t n;
    Microseconds lo;
    Microseconds hi;
    Units penalty;
    std::size_t every_list_below;  // SegmentSearch's
};

const RowPiece* row_of(const RecursionInput& in, std::size_t k, std::size_t* count) noexcept {
    *count = in.first[k + 1] - in.first[k];
    return in.rows + in.first[k];
}

// Appends f + the row's curve to `out`, counting no changes, and returns the best of the sum:
// the bounds' passes, in one walk.
Units add_row_best(const Piece* f, std::size_t fn, const RowPiece* g, std::size_t gn,
                   Microseconds lo, Microseconds hi, PieceList& out) {
    Units best = 0;
    bool has = false;
    for_each_span(f, fn, g, gn, lo, hi,
                  [&](const Piece& p, const RowPiece& q, Microseconds t, Microseconds end) {
                      const Piece sum{t, at(p, t) + at(q, t), p.slope + q.slope, 0};
                      const Units high = sum.slope > 0 ? at(sum, end) : sum.value;
                      if (!has || high > best) {
                          best = high;
                          has = true;
                      }
                      out.push(sum);
                  });
    return best;
}

// What lets the recursion drop offsets that no best assignment passes through. The same
// recursion run forwards without the order (a change may go anywhere, so the best after one is
// a single number) gives `ahead[k]`, the best that rows 0..k-1 add, whatever their offsets and
// row k's, and `upper`, the best score without the order. Given a score `lower`, row k at t can
// be dropped when its best score from k on, plus ahead[k], stays below it: every assignment
// through it scores less. When the best found with those offsets dropped still reaches `lower`,
// it is the best, and every assignment of that score is still there (exactly as without the
// dropping: each of them passes only through offsets kept); when it does not, the best lies below
// `lower`.
//
// One number a row rather than a bound for each offset: what rows 0..k-1 add with row k at t lies
// within one change of that number (a change to t costs one penalty), so a bound by offset drops
// hardly more, and costs a list of pieces a row kept from the forward pass for the backward one.
struct ReachBound {
    EngineArray<Units> ahead;
    Units upper = 0;
};

SegmentChoice::Status bound_reach(const RecursionInput& in, WorkMeter& meter, ReachBound& out) {
    const std::size_t n = in.n;
    if (!out.ahead.allocate(n)) {
        return SegmentChoice::kNoMemory;
    }
    // The bound with row k at each offset: in lists[k % 2], the next row's made in the other.
    PieceList lists[2];
    PieceList total;
    lists[0].push({in.lo, 0, 0, 0});
    out.ahead[0] = 0;
    for (std::size_t k = 0;; ++k) {
        const PieceList& here = lists[k % 2];
        PieceList& next = lists[(k + 1) % 2];
        std::size_t count = 0;
        const RowPiece* g = row_of(in, k, &count);
        if (meter.charge(here.size() + count)) {
            return SegmentChoice::kStopped;
        }
        total.clear();
        const Units best = add_row_best(here.data(), here.size(), g, count, in.lo, in.hi, total);
        if (!total.ok() || !here.ok()) {
            return SegmentChoice::kNoMemory;
        }
        if (k + 1 == n) {
            out.upper = best;
            return SegmentChoice::kFound;
        }
        out.ahead[k + 1] = best;
        const Units change = best - in.penalty;
        next.clear();
        reaching(total.data(), total.size(), change, change, in.hi, next);
    }
}

// out(t) = the best of f over [lo, min(t + shift, hi)] less the penalty: what a change into t
// comes from, when the row before starts `shift` earlier. The best up to u is built from the
// left, each piece moved back by the shift as it is made; offsets above hi - shift reach the best
// over [lo, hi]. Values only: every piece is given no changes.
void before_change(const Piece* f, std::size_t n, Microseconds shift, Microseconds lo,
                   Microseconds hi, Units penalty, PieceList& out) {
    out.clear();
    Units best = 0;
    // The best up to u over [a, b] is value + slope * (u - a): it serves t = u - shift.
    const auto emit = [&](Microseconds a, Microseconds b, Units value, std::int64_t slope) {
        if (b - shift < lo) {
            return;
        }
        const Microseconds t = std::max(a - shift, lo);
        out.push({t, value + rise(slope, t - (a - shift)) - penalty, slope, 0});
    };
    for (std::size_t k = 0; k < n; ++k) {
        const Piece& p = f[k];
        const Microseconds end = end_of(f, n, k, hi);
        if (k == 0 || (p.slope > 0 && p.value >= best)) {
            if (p.slope > 0) {
                emit(p.start, end, p.value, p.slope);
                best = at(p, end);
                continue;
            }
            best = p.value;
        } else if (p.slope > 0 && at(p, end) > best) {
            // Rising past the best: the piece from the first step above it.
            const Microseconds first = p.start + static_cast<Microseconds>(
                                                     floor_steps(best - p.value, p.slope) + 1);
            emit(p.start, first - 1, best, 0);
            emit(first, end, at(p, first), p.slope);
            best = at(p, end);
            continue;
        } else {
            best = std::max(best, p.value);  // a falling piece is at its best at its start
        }
        emit(p.start, end, best, 0);
    }
    const Microseconds beyond = hi - shift + 1;
    if (beyond <= hi) {
        out.push({std::max(beyond, lo), best - penalty, 0, 0});
    }
}

// The same recursion forwards with the order: F_k(t), the best of rows 0..k with row k at t, is
// g_k(t) + max(F_{k-1}(t), max{F_{k-1}(u) : u <= t + (s_k - s_{k-1})} - P). Only the values count
// here, not the changes. It gives ahead[k], the best of F_{k-1}, and `upper`, the best score
// itself: a bound as tight as one number a row can be, for when the order costs too much for the
// bound without it. No list is kept, so it costs about what the recursion backwards costs
// without the lists it keeps for the reading forwards.
SegmentChoice::Status ordered_reach(const RecursionInput& in, WorkMeter& meter,
                                    ReachBound& out) {
    const std::size_t n = in.n;
    if (!out.ahead.allocate(n)) {
        return SegmentChoice::kNoMemory;
    }
    PieceList here;
    PieceList changed;
    PieceList upper;
    const Piece none{in.lo, 0, 0, 0};
    out.ahead[0] = 0;
    for (std::size_t k = 0;; ++k) {
        std::size_t count = 0;
        const RowPiece* g = row_of(in, k, &count);
        if (meter.charge(here.size() + count)) {
            return SegmentChoice::kStopped;
        }
        upper.clear();
        if (k == 0) {
            upper.push(none);
        } else {
            before_change(here.data(), here.size(), in.starts[k] - in.starts[k - 1], in.lo,
                          in.hi, in.penalty, changed);
            better_of(here.data(), here.size(), changed.data(), changed.size(), in.lo, in.hi,
                      upper);
        }
        here.clear();
        const Units best = add_row_best(upper.data(), upper.size(), g, count, in.lo, in.hi, here);
        if (!here.ok() || !changed.ok() || !upper.ok()) {
            return SegmentChoice::kNoMemory;
        }
        if (k + 1 == n) {
            out.upper = best;
            return SegmentChoice::kFound;
        }
        out.ahead[k + 1] = best;
    }
}

// Tries below this are not made: every `lower` tried, and the sums the dropping forms with it,
// stay clear of kPruned's range.
constexpr Units kLowestTried = -(Units{1} << 122);

// Row k's scores, f + its curve, as a new list at the end of `out`: f is what rows k+1.. add.
// With `bound`, what cannot reach `lower` is dropped (an offset of row k is dropped where its
// score plus bound->ahead[k] stays below it); `plain`: the list made whole in `raw`, then copied.
void keep_row(const RecursionInput& in, const ReachBound* bound, Units lower, bool plain,
              std::size_t k, const Piece* f, std::size_t fn, PieceList& raw, PieceList& out) {
    const RowPiece* g = in.rows + in.first[k];
    const std::size_t gn = in.first[k + 1] - in.first[k];
    out.begin();
    if (bound != nullptr) {
        add_row_reaching(f, fn, g, gn, in.lo, in.hi, lower - bound->ahead[k], kPruned, out);
    } else if (!plain) {
        add_row(f, fn, g, gn, in.lo, in.hi, out);
    } else {
        raw.clear();
        add_row(f, fn, g, gn, in.lo, in.hi, raw);
        for (std::size_t m = 0; m < raw.size(); ++m) {
            out.push_raw(raw[m]);
        }
    }
}

// Rows a list is kept for while the recursion runs, when the row curves hold every_list_below
// pieces or more: every kKeptEvery-th, the rows between two of them made again, a stretch at a
// time, when the reading forwards gets there. That keeps about 2 / kKeptEvery of the lists'
// memory for one more backward run (about an eighth more time on a whole film; up to a third
// where the backward runs are most of the work). Fewer pieces, and the plain recursion, keep
// every row's list.
constexpr std::size_t kKeptEvery = 32;

// The backward recursion's lists: row k's best scores from k on, for every offset of row k. In
// `kept` from first[k] (rows n-1 down to 0, so row k's ends where row k-1's begins, or at the
// end for row 0); without `every_row`, only rows k that are multiples of kKeptEvery, from
// first[k / kKeptEvery], and those between from `stretch`. The rest is room reused row after
// row.
struct SuffixLists {
    bool every_row = true;
    PieceList kept;
    EngineArray<std::size_t> first;
    PieceList changed;
    PieceList upper;
    PieceList raw;
    PieceList rolling[2];
    // The rows after a kept one up to the next, made again for the reading: row k's list from
    // stretch_first[k % kKeptEvery], ending where row k-1's begins, or at the end.
    PieceList stretch;
    std::size_t stretch_first[kKeptEvery] = {};
    std::size_t stretch_of = SIZE_MAX;  // k / kKeptEvery of the rows in it
    // How the lists were made: for making them again.
    const ReachBound* bound = nullptr;
    Units lower = 0;
    bool plain = false;

    bool prepare(std::size_t n, bool plain_run) noexcept {
        every_row = plain_run;
        return first.allocate(every_row ? n : n / kKeptEvery + 1);
    }

    bool ok() const noexcept {
        return kept.ok() && changed.ok() && upper.ok() && raw.ok() && rolling[0].ok() &&
               rolling[1].ok() && stretch.ok();
    }

    // Row k's list; every_row, or k a multiple of kKeptEvery, or its stretch made (`make`).
    const Piece* list_of(std::size_t k, std::size_t* count) const noexcept {
        if (every_row || k % kKeptEvery == 0) {
            const std::size_t c = every_row ? k : k / kKeptEvery;
            *count = (c == 0 ? kept.size() : first[c - 1]) - first[c];
            return kept.data() + first[c];
        }
        const std::size_t i = k % kKeptEvery;
        *count = (i == 1 ? stretch.size() : stretch_first[i - 1]) - stretch_first[i];
        return stretch.data() + stretch_first[i];
    }

    // Makes the lists of the stretch that holds row k again, unless they are there.
    SegmentChoice::Status make(const RecursionInput& in, std::size_t k, WorkMeter& meter) {
        if (every_row || k % kKeptEvery == 0 || stretch_of == k / kKeptEvery) {
            return SegmentChoice::kFound;
        }
        const std::size_t low = k / kKeptEvery * kKeptEvery;
        const std::size_t high = std::min(low + kKeptEvery, in.n) - 1;  // the stretch's top row
        stretch.clear();
        stretch_of = SIZE_MAX;
        stretch_first[high - low] = 0;
        if (high == in.n - 1) {
            const Piece none{in.lo, 0, 0, 0};
            keep_row(in, bound, lower, plain, high, &none, 1, raw, stretch);
        } else {
            std::size_t count = 0;
            const Piece* next = list_of(high + 1, &count);  // a kept row's
            if (!row_before(in, high + 1, next, count, meter, stretch)) {
                return SegmentChoice::kStopped;
            }
        }
        for (std::size_t j = high, at = 0; j > low + 1; --j) {
            const std::size_t begins = stretch.size();
            stretch_first[j - 1 - low] = begins;
            if (!row_before(in, j, stretch.data() + at, begins - at, meter, stretch)) {
                return SegmentChoice::kStopped;
            }
            at = begins;
        }
        if (!ok()) {
            return SegmentChoice::kNoMemory;
        }
        stretch_of = k / kKeptEvery;
        return SegmentChoice::kFound;
    }

    // Row k-1's list from row k's (`next`, which may lie in `out`: it is read before anything is
    // added there), as a new list at the end of `out`; false when the meter says stop.
    bool row_before(const RecursionInput& in, std::size_t k, const Piece* next, std::size_t count,
                    WorkMeter& meter, PieceList& out) {
        if (meter.charge(count + (in.first[k] - in.first[k - 1]))) {
            return false;
        }
        after_change(next, count, in.starts[k] - in.starts[k - 1], in.lo, in.hi, in.penalty,
                     changed);
        upper.clear();
        better_of(next, count, changed.data(), changed.size(), in.lo, in.hi, upper);
        keep_row(in, bound, lower, plain, k - 1, upper.data(), upper.size(), raw, out);
        return true;
    }
};

// Fills `lists` from row n-1 down; with `bound`, drops what cannot reach `lower` (keep_row).
// *short_of turns true, and the lists are left unfinished, when every offset of a row is
// dropped: then no assignment reaches `lower`. `plain`: the recursion as first written, each
// row's list made whole in `raw`, then copied; otherwise each row's list is made in place,
// dropped offsets and all.
SegmentChoice::Status suffix_scores(const RecursionInput& in, const ReachBound* bound,
                                    Units lower, bool plain, WorkMeter& meter,
                                    SuffixLists& lists, bool* short_of) {
    *short_of = false;
    const std::size_t n = in.n;
    lists.bound = bound;
    lists.lower = lower;
    lists.plain = plain;
    lists.stretch_of = SIZE_MAX;
    PieceList& kept = lists.kept;
    kept.clear();
    // Each row's list is made in `made`: `kept` itself, or one of the rolling pair, copied to
    // `kept` when its row is one kept.
    std::size_t at = 0;
    PieceList* made = lists.every_row ? &kept : &lists.rolling[0];
    const auto store = [&](std::size_t k) {
        if (lists.every_row) {
            lists.first[k] = at;
        } else if (k % kKeptEvery == 0) {
            lists.first[k / kKeptEvery] = kept.size();
            kept.begin();
            for (std::size_t m = at; m < made->size(); ++m) {
                kept.push_raw((*made)[m]);
            }
        }
    };
    const Piece none{in.lo, 0, 0, 0};
    made->clear();
    keep_row(in, bound, lower, plain, n - 1, &none, 1, lists.raw, *made);
    store(n - 1);
    for (std::size_t k = n - 1;; --k) {
        if (!lists.ok()) {
            return SegmentChoice::kNoMemory;
        }
        if (k == 0) {
            return SegmentChoice::kFound;
        }
        const std::size_t count = made->size() - at;
        const Piece* next = made->data() + at;
        PieceList* out = made;
        if (!lists.every_row) {
            out = made == &lists.rolling[0] ? &lists.rolling[1] : &lists.rolling[0];
            out->clear();
        }
        const std::size_t begins = out->size();
        if (!lists.row_before(in, k, next, count, meter, *out)) {
            return SegmentChoice::kStopped;
        }
        made = out;
        at = begins;
        store(k - 1);
        if (made->size() == at + 1 && (*made)[at].value == kPruned) {
            *short_of = true;
            return SegmentChoice::kFound;
        }
    }
}

// How far below `upper` the dropping tries `lower`, in quarters of a change, before the recursion
// runs with nothing dropped. The dropping pays only with `lower` within about a change of the
// best (below that, few offsets score less), and a try with `lower` above the best most often
// drops every offset of a row within a few rows, which ends it: the best is approached from
// above. When the order costs many changes' worth (cheap changes, or subtitles that fit nowhere)
// every try ends so, and little is lost.
constexpr Units kTryQuarters[] = {0, 1, 2, 4, 8, 16};

// The offsets t[0 .. n) by start-order position of the best assignment with the fewest and
// earliest changes, and its score in *top. `plain`: no offset dropped.
SegmentChoice::Status assign_offsets(const RecursionInput& in, bool plain, WorkMeter& meter,
                                     Microseconds* t, Units* top) {
    const std::size_t n = in.n;
    SuffixLists lists;
    if (!lists.prepare(n, plain || in.first[n] < in.every_list_below)) {
        return SegmentChoice::kNoMemory;
    }
    std::size_t count = 0;
    Best best{0, 0, 0};
    bool done = false;
    // Free changes leave nothing to drop: the bound is not built. Both bounds live as long as
    // the lists, which are made again from them for the reading.
    ReachBound reach;
    ReachBound ordered;
    if (!plain && in.penalty > 0) {
        const SegmentChoice::Status reached = bound_reach(in, meter, reach);
        if (reached != SegmentChoice::kFound) {
            return reached;
        }
        // A try whose best reaches its `lower` has the best: no best assignment was dropped.
        for (const Units quarters : kTryQuarters) {
            const Units lower = reach.upper - in.penalty / 4 * quarters;
            if (lower < kLowestTried) {
                break;
            }
            bool short_of = false;
            const SegmentChoice::Status status =
                suffix_scores(in, &reach, lower, false, meter, lists, &short_of);
            if (status != SegmentChoice::kFound) {
                return status;
            }
            if (short_of) {
                continue;
            }
            const Piece* f = lists.list_of(0, &count);
            best = best_from(f, count, in.lo, in.hi);
            if (best.value >= lower) {
                done = true;
                break;
            }
        }
    }
    if (!done && !plain && in.penalty > 0) {
        // Every try fell short: the order costs many changes' worth. With the best known, one
        // run reaches it (a shortfall would mean a fault, and the run with nothing dropped
        // follows).
        SegmentChoice::Status status = ordered_reach(in, meter, ordered);
        if (status != SegmentChoice::kFound) {
            return status;
        }
        bool short_of = false;
        status = suffix_scores(in, &ordered, ordered.upper, false, meter, lists, &short_of);
        if (status != SegmentChoice::kFound) {
            return status;
        }
        if (!short_of) {
            const Piece* f = lists.list_of(0, &count);
            best = best_from(f, count, in.lo, in.hi);
            done = best.value >= ordered.upper;
        }
    }
    if (!done) {
        bool short_of = false;
        const SegmentChoice::Status status =
            suffix_scores(in, nullptr, 0, plain, meter, lists, &short_of);
        if (status != SegmentChoice::kFound) {
            return status;
        }
        const Piece* f = lists.list_of(0, &count);
        best = best_from(f, count, in.lo, in.hi);
    }
    // Forwards: the first best offset of row 0, then at each row a change as soon as one keeps
    // the best, to the first offset that does.
    *top = best.value;
    t[0] = best.at;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        // Row k's stretch, and row k+1's (the same, or a kept row), made again if need be.
        for (const std::size_t j : {k, k + 1}) {
            const SegmentChoice::Status made = lists.make(in, j, meter);
            if (made != SegmentChoice::kFound) {
                return made;
            }
        }
        const Piece* fk = lists.list_of(k, &count);
        const Piece& here = fk[piece_of(fk, count, t[k])];
        const RowPiece* gains = in.rows + in.first[k];
        const RowPiece& gain = gains[piece_of(gains, in.first[k + 1] - in.first[k], t[k])];
        const Units rest = at(here, t[k]) - at(gain, t[k]);
        const Piece* fn = lists.list_of(k + 1, &count);
        // The change lets row k+1 start no earlier than row k: u >= t[k] - (s_{k+1} - s_k).
        const Microseconds from = std::max(in.lo, t[k] - (in.starts[k + 1] - in.starts[k]));
        const Best jump = best_from(fn, count, from, in.hi);
        if (jump.value - in.penalty == rest && jump.changes + 1 == here.changes) {
            t[k + 1] = jump.at;
        } else {
            t[k + 1] = t[k];
        }
        if (meter.charge(count)) {
            return SegmentChoice::kStopped;
        }
    }
    return SegmentChoice::kFound;
}

constexpr std::int64_t kNoCell = INT64_MIN;  // a cell no assignment reaches
constexpr std::int64_t kLongestSpan = std::int64_t{1} << 61;
// Cells of a quarter second beyond the window (or a sixteenth of the window, when narrower),
// wider where kMostBeyondCells / 2 of them would not cover the range (about 4.5 hours).
constexpr Microseconds kBeyondCell = 250000;
constexpr std::size_t kMostBeyondCells = std::size_t{1} << 17;
constexpr std::size_t kMostGridPoints = std::size_t{1} << 22;
// Grid points a cell: the grid's rounding of a cell's reach costs a quarter of a cell.
constexpr std::size_t kGridPerCell = 4;

// The speech measure S (below) every `width` microseconds from x0, in whole microseconds, over
// every point a window's cells look at.
struct BeyondGrid {
    Microseconds width = 1;
    Microseconds x0 = 0;
    EngineArray<std::int64_t> measure;
    std::size_t points = 0;
    std::int64_t most_rows = 0;  // the most speech rows that overlap: S's steepest slope

    // The index of the first point at or above x, and of the last at or below it (x0 <= x).
    std::int64_t up_index(Microseconds x) const noexcept {
        return static_cast<std::int64_t>((x - x0 + width - 1) / width);
    }
    std::int64_t down_index(Microseconds x) const noexcept {
        return static_cast<std::int64_t>((x - x0) / width);
    }
};

// S(x): the summed length up to x of the speech rows, each moved out to whole microseconds
// (floor of its start, ceiling of its end), rows that end before they start left out. Held at
// its corners: from at[k] on, S rises by slope[k] a microsecond from value[k].
class SpeechMeasure {
public:
    bool build(const SpeechEdge* edges, std::size_t m) noexcept {
        struct Corner {
            Microseconds at;
            std::int64_t step;
        };
        EngineArray<Corner> corners;
        if (!corners.allocate(2 * m) || !at_.allocate(2 * m) || !slope_.allocate(2 * m) ||
            !value_.allocate(2 * m)) {
            return false;
        }
        std::size_t made = 0;
        for (std::size_t r = 0; r < m; ++r) {
            const Microseconds start = edges[r].start.floor;
            const Microseconds end = edges[r].end.floor + (edges[r].end.whole ? 0 : 1);
            if (start < end) {
                corners[made++] = {start, 1};
                corners[made++] = {end, -1};
            }
        }
        std::sort(corners.data(), corners.data() + made,
                  [](const Corner& a, const Corner& b) { return a.at < b.at; });
        count_ = 0;
        std::int64_t slope = 0;
        Microseconds value = 0;
        for (std::size_t i = 0; i < made;) {
            const Microseconds x = corners[i].at;
            if (count_ > 0) {
                value += slope * (x - at_[count_ - 1]);
            }
            for (; i < made && corners[i].at == x; ++i) {
                slope += corners[i].step;
            }
            at_[count_] = x;
            slope_[count_] = slope;
            value_[count_] = value;
            ++count_;
        }
        return true;
    }

    // S every `width` microseconds over [from, to] (from, then on past to) into *grid; false
    // when that takes more than kMostGridPoints points or memory fails.
    bool sample(Microseconds from, Microseconds to, Microseconds width,
                BeyondGrid* grid) const noexcept {
        grid->width = width;
        grid->x0 = from;
        if ((to - from) / width + 2 > static_cast<Microseconds>(kMostGridPoints)) {
            return false;
        }
        grid->points = static_cast<std::size_t>((to - from) / width + 2);
        if (!grid->measure.allocate(grid->points)) {
            return false;
        }
        grid->most_rows = 0;
        for (std::size_t k = 0; k < count_; ++k) {
            grid->most_rows = std::max(grid->most_rows, slope_[k]);
        }
        std::size_t upto = corners_upto(from);
        for (std::size_t p = 0; p < grid->points; ++p) {
            const Microseconds x = from + static_cast<Microseconds>(p) * width;
            while (upto < count_ && at_[upto] <= x) {
                ++upto;
            }
            grid->measure[p] = static_cast<std::int64_t>(value_at(upto, x));
        }
        return true;
    }

private:
    std::size_t corners_upto(Microseconds x) const noexcept {
        return static_cast<std::size_t>(std::upper_bound(at_.data(), at_.data() + count_, x) -
                                        at_.data());
    }
    // With `upto` corners at or below x.
    Microseconds value_at(std::size_t upto, Microseconds x) const noexcept {
        return upto == 0 ? 0 : value_[upto - 1] + slope_[upto - 1] * (x - at_[upto - 1]);
    }

    EngineArray<Microseconds> at_;
    EngineArray<std::int64_t> slope_;
    EngineArray<Microseconds> value_;
    std::size_t count_ = 0;
};

// A search run over a window of a wider range: that range, and the speech's measure for the
// bound beyond the window.
struct Window {
    Microseconds lo;
    Microseconds hi;
    const BeyondGrid* grid;
};

// The best of f over [from, to], within the list's range ending at hi; kPruned when empty.
Units best_within(const Piece* f, std::size_t n, Microseconds from, Microseconds to,
                  Microseconds hi) noexcept {
    Units best = kPruned;
    for (std::size_t k = piece_of(f, n, from); k < n && f[k].start <= to; ++k) {
        const Piece& p = f[k];
        const Microseconds a = std::max(p.start, from);
        const Microseconds b = std::min(end_of(f, n, k, hi), to);
        best = std::max(best, at(p, p.slope > 0 ? b : a));
    }
    return best;
}

// Whether every assignment over the window's whole range with some row outside [in.lo, in.hi]
// scores below `top`, the best within it (segment_search.hpp). The recursion forwards, with the
// order, over three kinds of state: no row outside the window yet (`inside`, over the window),
// inside after some row outside (`flagged`), and outside, on cells of kBeyondCell offsets
// (`cells`), where a row's curve is bounded by the speech measure over the cell and a cell
// reaches every cell the order lets any of its offsets reach. A change from inside to above the
// window comes from the best inside; to below it, from the best of the offsets the starts' gap
// lets the order come down from. Without `ordered`, the states with no row outside yet drop the
// order (a change goes anywhere), which bounds them from above at a fraction of the cost. The
// cells are summed in whole microseconds, each bound rounded up and the penalty down. `bounds`:
// the scaled subtitle bounds, rows in start order through `order`.
SegmentChoice::Status window_holds(const RecursionInput& in, const Window& window,
                                   const Microseconds* bounds, const std::uint32_t* order,
                                   Units top, bool ordered, WorkMeter& meter, bool* holds) {
    *holds = false;
    const BeyondGrid& grid = *window.grid;
    const Microseconds w = grid.width * static_cast<Microseconds>(kGridPerCell);
    const Microseconds right_a = in.hi + 1;
    const auto cells_in = [w](Microseconds a, Microseconds b) {
        return a > b ? std::size_t{0} : static_cast<std::size_t>((b - a) / w + 1);
    };
    const std::size_t left = cells_in(window.lo, in.lo - 1);
    const std::size_t cells = left + cells_in(right_a, window.hi);
    if (cells > kMostBeyondCells) {
        return SegmentChoice::kFound;  // not shown
    }
    EngineArray<std::int64_t> rows[2];
    EngineArray<std::int64_t> prefix;  // the best of the cells up to each, less the penalty
    if (!rows[0].allocate(cells) || !rows[1].allocate(cells) || !prefix.allocate(cells)) {
        return SegmentChoice::kNoMemory;
    }
    std::int64_t* value = rows[0].data();  // the cells' bound for the row before
    std::int64_t* next = rows[1].data();   // and for this row
    // Whole microseconds, rounded up; kPruned's range (every value that reaches something lies
    // above -2**102, the penalty being below 2**101) as kNoCell.
    const auto units_up = [](Units v) -> std::int64_t {
        return v < -(Units{1} << 104) ? kNoCell
                                      : static_cast<std::int64_t>(-floor_div(-v, kOneMicrosecond));
    };
    const std::int64_t penalty = static_cast<std::int64_t>(floor_div(in.penalty, kOneMicrosecond));
    PieceList inside;
    PieceList flagged;
    PieceList changed;
    PieceList upper;
    PieceList joined;
    PieceList entry;
    flagged.push({in.lo, kPruned, 0, 0});
    Units inside_best = 0;
    Units flagged_best = kPruned;
    std::int64_t cells_best = kNoCell;
    for (std::size_t k = 0; k < in.n; ++k) {
        const Microseconds os = bounds[2 * order[k]];
        const Microseconds oe = std::max(os, bounds[2 * order[k] + 1]);
        std::size_t count = 0;
        const RowPiece* g = row_of(in, k, &count);
        const Microseconds shift = k == 0 ? 0 : in.starts[k] - in.starts[k - 1];
        if (meter.charge(cells + count + inside.size() + flagged.size())) {
            return SegmentChoice::kStopped;
        }
        // Outside. From inside or flagged: above the window from their best, below it from
        // their best within the gap of its edge.
        std::int64_t into_right = kNoCell;
        std::int64_t into_left = kNoCell;
        if (k > 0) {
            into_right = units_up(std::max(inside_best, flagged_best) - in.penalty);
            const Microseconds edge = std::min(in.hi, in.lo - 1 + shift);
            if (shift > 0) {
                into_left = units_up(
                    std::max(best_within(inside.data(), inside.size(), in.lo, edge, in.hi),
                             best_within(flagged.data(), flagged.size(), in.lo, edge, in.hi)) -
                    in.penalty);
            }
        }
        // The cells a gap of `shift` lets a cell reach upwards, within its side.
        const std::size_t d =
            static_cast<std::size_t>(std::min<Microseconds>((w - 1 + shift) / w, cells));
        const Microseconds most = (oe - os) * grid.most_rows;
        const std::int64_t span =
            most > kLongestSpan ? kLongestSpan : static_cast<std::int64_t>(most);
        if (k > 0) {
            std::int64_t best = kNoCell;
            for (std::size_t c = 0; c < cells; ++c) {
                best = std::max(best, value[c]);
                prefix[c] = best - penalty;  // every cell holds a value after row 0
            }
        }
        std::int64_t row_best = kNoCell;
        for (int side = 0; side < 2; ++side) {
            const std::size_t from = side == 0 ? 0 : left;
            const std::size_t to = side == 0 ? left : cells;
            if (from == to) {
                continue;
            }
            const Microseconds a = side == 0 ? window.lo : right_a;
            // Cell c's reach of the speech, S(oe + its last offset) - S(os + its first), from the
            // grid points at or above the one and at or below the other.
            const std::int64_t* up = grid.measure.data() + grid.up_index(oe + a + w - 1);
            const std::int64_t* down = grid.measure.data() + grid.down_index(os + a);
            const auto reach_of = [&](std::size_t c) {
                const std::size_t i = kGridPerCell * (c - from);
                return std::min(span, up[i] - down[i]);
            };
            if (k == 0) {  // from nothing, anywhere
                for (std::size_t c = from; c < to; ++c) {
                    next[c] = reach_of(c);
                    row_best = std::max(row_best, next[c]);
                }
                continue;
            }
            // Into a cell from inside: above the window every cell, below it those whose last
            // offset the gap reaches from the window's first.
            std::size_t entered = from;
            std::int64_t into = into_right;
            if (side == 0) {
                const Microseconds first = in.lo - shift - (a + w - 1);
                entered = first <= 0 ? from
                                     : static_cast<std::size_t>(std::min<Microseconds>(
                                           (first + w - 1) / w, static_cast<Microseconds>(to)));
                into = into_left;
            }
            // A change into cell c comes from the best of the cells up to c + d.
            const std::size_t bulk = to - std::min(to - from, d);
            const auto fill = [&](std::size_t c0, std::size_t c1, std::int64_t entry) {
                for (std::size_t c = c0; c < std::min(c1, bulk); ++c) {
                    next[c] = std::max({value[c], prefix[c + d], entry}) + reach_of(c);
                    row_best = std::max(row_best, next[c]);
                }
                for (std::size_t c = std::max(c0, bulk); c < c1; ++c) {
                    next[c] = std::max({value[c], prefix[to - 1], entry}) + reach_of(c);
                    row_best = std::max(row_best, next[c]);
                }
            };
            fill(from, entered, kNoCell);
            fill(entered, to, into);
            // Below the window, cells whose last offset a gap wider than the window lifts above
            // it reach cells there too.
            const auto lifted = [&](std::size_t c) {  // cell c's last offset plus the gap
                return a + static_cast<Microseconds>(c - from) * w + w - 1 + shift;
            };
            if (side == 0 && left < cells && lifted(to - 1) >= right_a) {
                for (std::size_t c = from; c < to; ++c) {
                    if (lifted(c) >= right_a) {
                        const Microseconds above = std::min<Microseconds>(
                            (lifted(c) - right_a) / w, static_cast<Microseconds>(cells - left - 1));
                        const std::size_t j = left + static_cast<std::size_t>(above);
                        next[c] = std::max(next[c], prefix[j] + reach_of(c));
                        row_best = std::max(row_best, next[c]);
                    }
                }
            }
        }
        // Inside after a row outside: the recursion with the order, or a change from a cell,
        // all those below the window and those above it whose first offset t + shift reaches.
        if (k > 0) {
            entry.clear();
            std::int64_t reachable = kNoCell;
            for (std::size_t c = 0; c < left; ++c) {
                reachable = std::max(reachable, value[c]);
            }
            std::size_t c = left;
            for (; c < cells && right_a + static_cast<Microseconds>(c - left) * w <= in.lo + shift;
                 ++c) {
                reachable = std::max(reachable, value[c]);
            }
            const auto step = [&](Microseconds t) {
                const Units from_cells =
                    reachable == kNoCell ? kPruned : reachable * kOneMicrosecond - in.penalty;
                entry.push({t, from_cells, 0, 0});
            };
            step(in.lo);
            for (; c < cells; ++c) {
                const Microseconds t = right_a + static_cast<Microseconds>(c - left) * w - shift;
                if (t > in.hi) {
                    break;
                }
                if (value[c] > reachable) {
                    reachable = value[c];
                    step(t);
                }
            }
            before_change(flagged.data(), flagged.size(), shift, in.lo, in.hi, in.penalty,
                          changed);
            upper.clear();
            better_of(flagged.data(), flagged.size(), changed.data(), changed.size(), in.lo,
                      in.hi, upper);
            joined.clear();
            better_of(upper.data(), upper.size(), entry.data(), entry.size(), in.lo, in.hi,
                      joined);
            flagged.clear();
            flagged_best = add_row_best(joined.data(), joined.size(), g, count, in.lo, in.hi,
                                        flagged);
        }
        // No row outside yet: the recursion over the window, with the order or without.
        upper.clear();
        if (k == 0) {
            upper.push({in.lo, 0, 0, 0});
        } else if (!ordered) {
            const Units floor = inside_best - in.penalty;
            reaching(inside.data(), inside.size(), floor, floor, in.hi, upper);
        } else {
            before_change(inside.data(), inside.size(), shift, in.lo, in.hi, in.penalty, changed);
            better_of(inside.data(), inside.size(), changed.data(), changed.size(), in.lo, in.hi,
                      upper);
        }
        inside.clear();
        inside_best = add_row_best(upper.data(), upper.size(), g, count, in.lo, in.hi, inside);
        if (!inside.ok() || !flagged.ok() || !changed.ok() || !upper.ok() || !joined.ok() ||
            !entry.ok()) {
            return SegmentChoice::kNoMemory;
        }
        std::swap(value, next);
        cells_best = row_best;
    }
    *holds = std::max(cells_best == kNoCell ? kPruned : cells_best * kOneMicrosecond,
                      flagged_best) < top;
    return SegmentChoice::kFound;
}

// Above this many changes of offset in a window's answer, the bound beyond it keeps the order
// from the start.
constexpr std::size_t kFewChanges = 8;

// Whether the answer `t` (by start-order position) found over the window [in.lo, in.hi], of
// score `top`, is the whole range's: window_holds, unless the answer goes near an edge of the
// window, where it most often goes on beyond it and the bound is not worth its cost. Without the
// order before the first row outside, the bound costs a fraction; with it, it holds where the
// order binds (a film at another frame rate, whose answer changes offset again and again, which
// is given the order from the start).
SegmentChoice::Status window_answer_holds(const RecursionInput& in, const Window& window,
                                          const Microseconds* bounds, const std::uint32_t* order,
                                          const Microseconds* t, Units top, WorkMeter& meter,
                                          bool* holds) {
    *holds = false;
    const Microseconds margin = (in.hi - in.lo) / 16;
    std::size_t changes = 0;
    for (std::size_t k = 0; k < in.n; ++k) {
        if ((t[k] < in.lo + margin && in.lo > window.lo) ||
            (t[k] > in.hi - margin && in.hi < window.hi)) {
            return SegmentChoice::kFound;
        }
        changes += k > 0 && t[k] != t[k - 1];
    }
    if (changes <= kFewChanges) {
        const SegmentChoice::Status status =
            window_holds(in, window, bounds, order, top, false, meter, holds);
        if (status != SegmentChoice::kFound || *holds) {
            return status;
        }
    }
    return window_holds(in, window, bounds, order, top, true, meter, holds);
}

// Whether no row curve over the range can reach kRowCurveLimit nor their maxima sum to
// kValueLimit: a pair that meets adds at most the length of either row in magnitude, and the
// rounding of its speech bounds. Then the whole range's search fails for size exactly when a
// window's would: never.
bool small_enough(const SegmentSearch& s, const SpeechEdge* edges, const Microseconds* scaled) {
    constexpr Microseconds kLongest = Microseconds{1} << 56;
    Microseconds speech = 0;
    for (std::size_t r = 0; r < s.base_len; ++r) {
        const Microseconds length = edges[r].end.floor - edges[r].start.floor;
        speech += (length < 0 ? -length : length) + 2;
        if (speech >= kLongest) {
            return false;
        }
    }
    const auto m = static_cast<Microseconds>(s.base_len);
    Microseconds sum = 0;
    for (std::size_t k = 0; k < s.other_len; ++k) {
        Microseconds length = scaled[2 * k + 1] - scaled[2 * k];
        length = length < 0 ? -length : length;
        if (length >= kLongest || speech + m * length >= (Microseconds{1} << 58)) {
            return false;
        }
        sum += speech + m * length;
    }
    return sum < (Microseconds{1} << 60);
}

void search_within(const SegmentSearch& s, const Window* window, SegmentChoice* choice,
                   StopCheck* check, bool* proven);

// The search a window at a time (segment_search.hpp); false when the whole range must be
// searched instead.
bool search_windows(const SegmentSearch& s, SegmentChoice* choice, StopCheck* check) {
    const std::size_t n = s.other_len;
    if (n == 0 || n > UINT32_MAX) {
        return false;
    }
    // The whole range's own failures (a bound scaled, or shifted to an end of the range, out of
    // timedelta's range) are left for its search to report.
    const OffsetSearch range{s, &s.factor, 1, s.lo, s.hi, 0, false, false};
    EngineArray<Microseconds> scaled;
    EngineArray<SpeechEdge> edges;
    OffsetChoice failure;
    if (!scaled.allocate(2 * n) || !scale_tables(range, scaled.data(), &failure) ||
        !edges.allocate(s.base_len)) {
        return false;
    }
    speech_edges(s.c_base, s.base_len, edges.data());
    // Cells of kBeyondCell, or wider to keep them to half kMostBeyondCells; the grid spans what
    // every row's cells look at, from the earliest start at lo to the latest end past hi.
    const Microseconds width =
        std::max({std::min(kBeyondCell, s.window / 16), Microseconds{kGridPerCell},
                  (s.hi - s.lo) / static_cast<Microseconds>(kMostBeyondCells / 2) + 1});
    const auto per_cell = static_cast<Microseconds>(kGridPerCell);
    const Microseconds step = (width + per_cell - 1) / per_cell;
    Microseconds first = scaled[0];
    Microseconds last = scaled[1];
    for (std::size_t k = 0; k < n; ++k) {
        first = std::min(first, scaled[2 * k]);
        last = std::max({last, scaled[2 * k], scaled[2 * k + 1]});
    }
    SpeechMeasure speech;
    BeyondGrid grid;
    if (!small_enough(s, edges.data(), scaled.data()) || !speech.build(edges.data(), s.base_len) ||
        !speech.sample(first + s.lo - step, last + s.hi + 2 * per_cell * step, step, &grid)) {
        return false;
    }
    OffsetChoice common;
    search_best_offset(range, &common, check);
    if (common.status == OffsetChoice::kStopped) {
        choice->status = SegmentChoice::kStopped;
        return true;
    }
    if (common.status != OffsetChoice::kFound) {
        return false;
    }
    const Window window{s.lo, s.hi, &grid};
    Microseconds reach = s.window;
    for (int tries = 0; tries < 2; ++tries, reach *= 8) {
        SegmentSearch part = s;
        part.lo = std::max(s.lo, common.offset - reach);
        part.hi = std::min(s.hi, common.offset + reach);
        // A window of more than a quarter of the range saves too little of the whole search.
        if (part.hi - part.lo > (s.hi - s.lo) / 4) {
            return false;
        }
        bool proven = false;
        search_within(part, &window, choice, check, &proven);
        if (choice->status == SegmentChoice::kStopped) {
            return true;
        }
        if (choice->status == SegmentChoice::kFound && proven) {
            choice->windowed = true;
            return true;
        }
    }
    return false;
}

// The search over [s.lo, s.hi]; with `window`, over a window of its range, and *proven says
// whether the answer is the whole range's (when it is not, the choice is incomplete).
void search_within(const SegmentSearch& s, const Window* window, SegmentChoice* choice,
                   StopCheck* check, bool* proven) {
    choice->windowed = false;
    if (proven != nullptr) {
        *proven = false;
    }
    choice->status = SegmentChoice::kNoMemory;
    const std::size_t n = s.other_len;
    if (n > UINT32_MAX || n == 0) {
        return;  // the start order holds 32-bit row numbers
    }
    EngineArray<Microseconds> scaled;
    if (!scaled.allocate(2 * n)) {
        return;
    }
    {
        const OffsetSearch range{s, &s.factor, 1, s.lo, s.hi, 0, false, false};
        OffsetChoice failure;
        if (!scale_tables(range, scaled.data(), &failure)) {
            choice->status = failure.status == OffsetChoice::kScaledOutOfRange
                                 ? SegmentChoice::kScaledOutOfRange
                                 : SegmentChoice::kShiftedOutOfRange;
            choice->bad_bound = failure.bad_bound;
            choice->bad_value = failure.bad_value;
            choice->bad_low = failure.bad_low;
            return;
        }
    }
    EngineArray<std::uint32_t> order;
    EngineArray<SpeechEdge> edges;
    if (!order.allocate(n) || !start_order(scaled.data(), n, order.data()) ||
        !edges.allocate(s.base_len)) {
        return;
    }
    speech_edges(s.c_base, s.base_len, edges.data());
    WorkMeter meter(check);
    EngineArray<RowPiece> rows;
    EngineArray<std::size_t> first;
    switch (row_curves(edges.data(), s.base_len, scaled.data(), n, order.data(), s.lo, s.hi,
                       rows, first, meter)) {
        case RowCurveStatus::kBuilt:
            break;
        case RowCurveStatus::kStopped:
            choice->status = SegmentChoice::kStopped;
            return;
        case RowCurveStatus::kTooLarge:
            choice->status = SegmentChoice::kTooLarge;
            return;
        default:
            return;
    }
    // Every score lies within the sum of the rows' largest magnitudes, V; a penalty above 2V
    // never pays and is held as 2V + 1, which keeps every sum below 2**125.
    Units bound = 0;
    for (std::size_t k = 0; k < n; ++k) {
        Units largest = 0;
        for (std::size_t m = first[k]; m < first[k + 1]; ++m) {
            const Microseconds end = m + 1 < first[k + 1] ? rows[m + 1].start - 1 : s.hi;
            const Units a = rows[m].value;
            const Units b = at(rows[m], end);
            largest = std::max({largest, a < 0 ? -a : a, b < 0 ? -b : b});
        }
        bound += largest;
        if (bound >= kValueLimit) {
            choice->status = SegmentChoice::kTooLarge;
            return;
        }
    }
    const Units cap = 2 * bound + 1;
    const Units penalty = penalty_units(s.penalty, cap);
    EngineArray<Microseconds> starts;
    EngineArray<Microseconds> t;
    SegmentCentring centring(rows.data(), first.data());
    if (!starts.allocate(n) || !t.allocate(n) || !centring.reserve(first[n])) {
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        starts[k] = scaled[2 * order[k]];
    }
    Units top = 0;
    if (penalty == cap) {
        if (window != nullptr) {
            return;  // the cap is the window's: the whole range's may be above it
        }
        // No change can pay: the first best common offset of the summed curve.
        centring.sum_rows(0, n - 1, s.lo, s.hi);
        const Microseconds common = centring.first_best(&top);
        for (std::size_t k = 0; k < n; ++k) {
            t[k] = common;
        }
    } else {
        const RecursionInput input{rows.data(), first.data(), starts.data(), n, s.lo, s.hi,
                                   penalty, s.every_list_below};
        SegmentChoice::Status status = assign_offsets(input, s.plain, meter, t.data(), &top);
        bool holds = true;
        if (status == SegmentChoice::kFound && window != nullptr) {
            status = window_answer_holds(input, *window, scaled.data(), order.data(), t.data(),
                                         top, meter, &holds);
        }
        if (status != SegmentChoice::kFound) {
            choice->status = status;
            return;
        }
        if (!holds) {
            return;
        }
    }
    const double maximum = to_double(top) / static_cast<double>(kOneMicrosecond);
    // Segments, then each moved to the middle of its run within the tolerance.
    std::size_t runs = 1;
    for (std::size_t k = 1; k < n; ++k) {
        runs += t[k] != t[k - 1];
    }
    if (!choice->segments.allocate(runs) || !choice->offsets.allocate(n)) {
        return;
    }
    const Units tolerance = static_cast<Units>(tolerance_of(maximum) * to_double(kOneMicrosecond));
    Units slack = tolerance;  // how far the score may still fall below the maximum
    std::size_t made = 0;
    for (std::size_t a = 0; a < n;) {
        std::size_t b = a;
        while (b + 1 < n && t[b + 1] == t[a]) {
            ++b;
        }
        if (meter.charge(first[b + 1] - first[a])) {
            choice->status = SegmentChoice::kStopped;
            return;
        }
        const Microseconds own = t[a];
        Microseconds low = s.lo;
        Microseconds high = s.hi;
        // The order with each neighbour, and never a neighbour's own offset.
        const auto keep_off = [&](Microseconds neighbour) {
            if (neighbour < own) {
                low = std::max(low, neighbour + 1);
            } else {
                high = std::min(high, neighbour - 1);
            }
        };
        if (a > 0) {
            low = std::max(low, t[a - 1] - (starts[a] - starts[a - 1]));
            keep_off(t[a - 1]);
        }
        if (b + 1 < n) {
            high = std::min(high, t[b + 1] + (starts[b + 1] - starts[b]));
            keep_off(t[b + 1]);
        }
        // The run is looked for in a window around the segment's offset, widened until the run
        // ends inside it: a narrow run costs a look at few breakpoints.
        Microseconds run_first = own;
        Microseconds run_last = own;
        Units here = 0;
        for (Microseconds width = 1024;; width *= 4) {
            const Microseconds from = std::max(low, own - width);
            const Microseconds to = std::min(high, own + width);
            centring.sum_rows(a, b, from, to);
            here = centring.value_at(own);
            centring.run_around(own, here - slack, from, to, &run_first, &run_last);
            if ((run_first > from || from == low) && (run_last < to || to == high)) {
                break;
            }
        }
        if (window != nullptr && ((run_first == s.lo && s.lo > window->lo) ||
                                  (run_last == s.hi && s.hi < window->hi))) {
            return;  // the run may go on beyond the window
        }
        const Microseconds moved = middle(run_first, run_last);
        slack -= here - centring.value_at(moved);
        for (std::size_t k = a; k <= b; ++k) {
            t[k] = moved;
            choice->offsets[order[k]] = moved;
        }
        choice->segments[made++] = SegmentRun{a, b, moved};
        a = b + 1;
    }
    choice->segment_count = made;
    choice->score = maximum / 1e6;
    // The coverage of the table as shifted, through the offset scan's kernel: match's bits.
    EngineArray<Microseconds> shifted;
    EngineArray<double> work;
    if (!shifted.allocate(2 * n) || !work.allocate(scan_work_doubles(n))) {
        return;
    }
    for (std::size_t j = 0; j < n; ++j) {
        shifted[2 * j] = scaled[2 * j] + choice->offsets[j];
        shifted[2 * j + 1] = scaled[2 * j + 1] + choice->offsets[j];
    }
    const OffsetTables scan{s.c_base, s.base_len, s.base_total, shifted.data(), n};
    const Microseconds none = 0;
    scan_offsets(scan, &none, 1, work.data(), &choice->coverage, nullptr);
    choice->status = SegmentChoice::kFound;
    if (proven != nullptr) {
        *proven = true;
    }
}

}  // namespace

void search_segments(const SegmentSearch& s, SegmentChoice* choice, StopCheck* check) {
    // Free changes leave the bound beyond a window nothing to stand on.
    if (!s.plain && s.penalty > 0 && s.window > 0 && s.hi - s.lo > 8 * s.window &&
        search_windows(s, choice, check)) {
        return;
    }
    search_within(s, nullptr, choice, check, nullptr);
}

}  // namespace corvela
