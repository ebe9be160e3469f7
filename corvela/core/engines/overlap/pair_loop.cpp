// The reference engine: every speech row against every subtitle row, in row order.
#include "coverage.hpp"
#include "overlap_rule.hpp"

namespace corvela {

double overlap_ratio_pairs(const double* c_base, std::size_t base_len, const double* c_other,
                           std::size_t other_len, double base_total) {
    double matched = 0.0;
    for (std::size_t speech = 0; speech < base_len; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        for (std::size_t dialog = 0; dialog < other_len; ++dialog) {
            matched = add_pair_overlap(matched, bs, be, c_other[2 * dialog], c_other[2 * dialog + 1]);
        }
    }
    return matched / base_total;
}

}  // namespace corvela
