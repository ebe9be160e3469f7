// Chooses the engine for one call.
#include "coverage.hpp"

namespace corvela {

double overlap_ratio(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len, double base_total) {
    return overlap_ratio_chain(c_base, base_len, c_other, other_len, base_total);
}

}  // namespace corvela
