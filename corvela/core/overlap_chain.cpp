// The reference engine: every speech row against every subtitle row, in row order.
#include "coverage.hpp"

namespace corvela {

double overlap_ratio_chain(const double* c_base, std::size_t base_len, const double* c_other,
                           std::size_t other_len, double base_total) {
    double matched = 0.0;
    for (std::size_t speech = 0; speech < base_len; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        for (std::size_t dialog = 0; dialog < other_len; ++dialog) {
            const double os = c_other[2 * dialog];
            const double oe = c_other[2 * dialog + 1];
            if (bs > oe) {
                continue;
            }
            if (os > be) {
                continue;
            }
            if (os <= bs && be <= oe) {
                matched = matched + (be - bs);
            } else if (bs <= os && oe <= be) {
                matched = matched + (oe - os);
            } else if (os <= bs && bs <= oe && oe <= be) {
                matched = matched + (oe - bs);
            } else if (bs <= os && os <= be && be <= oe) {
                matched = matched + (be - os);
            }
        }
    }
    return matched / base_total;
}

}  // namespace corvela
