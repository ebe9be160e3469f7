// The sweep for the shapes other than both tables in row order: subtitle rows taken through a
// given start order, speech rows sorted by start, or both. Each speech row gets a window of
// positions from a cursor that moves with the speech starts (overlap_sweep.hpp, steps 3 and 4).
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "nan_and_infinity.hpp"
#include "overlap_rule.hpp"
#include "overlap_sweep.hpp"
#include "start_search.hpp"
#include "sweep_positions.hpp"
#include "sweep_sse2_steps.hpp"

namespace corvela {
namespace {

// Where one sweep stands; speech rows must come to it in nondecreasing start. Positions below
// `len` all have a number as start, and reach[j] is the largest end up to position j.
class Cursor {
public:
    // The window [*lo, *hi) of positions that can hold hits of the speech row (bs, be).
    template <class Table>
    void window(const Table& table, const double* reach, std::size_t len, double bs, double be,
                std::size_t* lo, std::size_t* hi) noexcept {
        const std::size_t p = started_;
        if (p == 0 || table.start(p - 1) <= be) {
            started_ = first_not_below([&](std::size_t j) { return table.start(j) <= be; }, len, p);
        } else {
            started_ = upper_bound_from([&](std::size_t j) { return table.start(j); }, len, be, p);
        }
        *hi = started_;
        if (bs >= lead_bs_) {
            lead_bs_ = bs;
            lead_ = first_not_below([=](std::size_t j) { return reach[j] < bs; }, len, lead_);
            *lo = lead_;
        } else {
            *lo = 0;  // out of order after all: no position can be passed over
        }
    }

private:
    std::size_t started_ = 0;         // positions whose start is <= the last be
    std::size_t lead_ = 0;            // every position below ends below lead_bs_
    double lead_bs_ = -kInfinity;     // largest speech start seen
};

// Insertion sort: a speech row rarely has more than a few hits.
void sort_rows(std::uint32_t* rows, std::size_t count) {
    if (count > 24) {
        std::sort(rows, rows + count);
        return;
    }
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint32_t row = rows[i];
        std::size_t j = i;
        for (; j > 0 && rows[j - 1] > row; --j) {
            rows[j] = rows[j - 1];
        }
        rows[j] = row;
    }
}

}  // namespace

template <class Table>
inline double OverlapSweep::add_window(const Table& table, double matched, double bs, double be,
                                       std::size_t lo, std::size_t hi) noexcept {
    const std::uint32_t* order = order_.data();
    if (order == nullptr) {
        if (hi <= lo + 2 && lo + 2 <= other_len_) {
            // The usual window, of at most two positions, without a branch: both positions are
            // put to the whole test (a position outside the window fails it), and one that is no
            // hit adds +0.0, which changes no bit of `matched` since it is never -0.0.
            for (std::size_t j = lo; j < lo + 2; ++j) {
                const double os = table.start(j);
                const double oe = table.end(j);
                const double amount = qualifying_pair_overlap(bs, be, os, oe);
                const bool hit = (os <= be) & (oe >= bs);
                matched = matched + kept_or_zero(hit, amount);
            }
            return matched;
        }
        for (std::size_t j = lo; j < hi; ++j) {
            const double oe = table.end(j);
            if (oe >= bs) {
                matched = matched + qualifying_pair_overlap(bs, be, table.start(j), oe);
            }
        }
        return matched;
    }
    std::uint32_t* found = hits_.data();
    std::size_t hits = 0;
    for (std::size_t j = lo; j < hi; ++j) {
        if (table.end(j) >= bs) {
            found[hits++] = order[j];
        }
    }
    const double* c_other = table.c;
    if (hits * 16 > other_len_) {
        // Sorting this many hits would cost more than the plain row loop, which needs none.
        for (std::size_t dialog = 0; dialog < other_len_; ++dialog) {
            matched = add_pair_overlap(matched, bs, be, c_other[2 * dialog], c_other[2 * dialog + 1]);
        }
        return matched;
    }
    sort_rows(found, hits);
    for (std::size_t h = 0; h < hits; ++h) {
        const std::size_t dialog = found[h];
        matched = matched + qualifying_pair_overlap(bs, be, c_other[2 * dialog], c_other[2 * dialog + 1]);
    }
    return matched;
}

double OverlapSweep::sum_by_windows(const double* c_other, std::size_t started_len) noexcept {
    const auto run = [&](const auto& table) {
        double matched = 0.0;
        Cursor cursor;
        std::size_t lo = 0;
        std::size_t hi = 0;
        const double* c_base = c_base_;
        const double* reach = reach_.data();
        if (speech_.data() == nullptr) {
            for (std::size_t speech = 0; speech < base_len_; ++speech) {
                const double bs = c_base[2 * speech];
                const double be = c_base[2 * speech + 1];
                if (is_nan(bs) || is_nan(be)) {
                    continue;  // every test against a NaN is false: no pair of this row qualifies
                }
                cursor.window(table, reach, started_len, bs, be, &lo, &hi);
                matched = add_window(table, matched, bs, be, lo, hi);
            }
            return matched;
        }
        std::uint32_t* windows = windows_.data();
        for (std::size_t k = 0; k < speech_kept_; ++k) {
            const std::size_t speech = speech_[k];
            cursor.window(table, reach, started_len, c_base[2 * speech], c_base[2 * speech + 1], &lo, &hi);
            windows[2 * speech] = static_cast<std::uint32_t>(lo);
            windows[2 * speech + 1] = static_cast<std::uint32_t>(hi);
        }
        for (std::size_t speech = 0; speech < base_len_; ++speech) {
            lo = windows[2 * speech];
            hi = windows[2 * speech + 1];
            if (lo < hi) {
                matched = add_window(table, matched, c_base[2 * speech], c_base[2 * speech + 1], lo, hi);
            }
        }
        return matched;
    };
    return order_.data() == nullptr ? run(RowOrder{c_other}) : run(GivenOrder{c_other, order_.data()});
}

}  // namespace corvela
