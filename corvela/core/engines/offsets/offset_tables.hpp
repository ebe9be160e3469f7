// The two tables every offset engine weighs: the speech in seconds, the subtitles in exact
// microseconds, as the offset calls read them once per call.
#ifndef CORVELA_CORE_OFFSET_TABLES_HPP
#define CORVELA_CORE_OFFSET_TABLES_HPP

#include <cstddef>

#include "exact_seconds.hpp"

namespace corvela {

struct OffsetTables {
    const double* c_base;            // speech rows: start at [2r], end at [2r + 1]
    std::size_t base_len;
    double base_total;               // summed speech lengths, in row order
    const Microseconds* c_other_us;  // subtitle rows, laid out like the speech
    std::size_t other_len;
};

}  // namespace corvela

#endif
