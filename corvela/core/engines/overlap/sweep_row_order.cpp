// The sweep when the subtitle rows and the speech rows both come in start order, the common
// shape: every speech row's started count first, then the sum row by row (overlap_sweep.hpp,
// step 3).
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

// One stretch of speech rows on its way through the subtitle starts.
struct StartedCursor {
    std::size_t started;  // positions whose start is <= last_be
    double last_be;
};

// Moves `cursor` to speech row `speech` and notes its started count. A NaN end leaves the cursor
// where it was: that row has no hit, and the count noted for it is never read.
inline void advance(const RowOrder& table, std::size_t len, const double* c_base,
                    std::size_t speech, StartedCursor& cursor, std::uint32_t* started) {
    const double be = c_base[2 * speech + 1];
    if (be >= cursor.last_be) {
        cursor.started = first_not_below([&](std::size_t j) { return table.start(j) <= be; }, len,
                                         cursor.started);
        cursor.last_be = be;
    } else if (!is_nan(be)) {
        cursor.started =
            upper_bound_from([&](std::size_t j) { return table.start(j); }, len, be, cursor.started);
        cursor.last_be = be;
    }
    started[speech] = static_cast<std::uint32_t>(cursor.started);
}

// Stretches of speech rows whose cursors move side by side, at tables of this many rows and more.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kLanedRows = 64;

}  // namespace

double OverlapSweep::sum_in_row_order(const double* c_other, std::size_t started_len) const noexcept {
    const RowOrder table{c_other};
    const double* c_base = c_base_;
    const double* reach = reach_.data();
    const std::size_t len = started_len;
    const std::size_t rows = base_len_;
    std::uint32_t* started = started_.data();

    // First every speech row's started count. One cursor's moves wait on one another (each
    // compares loads at the place the last one left it), so the rows are cut into kLanes
    // stretches whose cursors move in one loop: their waits overlap. A cursor starts as if after
    // an end of +inf, every position started, so that its first row searches instead of walking.
    StartedCursor cursors[kLanes];
    const std::size_t lanes = rows >= kLanedRows ? kLanes : 1;
    const std::size_t stretch = rows / lanes;
    for (StartedCursor& cursor : cursors) {
        cursor = StartedCursor{len, kInfinity};
    }
    for (std::size_t i = 0; i < stretch; ++i) {
        for (std::size_t k = 0; k < lanes; ++k) {
            advance(table, len, c_base, k * stretch + i, cursors[k], started);
        }
    }
    for (std::size_t speech = lanes * stretch; speech < rows; ++speech) {
        advance(table, len, c_base, speech, cursors[lanes - 1], started);
    }

    // Then the sum, row by row.
    double matched = 0.0;
    for (std::size_t speech = 0; speech < rows; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        if (is_nan(bs) || is_nan(be)) {
            continue;  // every test against a NaN is false: no pair of this row qualifies
        }
        const std::size_t hi = started[speech];
        // Nearly always the hits are among the last two started positions, and the running
        // maximum of the ends before them, below bs, shows that nothing earlier is a hit: one
        // load, where a cursor kept over the ends would add a chain of loads to every row.
        if (hi >= 2 && (hi == 2 || reach[hi - 3] < bs)) {
            matched = add_last_two(c_other + 2 * (hi - 2), matched, bs, be);
            continue;
        }
        // Otherwise the window reaches down to the first position whose running maximum of the
        // ends is >= bs; it is found from the top, at a cost no larger than the window's.
        std::size_t lo = hi >= 3 ? hi - 3 : 0;
        while (lo > 0 && reach[lo - 1] >= bs) {
            --lo;
        }
        for (std::size_t j = lo; j < hi; ++j) {
            const double oe = table.end(j);
            if (oe >= bs) {
                matched = matched + qualifying_pair_overlap(bs, be, table.start(j), oe);
            }
        }
    }
    return matched;
}

}  // namespace corvela
