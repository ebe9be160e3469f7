// Chooses the engine for one call. Both give the same bits; only the cost differs.
#include "coverage.hpp"
#include "overlap_index.hpp"

namespace corvela {
namespace {

// Below this many pairs the chain loop finishes before the index would be built.
constexpr double kTinyPairs = 2048.0;

// When at least this share of all pairs qualifies, the index visits nearly every pair anyway
// and its bookkeeping makes it slower than the chain loop.
constexpr double kDenseShare = 0.25;

}  // namespace

double overlap_ratio(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len, double base_total) {
#ifndef CORVELA_CHAIN_ONLY
    const double pairs = static_cast<double>(base_len) * static_cast<double>(other_len);
    if (pairs > kTinyPairs) {
        OverlapIndex index;
        // Without the index's memory the chain loop still gives the answer.
        if (index.build(c_other, other_len) &&
            index.expected_pairs(c_base, base_len) < kDenseShare * pairs) {
            index.finish();
            return index.sum(c_base, base_len) / base_total;
        }
    }
#endif
    return overlap_ratio_chain(c_base, base_len, c_other, other_len, base_total);
}

}  // namespace corvela
