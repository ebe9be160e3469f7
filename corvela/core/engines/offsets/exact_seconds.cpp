// The correctly rounded division of a microsecond count by 10**6.
#include "exact_seconds.hpp"

#include <cmath>

namespace corvela {

namespace {

constexpr unsigned __int128 kMillion = 1000000;

int bit_length(unsigned __int128 v) noexcept {
    int bits = 0;
    for (; v != 0; v >>= 1) {
        ++bits;
    }
    return bits;
}

}  // namespace

double seconds_of(Microseconds us) noexcept {
    if (us <= kExactDoubleLimit && us >= -kExactDoubleLimit) {
        return static_cast<double>(static_cast<std::int64_t>(us)) / 1e6;
    }
    // Past 2**53 converting the count to double would round before the division does. Instead
    // the quotient is formed in integers with 53 significant bits: if floor(a / 10**6) has e + 1
    // bits, the result lies in [2**e, 2**(e + 1)), so m = floor(a * 2**(52 - e) / 10**6) is in
    // [2**52, 2**53) and the remainder decides the rounding. Here 2**53 < a < 2**67, so
    // 33 <= e <= 47 and a * 2**(52 - e) stays below 2**86.
    const bool negative = us < 0;
    const unsigned __int128 a =
        negative ? -static_cast<unsigned __int128>(us) : static_cast<unsigned __int128>(us);
    const int shift = 52 - (bit_length(a / kMillion) - 1);
    const unsigned __int128 scaled = a << shift;
    unsigned __int128 m = scaled / kMillion;
    const unsigned __int128 twice_rest = 2 * (scaled % kMillion);
    if (twice_rest > kMillion || (twice_rest == kMillion && (m & 1) != 0)) {
        ++m;  // reaching 2**53 is fine: still exact as a double
    }
    // m has at most 54 bits, the last of them zero when it has 54: exact as a double, and the
    // scaling by a power of two is exact too.
    const double magnitude = std::ldexp(static_cast<double>(static_cast<std::uint64_t>(m)), -shift);
    return negative ? -magnitude : magnitude;
}

}  // namespace corvela
