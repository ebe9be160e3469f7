// libFuzzer target: the indexed engine, the sweep (alone and prepared with a start order) and
// the dispatcher against the pair loop, bit for bit,
// on tables decoded from the fuzzer's bytes. Any difference aborts.
//
// Input: one flags byte (bit 0: put subtitle rows in start order, bit 1: the same for speech
// rows, bits 2-3: value scale), one byte for the share of values that go to speech rows, then
// values. A value is one byte: below 224 a small multiple of the scale (duplicates, touching,
// zero-length and inverted rows are common); 224-254 a special value; 255 the next 8 bytes as
// raw bits.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "coverage.hpp"
#include "overlap_index.hpp"
#include "overlap_sweep.hpp"
#include "table_helpers.hpp"

namespace {

using corvela_test::bits;
using corvela_test::sort_rows;
using corvela_test::start_order;

constexpr double kInf = std::numeric_limits<double>::infinity();

const double kSpecials[] = {
    std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 0.0, -0.0, 1e308, -1e308,
    std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::min(), 0.1, 0.2, 0.3, 0.7, 1.0 / 3.0, 1e16, -1e16, 1e-17,
    std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1.0, 10.0,
    9007199254740993.0, 0.1 + 0.2, 86400.0, 3600.5, -2.5, 1e300, 2.0, 4.0, 8.0};

void check(const char* engine, double got, double pairs, std::size_t n, std::size_t m) {
    if (bits(got) != bits(pairs)) {
        std::fprintf(stderr, "mismatch: %s gives %a, the pair loop %a (%zu x %zu rows)\n", engine,
                     got, pairs, n, m);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const unsigned flags = data[0];
    const unsigned speech_share = data[1];
    static const double kScales[] = {1.0, 0.1, 0.25, 1e-3};
    const double scale = kScales[(flags >> 2) & 3];
    std::vector<double> values;
    for (std::size_t i = 2; i < size;) {
        const unsigned selector = data[i++];
        if (selector < 224) {
            values.push_back((static_cast<double>(selector % 32) - 8.0) * scale);
        } else if (selector < 255) {
            values.push_back(kSpecials[(selector - 224) % (sizeof kSpecials / sizeof kSpecials[0])]);
        } else if (size - i >= 8) {
            double raw;
            std::memcpy(&raw, data + i, sizeof raw);
            values.push_back(raw);
            i += 8;
        }
    }
    const std::size_t rows = values.size() / 2;
    const std::size_t n = std::max<std::size_t>(1, rows * speech_share / 256);
    if (rows < n + 1) {
        return 0;
    }
    std::vector<double> base(values.begin(), values.begin() + 2 * n);
    std::vector<double> other(values.begin() + 2 * n, values.begin() + 2 * rows);
    if (flags & 1) {
        sort_rows(other);
    }
    if (flags & 2) {
        sort_rows(base);
    }
    const std::size_t m = other.size() / 2;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        total = total + (base[2 * i + 1] - base[2 * i]);
    }
    // A total of 1.0 exposes `matched` itself; the real total is what the body passes.
    for (const double t : {1.0, total}) {
        const double pairs = corvela::overlap_ratio_pairs(base.data(), n, other.data(), m, t);
        double index = 0.0;
        if (!corvela::overlap_ratio_index(base.data(), n, other.data(), m, t, &index)) {
            std::abort();  // a few kilobytes cannot fail to allocate here
        }
        check("index", index, pairs, n, m);
        check("dispatcher", corvela::overlap_ratio(base.data(), n, other.data(), m, t), pairs, n, m);
        double sweep = 0.0;
        if (!corvela::overlap_ratio_sweep(base.data(), n, other.data(), m, t, &sweep)) {
            std::abort();
        }
        check("sweep", sweep, pairs, n, m);
    }
    // Prepared with a start order of the rows (ties broken as the flags byte says), then summed
    // on the table and on a shifted copy, which the same order still fits.
    const std::vector<std::uint32_t> order = start_order(other, flags);
    corvela::OverlapSweep prepared;
    if (!prepared.prepare(base.data(), n, m, order.data())) {
        std::abort();
    }
    std::vector<double> shifted = other;
    for (double& bound : shifted) {
        bound = bound + 0.75;
    }
    for (const std::vector<double>* table : {&other, &shifted}) {
        check("prepared sweep", prepared.sum(table->data()),
              corvela::overlap_ratio_pairs(base.data(), n, table->data(), m, 1.0), n, m);
    }
    return 0;
}
