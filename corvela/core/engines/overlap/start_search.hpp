// Searching the starts of a subtitle table kept in start order, shared by the indexed engine and
// the sweep so that the one search both depend on is written once.
#ifndef CORVELA_CORE_START_SEARCH_HPP
#define CORVELA_CORE_START_SEARCH_HPP

#include <cstddef>

namespace corvela {

// First position of `starts[0, len)` whose start exceeds x, searched outwards from `hint`:
// consecutive speech rows usually end near one another, so the distance moved, not the table
// size, sets the cost. `starts(j)` is the start of position j; `starts(j) <= x` must hold for a
// prefix of the positions and fail for the rest (a NaN start may therefore only come last).
template <class Starts>
std::size_t upper_bound_from(const Starts& starts, std::size_t len, double x, std::size_t hint) {
    // Invariant: start <= x below lo; start > x from hi on.
    // Moves of a few positions, the usual case, are walked: one loop exit to mispredict rather
    // than the several of a search.
    if (hint < len && starts(hint) <= x) {
        const std::size_t stop = len - hint > 4 ? hint + 4 : len;
        std::size_t p = hint + 1;
        while (p < stop && starts(p) <= x) {
            ++p;
        }
        if (p < stop || p == len) {
            return p;
        }
        hint = p - 1;
    } else if (hint > 0 && starts(hint - 1) <= x) {
        return hint;
    }
    std::size_t lo;
    std::size_t hi;
    if (hint < len && starts(hint) <= x) {
        lo = hint + 1;
        hi = len;
        std::size_t step = 1;
        while (lo < len) {
            const std::size_t probe = (len - lo > step) ? lo + step : len - 1;
            if (starts(probe) <= x) {
                lo = probe + 1;
                step *= 2;
            } else {
                hi = probe;
                break;
            }
        }
    } else {
        hi = hint;
        lo = 0;
        std::size_t step = 1;
        while (hi > 0) {
            const std::size_t probe = (hi > step) ? hi - step : 0;
            if (!(starts(probe) <= x)) {
                hi = probe;
                step *= 2;
            } else {
                lo = probe + 1;
                break;
            }
        }
    }
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (starts(mid) <= x) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

}  // namespace corvela

#endif
