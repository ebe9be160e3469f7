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
    stretch_count_ = 0;
    segment_count_ = 0;
    const Microseconds span = hi - lo + 1;
    const auto most = static_cast<Microseconds>(kMostCells);
    width_ = std::max(kCellWidth, (span + most - 1) / most);
    cell_count_ = static_cast<std::size_t>((span + width_ - 1) / width_);
    if (!bound_.allocate(cell_count_) || !stretch_of_.allocate(cell_count_) ||
        !cell_bounds(meter)) {
        ok_ = false;
        return false;
    }
    std::fill(stretch_of_.data(), stretch_of_.data() + cell_count_, kNone);
    // The cell of the highest bound first; then every cell whose bound reaches the plateau's
    // floor below the maximum found there. That floor, M - tolerance_of(M), grows with M, so the
    // true maximum, at least as high, lies in a cell built.
    const std::size_t top = static_cast<std::size_t>(
        std::max_element(bound_.data(), bound_.data() + cell_count_) - bound_.data());
    if (!build_cells(top, top)) {
        return false;
    }
    Microseconds at = 0;
    view(stretch_of_[top]).maximum(&maximum_, &at);
    if (!build_reaching(0, cell_count_ - 1, maximum_ - tolerance_of(maximum_))) {
        return false;
    }
    for (std::size_t s = 0; s < stretch_count_; ++s) {
        double value = 0.0;
        view(s).maximum(&value, &at);
        maximum_ = std::max(maximum_, value);
    }
    return true;
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
            ramp(speech[2 * r], subtitle[2 * j], bs - late, 1);
            ramp(speech[2 * r + 1], subtitle[2 * j], be - late, -1);
            ramp(speech[2 * r], subtitle[2 * j + 1], bs - os, -1);
            ramp(speech[2 * r + 1], subtitle[2 * j + 1], be - os, 1);
        },
        meter);
    if (!visited) {
        return false;
    }
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

CurveView CellCurve::view(std::size_t stretch) const noexcept {
    const Stretch& s = stretches_[stretch];
    return {segments_.data() + s.first_segment, s.segment_count, cell_start(s.first_cell),
            cell_end(s.last_cell)};
}

bool CellCurve::build_cells(std::size_t first, std::size_t last) {
    for (std::size_t k = first; k <= last; ++k) {
        if (stretch_of_[k] != kNone) {
            continue;
        }
        std::size_t end = k;
        while (end < last && stretch_of_[end + 1] == kNone) {
            ++end;
        }
        if (!builder_.build(*index_, edges_, base_len_, c_other_us_, cell_start(k),
                            cell_end(end), *meter_)) {
            ok_ = false;
            return false;
        }
        const std::size_t count = builder_.segment_count();
        if (segment_count_ + count > segments_.size() &&
            !segments_.resize(std::max(2 * segments_.size(), segment_count_ + count))) {
            ok_ = false;
            return false;
        }
        if (stretch_count_ == stretches_.size() &&
            !stretches_.resize(std::max<std::size_t>(16, 2 * stretches_.size()))) {
            ok_ = false;
            return false;
        }
        std::copy(builder_.segments(), builder_.segments() + count,
                  segments_.data() + segment_count_);
        stretches_[stretch_count_] = Stretch{k, end, segment_count_, count};
        segment_count_ += count;
        for (std::size_t c = k; c <= end; ++c) {
            stretch_of_[c] = stretch_count_;
        }
        ++stretch_count_;
        built_ += end - k + 1;
        k = end;
    }
    return true;
}

bool CellCurve::build_reaching(std::size_t first, std::size_t last, double floor) {
    // Every build looks at every speech row once, so cells a second or less apart are built
    // in one stretch, gaps included; and when the cells that reach the floor are many or
    // scattered (a curve without a peak), all of them are, in as few builds as the stretches
    // already built allow.
    constexpr std::size_t kGap = 40;
    constexpr std::size_t kMostBuilds = 64;
    std::size_t reaching = 0;
    std::size_t builds = 0;
    std::size_t previous = kNone;
    for (std::size_t k = first; k <= last; ++k) {
        if (stretch_of_[k] == kNone && bound_[k] >= floor) {
            reaching += 1;
            builds += previous == kNone || k > previous + kGap;
            previous = k;
        }
    }
    if (2 * reaching > last - first + 1 || builds > kMostBuilds) {
        return build_cells(first, last);
    }
    for (std::size_t k = first; k <= last; ++k) {
        if (stretch_of_[k] != kNone || bound_[k] < floor) {
            continue;
        }
        std::size_t end = k;
        for (std::size_t next = k + 1; next <= last && next <= end + kGap; ++next) {
            if (stretch_of_[next] != kNone) {
                break;
            }
            if (bound_[next] >= floor) {
                end = next;
            }
        }
        if (!build_cells(k, end)) {
            return false;
        }
        k = end;
    }
    return true;
}

