// The sweep engine's setup: the look at the speech order, prepare(), fit() and the choice of
// strategy. The method and its invariants are described in overlap_sweep.hpp; the strategies
// are in sweep_row_order.cpp, sweep_windows.cpp and sweep_sorted.cpp.
#include "overlap_sweep.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "coverage.hpp"
#include "nan_and_infinity.hpp"
#include "start_order.hpp"
#include "sweep_positions.hpp"

namespace corvela {

bool speech_in_start_order(const double* c_base, std::size_t base_len) noexcept {
    // Nearly every table passes the plain test: each start a number no smaller than the one
    // before. It carries nothing from row to row but the verdict, so it runs at the speed of the
    // loads. Its verdict is exact when it holds: the rows that can qualify are among these, so
    // their starts are in order too. A NaN bound among the rows fails it (a NaN start fails the
    // comparisons; a NaN end does not matter), and only then is the table looked at row by row.
    bool plain = true;
    for (std::size_t r = 1; r < base_len; ++r) {
        plain &= c_base[2 * r] >= c_base[2 * (r - 1)];
    }
    if (plain && (base_len == 0 || !is_nan(c_base[0]))) {
        return true;
    }
    double last = -kInfinity;
    bool ordered = true;
    for (std::size_t r = 0; r < base_len; ++r) {
        const double bs = c_base[2 * r];
        const double be = c_base[2 * r + 1];
        const bool number = !is_nan(bs) && !is_nan(be);
        ordered &= !(number & (bs < last));
        last = number ? bs : last;
    }
    return ordered;
}

bool OverlapSweep::prepare(const double* c_base, std::size_t base_len, std::size_t other_len,
                           const std::uint32_t* order, SpeechOrder speech_order) noexcept {
    const auto unprepared = [this] {
        reach_.release();
        order_.release();
        hits_.release();
        speech_.release();
        windows_.release();
        started_.release();
        bytes_ = 0;
        return false;
    };
    unprepared();  // nothing of an earlier prepare() is kept
    c_base_ = c_base;
    base_len_ = base_len;
    other_len_ = other_len;
    constexpr std::size_t kRowLimit = std::numeric_limits<std::uint32_t>::max();
    if (other_len > kRowLimit || base_len > kRowLimit) {
        return false;
    }
    const bool speech_ordered =
        speech_order == SpeechOrder::kInOrder || speech_in_start_order(c_base, base_len);
    speech_kept_ = 0;
    if (!speech_ordered) {
        for (std::size_t r = 0; r < base_len; ++r) {
            speech_kept_ += static_cast<std::size_t>(!is_nan(c_base[2 * r]) && !is_nan(c_base[2 * r + 1]));
        }
    }
    std::size_t words = 2 * other_len;  // reach_
    if (order != nullptr) {
        words += 2 * other_len;  // order_, hits_
    }
    if (!speech_ordered) {
        words += speech_kept_ + 2 * base_len;  // speech_, windows_
    } else if (order == nullptr) {
        words += base_len;  // started_
    }
    if (!speech_ordered) {
        // The speech sort comes first, and its keys are released before the other arrays are
        // made, which may then take their room: less memory at the peak, and the same blocks
        // call after call.
        EngineArray<StartKey<double>> keys;
        if (!keys.allocate(speech_kept_) || !speech_.allocate(speech_kept_)) {
            return unprepared();
        }
        kept_rows_in_start_order(c_base, base_len, keys.data(), speech_.data());
    }
    if (!reach_.allocate(other_len) ||
        (order != nullptr && (!order_.allocate(other_len) || !hits_.allocate(other_len))) ||
        (!speech_ordered && !windows_.allocate(2 * base_len)) ||
        (speech_ordered && order == nullptr && !started_.allocate(base_len))) {
        return unprepared();
    }
    bytes_ = words * sizeof(std::uint32_t);
    if (order != nullptr) {
        std::copy(order, order + other_len, order_.data());
    }
    if (!speech_ordered) {
        // A row with a NaN bound keeps the empty window [0, 0).
        std::fill(windows_.data(), windows_.data() + 2 * base_len, 0u);
    }
    return true;
}

std::size_t OverlapSweep::fit(const double* c_other) noexcept {
    const auto check = [this](const auto& table) {
        double* reach = reach_.data();
        double last = -kInfinity;
        double widest = -kInfinity;
        std::size_t held = 0;
        std::size_t j = 0;
        for (; j < other_len_; ++j) {
            const double os = table.start(j);
            if (!(os >= last)) {
                break;
            }
            last = os;
            const double oe = table.end(j);
            held += static_cast<std::size_t>(oe < widest);
            widest = oe > widest ? oe : widest;  // a NaN end leaves it as it is
            reach[j] = widest;
        }
        held_ = held;
        const std::size_t started_len = j;
        for (; j < other_len_; ++j) {
            if (!is_nan(table.start(j))) {
                return kUnfit;
            }
        }
        return started_len;
    };
    return order_.data() == nullptr ? check(RowOrder{c_other})
                                    : check(GivenOrder{c_other, order_.data()});
}

double OverlapSweep::sum(const double* c_other) noexcept {
    const std::size_t started_len = fit(c_other);
    if (started_len == kUnfit) {
        return overlap_ratio_pairs(c_base_, base_len_, c_other, other_len_, 1.0);
    }
    return sum_fitted(c_other, started_len);
}

double OverlapSweep::sum_fitted(const double* c_other, std::size_t started_len) noexcept {
    if (order_.data() == nullptr && speech_.data() == nullptr) {
        return sum_in_row_order(c_other, started_len);
    }
    return sum_by_windows(c_other, started_len);
}

}  // namespace corvela
