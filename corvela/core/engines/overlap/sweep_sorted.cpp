// The sweep of a subtitle table out of start order, after one sort of its rows by start, and
// the sweep on its own, which takes a table as it comes when it can.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "engine_array.hpp"
#include "overlap_sweep.hpp"
#include "start_order.hpp"

namespace corvela {

bool sweep_sorted(const double* c_base, std::size_t base_len, const double* c_other,
                  std::size_t other_len, OverlapSweep::SpeechOrder speech, bool only_if_worth,
                  double* matched) noexcept {
    if (other_len > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    OverlapSweep sweep;
    {
        // The order is copied by prepare(): it is released before the sum.
        EngineArray<std::uint32_t> order;
        if (!order.allocate(other_len) || !start_order(c_other, other_len, order.data()) ||
            !sweep.prepare(c_base, base_len, other_len, order.data(), speech)) {
            return false;
        }
    }
    // The sort leaves NaN starts last, so the sorted table always fits.
    const std::size_t started_len = sweep.fit(c_other);
    if (started_len == OverlapSweep::kUnfit || (only_if_worth && !sweep.worth_sweeping())) {
        return false;
    }
    *matched = sweep.sum_fitted(c_other, started_len);
    return true;
}

bool overlap_ratio_sweep(const double* c_base, std::size_t base_len, const double* c_other,
                         std::size_t other_len, double base_total, double* result) noexcept {
    const OverlapSweep::SpeechOrder speech = speech_in_start_order(c_base, base_len)
                                                 ? OverlapSweep::SpeechOrder::kInOrder
                                                 : OverlapSweep::SpeechOrder::kUnknown;
    OverlapSweep sweep;
    if (!sweep.prepare(c_base, base_len, other_len, nullptr, speech)) {
        return false;
    }
    const std::size_t started_len = sweep.fit(c_other);
    if (started_len != OverlapSweep::kUnfit) {
        *result = sweep.sum_fitted(c_other, started_len) / base_total;
        return true;
    }
    // One sort of the rows by start puts them in an order the sweep can take.
    double matched = 0.0;
    if (!sweep_sorted(c_base, base_len, c_other, other_len, speech, false, &matched)) {
        return false;
    }
    *result = matched / base_total;
    return true;
}

}  // namespace corvela
