// The per-offset loop of an offset scan.
#include "offset_scan.hpp"

#include <cstdint>

#include "coverage.hpp"

namespace corvela {

namespace {

// The engine for one shifted table: kept in this one place so that it can be exchanged for one
// that reuses what the first offset learnt about the table (a common shift keeps its order).
double coverage_of_shift(const ShiftScan& scan, const double* shifted) noexcept {
    return overlap_ratio(scan.speech, scan.speech_len, shifted, scan.subtitle_len,
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

void scan_offsets(const ShiftScan& scan, const Microseconds* offsets, std::size_t offset_count,
                  double* work, double* results) noexcept {
    const std::size_t bounds = 2 * scan.subtitle_len;
    double* counts = work;
    double* shifted = work + bounds;
    // Counts past 2**53 are rounded here, but they are used only through shift_exact.
    Microseconds largest = 0;
    for (std::size_t j = 0; j < bounds; ++j) {
        const Microseconds us = scan.subtitle_us[j];
        counts[j] = static_cast<double>(us);
        if (magnitude(us) > largest) {
            largest = magnitude(us);
        }
    }
    for (std::size_t k = 0; k < offset_count; ++k) {
        const Microseconds offset = offsets[k];
        if (largest + magnitude(offset) <= kExactDoubleLimit) {
            shift_small(counts, bounds, static_cast<double>(offset), shifted);
        } else {
            shift_exact(scan.subtitle_us, bounds, offset, shifted);
        }
        results[k] = coverage_of_shift(scan, shifted);
    }
}

}  // namespace corvela
