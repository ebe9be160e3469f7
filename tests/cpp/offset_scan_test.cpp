// scan_offsets() against the plain way: every bound shifted and converted through seconds_of,
// then the chain loop. Covers the double-addition shortcut for small counts and the exact path.
#include "offset_scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "coverage.hpp"
#include "table_helpers.hpp"

namespace {

using corvela::Microseconds;

std::vector<double> plain_scan(const corvela::ShiftScan& scan,
                               const std::vector<Microseconds>& offsets) {
    std::vector<double> out;
    std::vector<double> shifted(2 * scan.subtitle_len);
    for (const Microseconds offset : offsets) {
        for (std::size_t j = 0; j < shifted.size(); ++j) {
            shifted[j] = corvela::seconds_of(scan.subtitle_us[j] + offset);
        }
        out.push_back(corvela::overlap_ratio_chain(scan.speech, scan.speech_len, shifted.data(),
                                                   scan.subtitle_len, scan.base_total));
    }
    return out;
}

class OffsetScan : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(OffsetScan, GivesThePlainScansBits) {
    // The parameter bounds the counts: below 2**52 every sum takes the shortcut, above it some
    // offsets must take the exact path.
    const std::int64_t span = GetParam();
    std::mt19937_64 rng(static_cast<std::uint64_t>(span));
    std::uniform_int_distribution<std::int64_t> count(-span, span);
    std::uniform_real_distribution<double> second(-1e4, 1e4);
    for (std::size_t rows : {1, 7, 40, 300}) {
        std::vector<double> speech;
        double total = 0.0;
        for (std::size_t r = 0; r < rows; ++r) {
            speech.push_back(second(rng));
            speech.push_back(second(rng));
            total = (speech[2 * r + 1] - speech[2 * r]) + total;
        }
        std::vector<Microseconds> subtitles;
        for (std::size_t r = 0; r < 2 * rows; ++r) {
            subtitles.push_back(r % 3 == 0 ? count(rng) : count(rng) / 1000000);
        }
        std::vector<Microseconds> offsets{0, 1, -1, span, -span};
        for (int k = 0; k < 20; ++k) {
            offsets.push_back(count(rng) / (k % 2 ? 1 : 1000000));
        }
        const corvela::ShiftScan scan{speech.data(), rows, total, subtitles.data(), rows};
        std::vector<double> work(corvela::scan_work_doubles(rows));
        std::vector<double> got(offsets.size());
        corvela::scan_offsets(scan, offsets.data(), offsets.size(), work.data(), got.data());
        const std::vector<double> due = plain_scan(scan, offsets);
        for (std::size_t k = 0; k < offsets.size(); ++k) {
            ASSERT_EQ(corvela_test::bits(got[k]), corvela_test::bits(due[k])) << rows << " " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Spans, OffsetScan,
                         ::testing::Values(std::int64_t{1} << 40, std::int64_t{1} << 52,
                                           std::int64_t{1} << 62));

}  // namespace
