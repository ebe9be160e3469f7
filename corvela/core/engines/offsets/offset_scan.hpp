// Coverage of the speech by one subtitle table under many common shifts.
//
// The subtitle bounds are kept as exact microsecond counts. For each offset every bound is
// shifted exactly, converted as total_seconds() converts it (seconds_of), and the shifted table
// goes through the same overlap ratio as `match`, so each result has `match`'s bits for the
// shifted list. Nothing here touches the interpreter: the scan runs without its lock.
#ifndef CORVELA_CORE_OFFSET_SCAN_HPP
#define CORVELA_CORE_OFFSET_SCAN_HPP

#include <cstddef>

#include "exact_seconds.hpp"
#include "offset_tables.hpp"
#include "stop_check.hpp"

namespace corvela {

// Doubles of work space scan_offsets() needs, from the caller.
constexpr std::size_t scan_work_doubles(std::size_t other_len) {
    return 4 * other_len;
}

// results[k] is the coverage with every subtitle bound moved by offsets[k]. Every shifted bound
// must lie within timedelta's range (the caller has checked it). Asks `check` (may be null)
// between offsets, and returns false, the results incomplete, when it says stop; true otherwise.
bool scan_offsets(const OffsetTables& scan, const Microseconds* offsets, std::size_t offset_count,
                  double* work, double* results, StopCheck* check);

}  // namespace corvela

#endif
