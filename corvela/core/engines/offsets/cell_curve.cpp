// The cells of a wide range: their bounds, and the exact curve built stretch by stretch.
#include "cell_curve.hpp"

#include <algorithm>

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
    cell_count_ = static_cast<std::size_t>((span + width_ - 1) / width_);
    if (!bound_.allocate(cell_count_) || !cell_bounds(meter)) {
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

namespace {

// A bound split by the cell width: value = quotient * width + rest, 0 <= rest < width.
struct Split {
    std::int64_t quotient;
    std::int64_t rest;
};

Split split(Microseconds value, Microseconds width) noexcept {
    Microseconds quotient = value / width;
    Microseconds rest = value % width;
    if (rest < 0) {
        rest += width;
        quotient -= 1;
    }
    return {static_cast<std::int64_t>(quotient), static_cast<std::int64_t>(rest)};
}

}  // namespace

bool CellCurve::cell_bounds(WorkMeter& meter) {
    // With row r's corners x and row j's y, D of the pair is, for rows that end no earlier than
    // they start (h >= 0 below; the corners' order follows from it),
    //     D(a) = ramp(a - (bs - oe')) - ramp(a - (be - oe')) - ramp(a - (bs - os))
    //            + ramp(a - (be - os)),        oe' = oe + width, ramp(z) = max(0, z),
    // since ramp(a - min(u, v)) + ramp(a - max(u, v)) = ramp(a - u) + ramp(a - v). A pair with
    // an inverted row adds an amount below 0 wherever it meets, so it is left out. A ramp of
    // corner p starts at the first cell whose first offset lies above p; at cell k the ramps
    // started add count * a_k - (their corners' sum). Every corner is a speech bound less a
    // subtitle bound, split by the width beforehand, so that finding its cell is a subtraction.
    const std::size_t n = cell_count_;
    EngineArray<std::int64_t> begun;
    EngineArray<__int128> corners;
    EngineArray<Split> speech;    // floor(bs) - lo, ceil(be) - lo
    EngineArray<Split> subtitle;  // oe', os
    const std::size_t rows = index_->rows.size();
    if (!begun.allocate(n) || !corners.allocate(n) || !speech.allocate(2 * base_len_) ||
        !subtitle.allocate(2 * rows)) {
        return false;
    }
    std::fill(begun.data(), begun.data() + n, 0);
    std::fill(corners.data(), corners.data() + n, 0);
    for (std::size_t r = 0; r < base_len_; ++r) {
        speech[2 * r] = split(edges_[r].start.floor - lo_, width_);
        speech[2 * r + 1] = split(ceiling(edges_[r].end) - lo_, width_);
    }
    for (std::size_t j = 0; j < rows; ++j) {
        subtitle[2 * j] = split(c_other_us_[2 * j + 1] + width_, width_);
        subtitle[2 * j + 1] = split(c_other_us_[2 * j], width_);
    }
    const auto ramp = [&](const Split& x, const Split& y, Microseconds corner, int sign) {
        const std::int64_t k = x.quotient - y.quotient + (x.rest >= y.rest ? 1 : 0);
        if (k >= static_cast<std::int64_t>(n)) {
            return;
        }
        const std::size_t at = k > 0 ? static_cast<std::size_t>(k) : 0;
        begun[at] += sign;
        corners[at] += sign * corner;
    };
    std::size_t pairs_seen = 0;
    const MeetingPairs pairs = index_->pairs(edges_, base_len_, c_other_us_, lo_, hi_);
    const bool visited = pairs.each_candidate(
        [&](std::size_t r, std::uint32_t j) {
            const Microseconds bs = edges_[r].start.floor;
            const Microseconds be = ceiling(edges_[r].end);
            const Microseconds os = c_other_us_[2 * j];
            const Microseconds oe = c_other_us_[2 * j + 1];
            if (be < bs || oe < os) {
                return;
            }
            const Microseconds late = oe + width_;
            pairs_seen += 1;
            ramp(speech[2 * r], subtitle[2 * j], bs - late, 1);
            ramp(speech[2 * r + 1], subtitle[2 * j], be - late, -1);
            ramp(speech[2 * r], subtitle[2 * j + 1], bs - os, -1);
            ramp(speech[2 * r + 1], subtitle[2 * j + 1], be - os, 1);
        },
        meter);
    if (!visited) {
        return false;
    }
    // About four events a pair, spread over the range as the pairs are: the most cells that
    // one stretch may take.
    const double per_cell = 4.0 * static_cast<double>(pairs_seen) / static_cast<double>(n);
    longest_stretch_ = std::min(
        stretch_cap_, static_cast<std::size_t>(std::max(
                          1.0, std::min(static_cast<double>(n), kMostEvents / std::max(per_cell, 1.0)))));
    std::int64_t count = 0;
    __int128 sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        count += begun[k];
        sum += corners[k];
        const __int128 bound = count * cell_start(k) - sum;  // a whole number, >= 0
        bound_[k] = static_cast<double>(bound) * (1.0 + 0x1p-48) + 0x1p-20;
    }
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
    // Every build looks at every speech row once, so cells a second or less apart are built
    // in one stretch, gaps included, up to the longest stretch.
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
    // No lower bounds are kept: the cells are built as the walk reaches them, in stretches that
    // double from a second's worth, so that a long walk costs the time of the curve it crosses.
    constexpr std::size_t kFirstChunk = 40;
    std::size_t chunk = kFirstChunk;
    if (from < lo_ || from > hi_) {
        return false;
    }
    for (;;) {
        const std::size_t k = cell_of(from);
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
