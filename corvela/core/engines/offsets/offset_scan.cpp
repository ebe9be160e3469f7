// The per-offset loop of an offset scan.
#include "offset_scan.hpp"

#include <cstdint>

#include "coverage.hpp"
#include "engine_array.hpp"
#include "overlap_sweep.hpp"
#include "start_order.hpp"

namespace corvela {

namespace {

// The subtitle rows in nondecreasing exact start, left unallocated when row order is that
// already. A common shift keeps this order, and since the conversion to seconds never
// decreases, the shifted starts never decrease along it either: one sort serves every offset.
// False when the memory cannot be had (or the rows outgrow 32-bit row numbers).
bool subtitle_start_order(const OffsetTables& scan, EngineArray<std::uint32_t>* order) noexcept {
    const Microseconds* us = scan.c_other_us;
    bool in_order = true;
    for (std::size_t j = 1; j < scan.other_len && in_order; ++j) {
        in_order = us[2 * (j - 1)] <= us[2 * j];
    }
    if (in_order) {
        return true;
    }
    if (scan.other_len > UINT32_MAX) {
        return false;
    }
    return order->allocate(scan.other_len) && start_order(us, scan.other_len, order->data());
}

// The engine for one shifted table: the sweep prepared once for the whole scan where it wins,
// otherwise the engine choice of `match`. Both give the pair loop's bits.
double coverage_of_shift(const OffsetTables& scan, OverlapSweep* sweep,
                         const double* shifted) noexcept {
    if (sweep != nullptr) {
        const std::size_t started_len = sweep->fit(shifted);
        if (started_len != OverlapSweep::kUnfit && sweep->worth_sweeping()) {
            return sweep->sum_fitted(shifted, started_len) / scan.base_total;
        }
    }
    return overlap_ratio(scan.c_base, scan.base_len, shifted, scan.other_len,
                         scan.base_total);
}

Microseconds magnitude(Microseconds us) noexcept {
    return us < 0 ? -us : us;
}

// The common case: every bound and the offset are at most 2**53 in magnitude and so is every
// sum, so adding them as doubles is exact and one division rounds as total_seconds() does. No
// branch and no integer conversion in the loop, which lets the compiler vectorise it.
void shift_small(const double* counts, std::size_t bounds, double offset,
                 double* shifted) noexcept {
    for (std::size_t j = 0; j < bounds; ++j) {
        shifted[j] = (counts[j] + offset) / 1e6;
    }
}

void shift_exact(const Microseconds* us, std::size_t bounds, Microseconds offset,
                 double* shifted) noexcept {
    for (std::size_t j = 0; j < bounds; ++j) {
        shifted[j] = seconds_of(us[j] + offset);
    }
}

}  // namespace

bool scan_offsets(const OffsetTables& scan, const Microseconds* offsets, std::size_t offset_count,
                  double* work, double* results, StopCheck* check) {
    const std::size_t bounds = 2 * scan.other_len;
    double* counts = work;
    double* shifted = work + bounds;
    // Counts past 2**53 are rounded here, but they are used only through shift_exact.
    Microseconds largest = 0;
    for (std::size_t j = 0; j < bounds; ++j) {
        const Microseconds us = scan.c_other_us[j];
        counts[j] = static_cast<double>(us);
        if (magnitude(us) > largest) {
            largest = magnitude(us);
        }
    }
    // The speech sort and the subtitle order are made once, for every offset.
    OverlapSweep prepared;
    OverlapSweep* sweep = nullptr;
    EngineArray<std::uint32_t> order;
#ifdef CORVELA_PAIR_LOOP_ONLY
    const bool large = false;
#else
    const bool large = !tiny_tables(scan.base_len, scan.other_len);
#endif
    if (large &&
        subtitle_start_order(scan, &order) &&
        prepared.prepare(scan.c_base, scan.base_len, scan.other_len, order.data())) {
        sweep = &prepared;
    }
    WorkMeter meter(check);
    const std::size_t work_per_offset = bounds + scan.base_len;
    for (std::size_t k = 0; k < offset_count; ++k) {
        if (meter.charge(work_per_offset)) {
            return false;
        }
        const Microseconds offset = offsets[k];
        if (largest + magnitude(offset) <= kExactDoubleLimit) {
            shift_small(counts, bounds, static_cast<double>(offset), shifted);
        } else {
            shift_exact(scan.c_other_us, bounds, offset, shifted);
        }
        results[k] = coverage_of_shift(scan, sweep, shifted);
    }
    return true;
}

}  // namespace corvela
