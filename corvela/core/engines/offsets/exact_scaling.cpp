// The exact product of a microsecond count and a double, rounded as timedelta does.
#include "exact_scaling.hpp"

#include <cmath>
#include <cstdint>

#include "nan_and_infinity.hpp"

namespace corvela {

namespace {

using Unsigned = unsigned __int128;

// a / 2**shift rounded to nearest, ties to even, for shift >= 1.
Unsigned divide_by_power_of_two(Unsigned a, int shift) noexcept {
    if (shift >= 128) {
        return 0;  // a < 2**127: below half of 2**shift
    }
    const Unsigned quotient = a >> shift;
    const Unsigned rest = a - (quotient << shift);
    const Unsigned half = Unsigned{1} << (shift - 1);
    if (rest > half || (rest == half && (quotient & 1) != 0)) {
        return quotient + 1;
    }
    return quotient;
}

}  // namespace

bool scale_microseconds(Microseconds us, double factor, Microseconds* out) noexcept {
    if (!is_finite(factor)) {
        return false;
    }
    if (us == 0 || factor == 0.0) {
        *out = 0;
        return true;
    }
    int exponent = 0;
    const double fraction = std::frexp(factor, &exponent);  // factor = fraction * 2**exponent
    const auto mantissa = static_cast<std::int64_t>(std::ldexp(fraction, 53));
    const int power = exponent - 53;  // factor = mantissa * 2**power, exactly
    const bool negative = (us < 0) != (mantissa < 0);
    const Unsigned a = us < 0 ? -static_cast<Unsigned>(us) : static_cast<Unsigned>(us);
    const Unsigned m = mantissa < 0 ? -static_cast<Unsigned>(mantissa)
                                    : static_cast<Unsigned>(mantissa);
    const Unsigned product = a * m;  // below 2**67 * 2**53
    // The largest magnitude each sign may reach.
    const Unsigned limit = negative ? -static_cast<Unsigned>(kMinMicroseconds)
                                    : static_cast<Unsigned>(kMaxMicroseconds);
    Unsigned magnitude = 0;
    if (power >= 0) {
        if (power >= 67 || product > (limit >> power)) {
            return false;
        }
        magnitude = product << power;
    } else {
        magnitude = divide_by_power_of_two(product, -power);
    }
    if (magnitude > limit) {
        return false;
    }
    *out = negative ? -static_cast<Microseconds>(magnitude) : static_cast<Microseconds>(magnitude);
    return true;
}

}  // namespace corvela
