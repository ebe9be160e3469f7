// The adds of the sweep that take no branch: a position that is no hit adds +0.0, which leaves
// `matched` (never -0.0) bit for bit as it was. With SSE2 the last two positions of a window are
// added two lanes at once, otherwise one at a time.
#ifndef CORVELA_CORE_SWEEP_SSE2_STEPS_HPP
#define CORVELA_CORE_SWEEP_SSE2_STEPS_HPP

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "overlap_rule.hpp"

namespace corvela {

// `value` when `keep`, else +0.0, through its bits: compilers turn a conditional expression on a
// comparison back into a branch, and multiplying by 0 or 1 would not keep an infinity or NaN.
inline double kept_or_zero(bool keep, double value) {
    std::uint64_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    raw &= std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    std::memcpy(&value, &raw, sizeof raw);
    return value;
}

// `matched` after the last two positions below a speech row's started count, rows p and p + 1 at
// `rows`, when no position before them can be a hit. Both starts are <= be, so a position is a
// hit exactly when oe >= bs; a miss adds +0.0, which leaves `matched` (never -0.0) as it was.
// The hits are added in row order, p first, each the rule chain's amount (qualifying_pair_overlap).
inline double add_last_two(const double* rows, double matched, double bs, double be) {
#if defined(__SSE2__)
    // Both positions at once: the same IEEE operations lane by lane. min_pd(a, b) and
    // max_pd(a, b) are a < b ? a : b and a > b ? a : b, as the scalar expressions are, and the
    // mask of an ordered comparison is false for a NaN end.
    const __m128d first = _mm_loadu_pd(rows);       // os, oe of row p
    const __m128d second = _mm_loadu_pd(rows + 2);  // os, oe of row p + 1
    const __m128d os = _mm_unpacklo_pd(first, second);
    const __m128d oe = _mm_unpackhi_pd(first, second);
    const __m128d speech_start = _mm_set1_pd(bs);
    const __m128d amount = _mm_sub_pd(_mm_min_pd(_mm_set1_pd(be), oe), _mm_max_pd(speech_start, os));
    const __m128d kept = _mm_and_pd(_mm_cmpge_pd(oe, speech_start), amount);
    matched = matched + _mm_cvtsd_f64(kept);
    return matched + _mm_cvtsd_f64(_mm_unpackhi_pd(kept, kept));
#else
    for (int k = 0; k < 2; ++k) {
        const double os = rows[2 * k];
        const double oe = rows[2 * k + 1];
        matched = matched + kept_or_zero(oe >= bs, qualifying_pair_overlap(bs, be, os, oe));
    }
    return matched;
#endif
}

}  // namespace corvela

#endif
