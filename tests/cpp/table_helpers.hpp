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

}  // namespace corvela_test

#endif
