// Scaling an exact microsecond count by a double, as `timedelta * float` does.
//
// Python multiplies the microseconds by the float's exact value (its integer ratio) and rounds
// the product to the nearest microsecond, ties to even. A finite double is m * 2**e with
// |m| < 2**53, and |us| < 2**67, so the product us * m fits a 128-bit integer and only the
// power of two is left to apply, with the rounding done on the bits shifted out.
#ifndef CORVELA_CORE_EXACT_SCALING_HPP
#define CORVELA_CORE_EXACT_SCALING_HPP

#include "exact_seconds.hpp"

namespace corvela {

// *out = us * factor rounded to the nearest microsecond, ties to even. False, with *out
// unchanged, when the product leaves timedelta's range or factor is not finite. `us` must lie
// within timedelta's range.
bool scale_microseconds(Microseconds us, double factor, Microseconds* out) noexcept;

}  // namespace corvela

#endif
