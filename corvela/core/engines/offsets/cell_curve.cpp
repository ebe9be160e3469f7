// The cells of a wide range: their bounds, and the exact curve built stretch by stretch.
#include "cell_curve.hpp"

#include <algorithm>
#include <cmath>

#include "best_offset_search.hpp"

namespace corvela {

using namespace pairs;

bool CellCurve::build(const PairIndex& index, const SpeechEdge* edges, std::size_t base_len,
                      const Microseconds* c_other_us, Microseconds lo, Microseconds hi,
                      WorkMeter& meter) {
    index_ = &index;
    edges_ = edges;
    base_len_ = base_len;
    c_other_us_ = c_other_us;
    meter_ = &meter;
    lo_ = lo;
    hi_ = hi;
    ok_ = true;
    built_ = 0;
    const Microseconds span = hi - lo + 1;
    const auto most = static_cast<Microseconds>(kMostCells);
    width_ = std::max(kCellWidth, (span + most - 1) / most);
    // Few pairs over a wide range: wider cells, as many corners to a cell as kCornersPerCell,
    // since each cell costs its own work whether corners fall in it or not.
    std::size_t pairs = 0;
    if (!count_pairs(index, edges, base_len, c_other_us, lo, hi, meter, &pairs)) {
        ok_ = false;
        return false;
    }
    const double wider = kCornersPerCell * static_cast<double>(span) /
                         std::max(4.0 * static_cast<double>(pairs), 1.0);
    if (wider > static_cast<double>(width_)) {
        width_ = std::min(std::max(width_, kWidestCell), static_cast<Microseconds>(wider));
    }
    cell_count_ = static_cast<std::size_t>((span + width_ - 1) / width_);
    if (!bound_.allocate(cell_count_) || !lower_.allocate(cell_count_) || !cell_bounds(meter)) {
        ok_ = false;
        return false;
    }
    // The cell of the highest bound first; then every cell whose bound reaches the highest
    // value found so far.
    const std::size_t top = static_cast<std::size_t>(
        std::max_element(bound_.data(), bound_.data() + cell_count_) - bound_.data());
    if (!build_stretch(top, top)) {
        return false;
    }
    Microseconds at = 0;
    builder_.view().maximum(&maximum_, &at);
    return each_reaching(0, cell_count_ - 1, maximum_, [&](const CurveView& stretch) {
        double value = 0.0;
        stretch.maximum(&value, &at);
        maximum_ = std::max(maximum_, value);
        return true;
    });
}

bool CellCurve::count_pairs(const PairIndex& index, const SpeechEdge* edges,
                            std::size_t base_len, const Microseconds* c_other_us,
                            Microseconds lo, Microseconds hi, WorkMeter& meter,
                            std::size_t* pairs) {
    const std::size_t stride = std::max<std::size_t>(1, base_len / 1024);
    std::size_t count = 0;
    const bool counted = index.pairs(edges, base_len, c_other_us, lo, hi)
                             .each_run([&count](std::size_t, std::size_t from,
                                                std::size_t to) { count += to - from; },
                                       meter, stride);
    *pairs = count * stride;
    return counted;
}

namespace {

// A bound in whole microseconds split by the cell width: value = cells * width + rest,
// 0 <= rest < width.
struct Split {
    std::int64_t cells;
    std::int64_t rest;
};

Split split(Microseconds value, Microseconds width) noexcept {
    Microseconds cells = value / width;
    Microseconds rest = value % width;
    if (rest < 0) {
        rest += width;
        cells -= 1;
    }
    return {static_cast<std::int64_t>(cells), static_cast<std::int64_t>(rest)};
}

// What the corners that lie in a cell add up to: how many rise, how many fall, and the sum of
// their rests with their signs.
template <class Count, class Sum>
struct CellCorners {
    Count rising;
    Count falling;
    Sum rests;
};

// v as a double, rounded to nearest: by the hardware where it fits 64 bits.
double as_double(__int128 v) noexcept {
    const auto narrow = static_cast<std::int64_t>(v);
    return narrow == v ? static_cast<double>(narrow) : static_cast<double>(v);
}

// Where a line from (0, a) of slope up and a line to (w, b) of slope down cross, over [0, w],
// up > 0 > down: `slope` * `amount` / (up - down) from a, for the line of that slope and the
// amount the other falls short of it at its far end. Within a relative 2**-50.
double to_crossing(std::int64_t slope, __int128 amount, std::int64_t up,
                   std::int64_t down) noexcept {
    return static_cast<double>(slope) * as_double(amount) /
           (static_cast<double>(up) - static_cast<double>(down));
}

// The corners of every pair counted into cells (see cell_curve.hpp): a corner
// p = q * width + r, 0 <= r < width, counts in cell q. Corners before cell 0 are summed apart,
// those beyond the last cell never count. Count holds a cell's corners, Sum its rests: 32 and
// 64 bits where no cell can gather more.
template <class Count, class Sum>
bool count_corners(const MeetingPairs& pairs, const Split* speech, const Split* subtitle,
                   std::size_t n, std::int64_t width, WorkMeter& meter, double* bound,
                   double* lower, std::size_t* pairs_seen) {
    using Cell = CellCorners<Count, Sum>;
    EngineArray<Cell> cells;
    if (!cells.allocate(n)) {
        return false;
    }
    std::fill(cells.data(), cells.data() + n, Cell{0, 0, 0});
    Cell* const at = cells.data();
    const auto last = static_cast<std::int64_t>(n) - 1;
    std::int64_t early_slope = 0;  // the corners before cell 0: their signs
    __int128 early_value = 0;      // and what their ramps add at its start
    const auto add = [&](std::int64_t q, std::int64_t r, int sign) {
        if (q < 0) {
            early_slope += sign;
            early_value += static_cast<__int128>(sign) * (static_cast<__int128>(-q) * width - r);
        } else if (q <= last) {
            (sign > 0 ? at[q].rising : at[q].falling) += 1;
            at[q].rests += static_cast<Sum>(sign * r);
        }
    };
    // The corner x - y, split: a borrow from the cells when the rests go below 0.
    const auto corner = [width](const Split& x, const Split& y, std::int64_t* q,
                                std::int64_t* r) {
        const std::int64_t rest = x.rest - y.rest;
        const std::int64_t borrow = rest < 0 ? 1 : 0;
        *q = x.cells - y.cells - borrow;
        *r = rest + borrow * width;
    };
    std::size_t seen = 0;
    double moved = 0.0;  // the microseconds the speech bounds moved, over every pair
    const bool visited = pairs.each_run(
        [&](std::size_t row, std::size_t from, std::size_t to) {
            const Split& xs = speech[2 * row];
            const Split& xe = speech[2 * row + 1];
            if (xe.cells < xs.cells || (xe.cells == xs.cells && xe.rest < xs.rest)) {
                return;
            }
            seen += to - from;
            const SpeechEdge& edge = pairs.edges[row];
            moved += static_cast<double>(to - from) *
                     static_cast<double>(!edge.start.whole + !edge.end.whole);
            for (std::size_t k = from; k != to; ++k) {
                const Split& ye = subtitle[2 * k];
                const Split& ys = subtitle[2 * k + 1];
                std::int64_t q[4];
                std::int64_t r[4];
                corner(xs, ye, &q[0], &r[0]);
                corner(xe, ye, &q[1], &r[1]);
                corner(xs, ys, &q[2], &r[2]);
                corner(xe, ys, &q[3], &r[3]);
                // xs - ye is the least corner and xe - ys the greatest.
                if (q[0] >= 0 && q[3] <= last) {
                    at[q[0]].rising += 1;
                    at[q[0]].rests += static_cast<Sum>(r[0]);
                    at[q[1]].falling += 1;
                    at[q[1]].rests -= static_cast<Sum>(r[1]);
                    at[q[2]].falling += 1;
                    at[q[2]].rests -= static_cast<Sum>(r[2]);
                    at[q[3]].rising += 1;
                    at[q[3]].rests += static_cast<Sum>(r[3]);
                } else {
                    add(q[0], r[0], 1);
                    add(q[1], r[1], -1);
                    add(q[2], r[2], -1);
                    add(q[3], r[3], 1);
                }
            }
        },
        meter);
    if (!visited) {
        return false;
    }
    *pairs_seen = seen;
    // At each cell's start: the bound's value there (exact), and its slope just before.
    std::int64_t slope = early_slope;
    __int128 value = early_value;
    for (std::size_t k = 0; k < n; ++k) {
        const auto rising = static_cast<std::int64_t>(at[k].rising);
        const auto falling = static_cast<std::int64_t>(at[k].falling);
        const __int128 next = value + static_cast<__int128>(slope + rising - falling) * width -
                              static_cast<__int128>(at[k].rests);
        const std::int64_t up = slope + rising;     // the most the slope reaches in the cell
        const std::int64_t down = slope - falling;  // the least it comes from, to the next start
        double most = 0.0;
        if (up <= 0) {
            most = as_double(value);
        } else if (down >= 0) {
            most = as_double(next);
        } else {
            // The upper lines: from the start at the most slope, to the next start at the
            // least; the first falls short of the second's value at the start by `rise`.
            const __int128 rise = next - value - static_cast<__int128>(down) * width;
            most = as_double(value) + to_crossing(up, rise, up, down);
        }
        bound[k] = most * (1.0 + 0x1p-46) + 0x1p-20;
        if (lower != nullptr) {
            // The same lines the other way round: from the start at the least slope, to the
            // next start at the most. Where they cross, the value is found by a difference, so
            // its rounding is allowed for against the sizes of the terms.
            double least = 0.0;
            double size = 0.0;
            if (down >= 0) {
                least = as_double(value);
            } else if (up <= 0) {
                least = as_double(next);
            } else {
                const __int128 fall = value + static_cast<__int128>(up) * width - next;
                const double a = as_double(value);
                const double lost = to_crossing(-down, fall, up, down);
                least = a - lost;
                size = a + lost;
            }
            least -= moved;
            size += moved + std::fabs(least) + most;
            lower[k] = least - size * 0x1p-46 - 0x1p-20;
        }
        value = next;
        slope += rising - falling;
    }
    return true;
}

}  // namespace

bool CellCurve::cell_bounds(WorkMeter& meter) {
    // The rows' bounds in whole microseconds (speech counted from lo), split by the width:
    // xs, xe for the speech row, ys and ye for the subtitle row with its end plus a cell. A
    // subtitle row that ends before it starts gets ye = ys, so that its corners cancel; a
    // speech row that does is skipped.
    const std::size_t n = cell_count_;
    const std::size_t rows = index_->rows.size();
    EngineArray<Split> speech;    // xs, xe
    EngineArray<Split> subtitle;  // ye, ys, in the index's order
    if (!speech.allocate(2 * base_len_) || !subtitle.allocate(2 * rows)) {
        return false;
    }
    // Rows that may end before they start add amounts below 0, which the lower bounds do not
    // hold: with any of them there are none.
    bool inverted = false;
    for (std::size_t r = 0; r < base_len_; ++r) {
        const ScaledBound& start = edges_[r].start;
        const ScaledBound& end = edges_[r].end;
        inverted = inverted || end.floor < start.floor ||
                   (end.floor == start.floor && !(start.whole && end.whole));
        speech[2 * r] = split(start.floor - lo_, width_);
        speech[2 * r + 1] = split(ceiling(end) - lo_, width_);
    }
    for (std::size_t k = 0; k < rows; ++k) {
        const std::uint32_t j = index_->rows[k];
        const Microseconds os = c_other_us_[2 * j];
        const Microseconds oe = c_other_us_[2 * j + 1];
        inverted = inverted || oe < os;
        subtitle[2 * k + 1] = split(os, width_);
        subtitle[2 * k] = oe < os ? subtitle[2 * k + 1] : split(oe, width_);
    }
    // A cell gathers at most four corners, each of a rest below a width, from each pair.
    const MeetingPairs pairs = index_->pairs(edges_, base_len_, c_other_us_, lo_, hi_);
    const double corners = 4.0 * static_cast<double>(base_len_) * static_cast<double>(rows);
    const auto width = static_cast<std::int64_t>(width_);
    std::size_t pairs_seen = 0;
    bool counted = false;
    double* const lower = inverted ? nullptr : lower_.data();
    const bool rests_fit = corners * static_cast<double>(width) < 0x1p62 && wider_counts_ < 2;
    if (corners < 0x1p31 && rests_fit && wider_counts_ < 1) {
        counted = count_corners<std::int32_t, std::int64_t>(pairs, speech.data(), subtitle.data(),
                                                            n, width, meter, bound_.data(), lower,
                                                            &pairs_seen);
    } else if (rests_fit) {
        counted = count_corners<std::int64_t, std::int64_t>(pairs, speech.data(), subtitle.data(),
                                                            n, width, meter, bound_.data(), lower,
                                                            &pairs_seen);
    } else {
        counted = count_corners<std::int64_t, __int128>(pairs, speech.data(), subtitle.data(), n,
                                                        width, meter, bound_.data(), lower,
                                                        &pairs_seen);
    }
    has_lower_ = !inverted;
    if (!counted) {
        return false;
    }
    // About four events a pair, spread over the range as the pairs are: the most cells that
    // one stretch may take.
    const double per_cell = 4.0 * static_cast<double>(pairs_seen) / static_cast<double>(n);
    longest_stretch_ = std::min(
        stretch_cap_, static_cast<std::size_t>(std::max(
                          1.0, std::min(static_cast<double>(n), kMostEvents / std::max(per_cell, 1.0)))));
    return true;
}

Microseconds CellCurve::cell_end(std::size_t k) const noexcept {
    return std::min(cell_start(k) + width_ - 1, hi_);
}

std::size_t CellCurve::cell_of(Microseconds t) const noexcept {
    return static_cast<std::size_t>((t - lo_) / width_);
}

bool CellCurve::build_stretch(std::size_t first, std::size_t last) {
    if (!builder_.build(*index_, edges_, base_len_, c_other_us_, cell_start(first),
                        cell_end(last), *meter_)) {
        ok_ = false;
        return false;
    }
    built_ += last - first + 1;
    return true;
}

template <class Look>
bool CellCurve::each_reaching(std::size_t first, std::size_t last, const double& floor,
                              Look&& look) {
    // Every build looks at every speech row once, so cells up to 40 apart (a second of 25 ms
    // cells) are built in one stretch, gaps included, up to the longest stretch.
    constexpr std::size_t kGap = 40;
    for (std::size_t k = first; k <= last; ++k) {
        if (bound_[k] < floor) {
            continue;
        }
        std::size_t end = k;
        for (std::size_t next = k + 1;
             next <= last && next <= end + kGap && next - k < longest_stretch_; ++next) {
            if (bound_[next] >= floor) {
                end = next;
            }
        }
        if (!build_stretch(k, end)) {
            return false;
        }
        if (!look(builder_.view())) {
            return true;
        }
        k = end;
    }
    return true;
}

void CellCurve::first_run_above(double threshold, Microseconds* first, Microseconds* last) {
    // The first microsecond at or above the threshold: only cells whose bound reaches it can
    // hold one.
    *first = *last = lo_;
    bool found = false;
    const bool looked = each_reaching(0, cell_count_ - 1, threshold, [&](const CurveView& s) {
        found = s.first_at_least(s.lo(), threshold, first);
        if (found) {
            *last = s.run_end(*first, threshold);
        }
        return !found;
    });
    // Its run, over the next cells while they go on at or above the threshold.
    while (looked && found && *last < hi_) {
        const std::size_t next = cell_of(*last + 1);
        if (cell_start(next) != *last + 1 || bound_[next] < threshold) {
            return;
        }
        const std::size_t end = std::min(cell_count_ - 1, next + longest_stretch_ - 1);
        if (!build_stretch(next, std::min(end, next + 39))) {
            return;
        }
        const CurveView s = builder_.view();
        if (s.value_at(s.lo()) < threshold) {
            return;
        }
        *last = s.run_end(s.lo(), threshold);
    }
}

bool CellCurve::nearest_at_most(Microseconds from, int step, double level, Microseconds* at) {
    // Cells whose lower bound lies above the level are passed unbuilt; the others are built as
    // the walk reaches them, in stretches that double from 40 cells, so that a long walk costs
    // the time of the curve it crosses.
    constexpr std::size_t kFirstChunk = 40;
    std::size_t chunk = kFirstChunk;
    if (from < lo_ || from > hi_) {
        return false;
    }
    for (;;) {
        std::size_t k = cell_of(from);
        // Cells that stay above the level hold no answer: passed without being built.
        if (has_lower_ && lower_[k] > level) {
            while (lower_[k] > level) {
                if (step < 0 ? k == 0 : k + 1 == cell_count_) {
                    return false;
                }
                k = step < 0 ? k - 1 : k + 1;
            }
            from = step < 0 ? cell_end(k) : cell_start(k);
            chunk = kFirstChunk;
        }
        const std::size_t first = step < 0 ? (k >= chunk - 1 ? k - (chunk - 1) : 0) : k;
        const std::size_t last = step < 0 ? k : std::min(k + chunk - 1, cell_count_ - 1);
        if (!build_stretch(first, last)) {
            return false;
        }
        if (builder_.view().nearest_at_most(from, step, level, at)) {
            return true;
        }
        if (step < 0 ? first == 0 : last + 1 == cell_count_) {
            return false;
        }
        from = step < 0 ? cell_start(first) - 1 : cell_end(last) + 1;
        chunk = std::min(2 * chunk, std::max(kFirstChunk, longest_stretch_));
    }
}

bool CellCurve::best_outside(Microseconds left_end, Microseconds right_start, Microseconds* at,
                             double* value) {
    // The cells that meet [lo, left_end] and [right_start, hi].
    const bool has_left = left_end >= lo_;
    const bool has_right = right_start <= hi_;
    if (!has_left && !has_right) {
        return false;
    }
    const std::size_t left_last = has_left ? cell_of(std::min(left_end, hi_)) : 0;
    const std::size_t right_first = has_right ? cell_of(std::max(right_start, lo_)) : 0;
    // Seeded by the side cell of the highest bound; then every side cell whose bound reaches
    // the best value found so far, in order, ties to the first.
    std::size_t top = has_left ? 0 : right_first;
    for (std::size_t k = top; k < cell_count_; ++k) {
        if (((has_left && k <= left_last) || (has_right && k >= right_first)) &&
            bound_[k] > bound_[top]) {
            top = k;
        }
    }
    bool found = false;
    const auto look = [&](const CurveView& s) {
        Microseconds t = 0;
        double v = 0.0;
        if (s.best_outside(left_end, right_start, &t, &v) &&
            (!found || v > *value || (v == *value && t < *at))) {
            found = true;
            *value = v;
            *at = t;
        }
        return true;
    };
    if (!build_stretch(top, top)) {
        return false;
    }
    look(builder_.view());
    const double& floor = *value;
    return (!has_left || each_reaching(0, left_last, floor, look)) &&
           (!has_right || each_reaching(right_first, cell_count_ - 1, floor, look)) && found;
}

}  // namespace corvela
