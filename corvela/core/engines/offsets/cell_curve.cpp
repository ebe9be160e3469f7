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

// value / width rounded down and up, for width > 0.
std::int64_t cells_below(Microseconds value, Microseconds width) noexcept {
    Microseconds q = value / width;
    if (value % width < 0) {
        q -= 1;
    }
    return static_cast<std::int64_t>(q);
}

std::int64_t cells_above(Microseconds value, Microseconds width) noexcept {
    return -cells_below(-value, width);
}

}  // namespace

bool CellCurve::cell_bounds(WorkMeter& meter) {
    // The rows' bounds in whole cells (speech counted from lo), widened outwards: xs, xe for
    // the speech row, ys and ye for the subtitle row with its end plus a cell. A subtitle row
    // that ends before it starts gets ye = ys, so that its corners cancel; a speech row that
    // does is skipped. Each corner adds its sign at its cell; corners before cell 0 are summed
    // apart, and those beyond the last cell never count.
    const std::size_t n = cell_count_;
    const auto last = static_cast<std::int64_t>(n - 1);
    const std::size_t rows = index_->rows.size();
    EngineArray<std::int64_t> corners;      // the corners' signs summed at each cell
    EngineArray<std::int64_t> speech;       // xs, xe
    EngineArray<std::int64_t> subtitle;     // ye, ys, in the index's order
    if (!corners.allocate(static_cast<std::size_t>(last) + 1) ||
        !speech.allocate(2 * base_len_) || !subtitle.allocate(2 * rows)) {
        return false;
    }
    std::fill(corners.data(), corners.data() + last + 1, 0);
    for (std::size_t r = 0; r < base_len_; ++r) {
        speech[2 * r] = cells_below(edges_[r].start.floor - lo_, width_);
        speech[2 * r + 1] = cells_above(ceiling(edges_[r].end) - lo_, width_);
    }
    for (std::size_t k = 0; k < rows; ++k) {
        const std::uint32_t j = index_->rows[k];
        const Microseconds os = c_other_us_[2 * j];
        const Microseconds oe = c_other_us_[2 * j + 1];
        subtitle[2 * k + 1] = cells_below(os, width_);
        subtitle[2 * k] = oe < os ? subtitle[2 * k + 1] : cells_above(oe + width_, width_);
    }
    // Counts in 64 bits: there are fewer than 2**62 pairs.
    std::int64_t early_count = 0;
    __int128 early_sum = 0;
    const auto add = [&](std::int64_t p, int sign) {
        if (p < 0) {
            early_count += sign;
            early_sum += static_cast<__int128>(sign) * p;
        } else if (p <= last) {
            corners[static_cast<std::size_t>(p)] += sign;
        }
    };
    std::int64_t* const at = corners.data();
    std::size_t pairs_seen = 0;
    const MeetingPairs pairs = index_->pairs(edges_, base_len_, c_other_us_, lo_, hi_);
    const bool visited = pairs.each_run(
        [&](std::size_t r, std::size_t from, std::size_t to) {
            const std::int64_t xs = speech[2 * r];
            const std::int64_t xe = speech[2 * r + 1];
            if (xe < xs) {
                return;
            }
            pairs_seen += to - from;
            for (std::size_t k = from; k != to; ++k) {
                const std::int64_t ye = subtitle[2 * k];
                const std::int64_t ys = subtitle[2 * k + 1];
                // xs - ye is the least corner and xe - ys the greatest.
                if (xs - ye >= 0 && xe - ys <= last) {
                    at[xs - ye] += 1;
                    at[xe - ye] -= 1;
                    at[xs - ys] -= 1;
                    at[xe - ys] += 1;
                } else {
                    add(xs - ye, 1);
                    add(xe - ye, -1);
                    add(xs - ys, -1);
                    add(xe - ys, 1);
                }
            }
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
    // At cell k the ramps begun add (their count) * k - (their corners' sum), in cells.
    std::int64_t count = early_count;
    __int128 sum_at = -early_sum;  // the ramps' sum at cell 0
    for (std::size_t k = 0; k < n; ++k) {
        const __int128 bound = sum_at * width_;  // a whole number of microseconds, >= 0
        bound_[k] = static_cast<double>(bound) * (1.0 + 0x1p-48) + 0x1p-20;
        count += at[k];
        sum_at += count;
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
