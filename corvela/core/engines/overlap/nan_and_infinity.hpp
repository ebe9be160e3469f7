// The tests for NaN and infinity that the engines share, so that each is written once.
//
// The overlap rule compares with ordered comparisons only, so a NaN bound fails every test of a
// pair; the engines pass over rows with one instead of testing their pairs. is_nan holds for NaN
// and nothing else, whatever its sign or payload; is_finite for every value but NaN and the two
// infinities, as std::isfinite.
#ifndef CORVELA_CORE_NAN_AND_INFINITY_HPP
#define CORVELA_CORE_NAN_AND_INFINITY_HPP

#include <cmath>
#include <limits>

namespace corvela {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// True for a NaN, the one value unequal to itself. A comparison, not a library call, so that it
// compiles to one instruction; for an integer start (an exact count) it is always false. A row
// with a NaN bound is tested as is_nan(start) || is_nan(end) where it stands: GCC lays the hot
// row loops out worse when that test comes back from a helper of its own.
template <class Number>
constexpr bool is_nan(Number value) {
    return value != value;
}

// True for a number that is neither NaN nor an infinity.
inline bool is_finite(double value) {
    return std::isfinite(value);
}

}  // namespace corvela

#endif