void CellCurve::first_run_above(double threshold, Microseconds* first, Microseconds* last) {
    // The first microsecond at or above the threshold: only cells whose bound reaches it can
    // hold one.
    *first = *last = lo_;
    std::size_t k = 0;
    for (;; ++k) {
        if (k == cell_count_) {
            return;  // the caller's threshold is at most the maximum: not reached
        }
        if (bound_[k] < threshold) {
            continue;
        }
        if (!build_cells(k, k)) {
            return;
        }
        const std::size_t s = stretch_of_[k];
        if (view(s).first_at_least(cell_start(k), threshold, first)) {
            break;
        }
        k = stretches_[s].last_cell;
    }
    // Its run, across stretches while the next cell goes on at or above the threshold.
    Microseconds from = *first;
    for (;;) {
        const Stretch& s = stretches_[stretch_of_[cell_of(from)]];
        *last = view(stretch_of_[cell_of(from)]).run_end(from, threshold);
        const std::size_t next = s.last_cell + 1;
        if (*last < cell_end(s.last_cell) || next == cell_count_ || bound_[next] < threshold) {
            return;
        }
        if (!build_cells(next, next) ||
            view(stretch_of_[next]).value_at(cell_start(next)) < threshold) {
            return;
        }
        from = cell_start(next);
    }
}

bool CellCurve::nearest_at_most(Microseconds from, int step, double level, Microseconds* at) {
    // No lower bounds are kept: the cells are built as the walk reaches them, in stretches that
    // double from a second's worth, and those not built before are searched without being
    // kept, so that a long walk costs the time of the curve it crosses but not its memory.
    constexpr std::size_t kFirstChunk = 40;
    constexpr std::size_t kLongestChunk = std::size_t{1} << 14;
    std::size_t chunk = kFirstChunk;
    if (from < lo_ || from > hi_) {
        return false;
    }
    for (;;) {
        const std::size_t k = cell_of(from);
        std::size_t first = k;
        std::size_t last = k;
        if (stretch_of_[k] != kNone) {
            const Stretch& s = stretches_[stretch_of_[k]];
            if (view(stretch_of_[k]).nearest_at_most(from, step, level, at)) {
                return true;
            }
            first = s.first_cell;
            last = s.last_cell;
        } else {
            // The cells not built yet from k on, up to `chunk` of them.
            for (std::size_t n = 1; n < chunk; ++n) {
                const std::size_t next = step < 0 ? first - 1 : last + 1;
                if ((step < 0 ? first == 0 : last + 1 == cell_count_) ||
                    stretch_of_[next] != kNone) {
                    break;
                }
                (step < 0 ? first : last) = next;
            }
            if (!builder_.build(*index_, edges_, base_len_, c_other_us_, cell_start(first),
                                cell_end(last), *meter_)) {
                ok_ = false;
                return false;
            }
            if (builder_.view().nearest_at_most(from, step, level, at)) {
                return true;
            }
            chunk = std::min(2 * chunk, kLongestChunk);
        }
        if (step < 0 ? first == 0 : last + 1 == cell_count_) {
            return false;
        }
        from = step < 0 ? cell_start(first) - 1 : cell_end(last) + 1;
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
    const auto on_a_side = [&](std::size_t k) {
        return (has_left && k <= left_last) || (has_right && k >= right_first);
    };
    // The best of the stretches built, in position order, ties to the first.
    const auto best_built = [&](Microseconds* where, double* best) {
        bool found = false;
        for (std::size_t k = 0; k < cell_count_; ++k) {
            if (stretch_of_[k] == kNone || !on_a_side(k)) {
                continue;
            }
            const std::size_t s = stretch_of_[k];
            Microseconds t = 0;
            double v = 0.0;
            if (view(s).best_outside(left_end, right_start, &t, &v) && (!found || v > *best)) {
                found = true;
                *best = v;
                *where = t;
            }
            k = stretches_[s].last_cell;
        }
        return found;
    };
    // Seeded by the side cell of the highest bound, then every side cell whose bound reaches
    // the best value found: no other can hold one as high.
    std::size_t top = kNone;
    for (std::size_t k = 0; k < cell_count_; ++k) {
        if (on_a_side(k) && (top == kNone || bound_[k] > bound_[top])) {
            top = k;
        }
    }
    if (!build_cells(top, top)) {
        return false;
    }
    double floor = 0.0;
    Microseconds where = 0;
    best_built(&where, &floor);
    if ((has_left && !build_reaching(0, left_last, floor)) ||
        (has_right && !build_reaching(right_first, cell_count_ - 1, floor))) {
        return false;
    }
    return best_built(at, value);
}

}  // namespace corvela
