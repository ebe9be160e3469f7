// The positions of a subtitle table as the sweep walks them, and how its bounds move over them:
// what every strategy of the sweep shares (overlap_sweep.hpp describes the method).
#ifndef CORVELA_CORE_SWEEP_POSITIONS_HPP
#define CORVELA_CORE_SWEEP_POSITIONS_HPP

#include <cstddef>
#include <cstdint>

namespace corvela {

// Positions are the rows themselves.
struct RowOrder {
    const double* c;
    double start(std::size_t j) const { return c[2 * j]; }
    double end(std::size_t j) const { return c[2 * j + 1]; }
};

// Position j is row order[j].
struct GivenOrder {
    const double* c;
    const std::uint32_t* order;
    double start(std::size_t j) const { return c[2 * std::size_t{order[j]}]; }
    double end(std::size_t j) const { return c[2 * std::size_t{order[j]} + 1]; }
};

// Steps that a cursor takes without a data-dependent branch; a longer move takes a loop.
constexpr std::size_t kStride = 3;

// First position from `from` on at which the nondecreasing predicate `below(j)` fails, below
// `len`. On real tables a speech row moves each bound by zero to three positions, a count no
// predictor learns: so the first kStride steps are counted, the monotone predicate making the
// count the move, and the loads of one count do not wait on one another. Only a longer move
// branches.
template <class Below>
std::size_t first_not_below(const Below& below, std::size_t len, std::size_t from) {
    while (len - from >= kStride) {
        std::size_t moved = 0;
        for (std::size_t t = 0; t < kStride; ++t) {
            moved += static_cast<std::size_t>(below(from + t));
        }
        from += moved;
        if (moved < kStride) {
            return from;
        }
    }
    while (from < len && below(from)) {
        ++from;
    }
    return from;
}

}  // namespace corvela

#endif
