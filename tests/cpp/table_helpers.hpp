// Helpers shared by the native tests and the fuzzer of the overlap engines.
#ifndef CORVELA_TESTS_TABLE_HELPERS_HPP
#define CORVELA_TESTS_TABLE_HELPERS_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace corvela_test {

// Bit pattern of a result; every NaN folds into one, so that NaN matches NaN.
inline std::uint64_t bits(double value) {
    if (std::isnan(value)) {
        return 0x7ff8000000000000u;
    }
    std::uint64_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

// Puts the (start, end) rows of a flat table in start order, NaN starts last, so that most
// inputs reach the engines' in-order paths.
inline void sort_rows(std::vector<double>& rows) {
    std::vector<std::pair<double, double>> pairs;
    for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
        pairs.emplace_back(rows[i], rows[i + 1]);
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.first < b.first || (!std::isnan(a.first) && std::isnan(b.first));
    });
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        rows[2 * i] = pairs[i].first;
        rows[2 * i + 1] = pairs[i].second;
    }
}

// A permutation listing the rows of a flat table in nondecreasing start, NaN starts last; rows
// with equal starts come in an order drawn from `seed`, since an order computed from other
// values (exact microseconds) may break such ties either way.
inline std::vector<std::uint32_t> start_order(const std::vector<double>& rows, std::uint64_t seed) {
    std::vector<std::uint32_t> order(rows.size() / 2);
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<std::uint32_t>(i);
    }
    for (std::size_t i = order.size(); i > 1; --i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        std::swap(order[i - 1], order[(seed >> 33) % i]);
    }
    std::stable_sort(order.begin(), order.end(), [&rows](std::uint32_t a, std::uint32_t b) {
        const double sa = rows[2 * a];
        const double sb = rows[2 * b];
        return sa < sb || (!std::isnan(sa) && std::isnan(sb));
    });
    return order;
}

}  // namespace corvela_test

#endif
