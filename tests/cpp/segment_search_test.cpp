// The segment search against every assignment of offsets on small tables.
//
// Speech bounds are multiples of 2**-18 s and penalties of 2**-22 s, so both times 10**6 are
// whole numbers of 2**-40 us, the search's own unit: every score is exact in 128-bit integers of
// that unit, here as there.
#include "segment_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "exact_seconds.hpp"

namespace {

using corvela::Microseconds;
using corvela::seconds_of;

constexpr Microseconds kUnits = Microseconds{1} << 40;  // per microsecond
constexpr double kStep = 1.0 / 262144;  // 2**-18 s

struct Case {
    std::vector<double> c_base;
    std::vector<Microseconds> units;  // the speech bounds in 2**-40 us
    std::vector<Microseconds> c_other_us;
    Microseconds lo;
    Microseconds hi;
};

// The summed overlap of one subtitle row shifted by t, in 2**-40 us: match's tests.
Microseconds gain(const Case& c, std::size_t row, Microseconds t) {
    const Microseconds os = c.c_other_us[2 * row] + t;
    const Microseconds oe = c.c_other_us[2 * row + 1] + t;
    Microseconds sum = 0;
    for (std::size_t r = 0; 2 * r < c.c_base.size(); ++r) {
        if (c.c_base[2 * r] <= seconds_of(oe) && seconds_of(os) <= c.c_base[2 * r + 1]) {
            sum += std::min(c.units[2 * r + 1], oe * kUnits) - std::max(c.units[2 * r], os * kUnits);
        }
    }
    return sum;
}

class SegmentSearchTest : public ::testing::TestWithParam<int> {};

TEST_P(SegmentSearchTest, FindsTheBestOfEveryAssignment) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    for (int trial = 0; trial < 150; ++trial) {
        Case c;
        const std::size_t speech_rows = 1 + rng() % 3;
        for (std::size_t j = 0; j < 2 * speech_rows; ++j) {
            const auto k = static_cast<std::int64_t>(rng() % 30);
            c.c_base.push_back(static_cast<double>(k) * kStep);
            c.units.push_back(k * 15625 * (Microseconds{1} << 28));
        }
        Microseconds total = 0;
        for (std::size_t r = 0; r < speech_rows; ++r) {
            total += c.units[2 * r + 1] - c.units[2 * r];
        }
        if (total <= 0) {
            continue;
        }
        const std::size_t rows = 1 + rng() % 3;
        const Microseconds width = static_cast<Microseconds>(rng() % (rows == 3 ? 14 : 30));
        c.lo = static_cast<Microseconds>(rng() % 60) - 30;
        c.hi = c.lo + width;
        for (std::size_t j = 0; j < rows; ++j) {
            // Each row one speech row seen late by an offset in the range, give or take.
            const std::size_t r = rng() % speech_rows;
            const Microseconds start = c.units[2 * r] / kUnits - c.lo -
                                       static_cast<Microseconds>(rng() % (width + 1)) +
                                       static_cast<Microseconds>(rng() % 5) - 2;
            const Microseconds length = (c.units[2 * r + 1] - c.units[2 * r]) / kUnits +
                                        static_cast<Microseconds>(rng() % 7) - 3;
            c.c_other_us.push_back(start);
            c.c_other_us.push_back(start + length);
        }
        const double penalties[] = {0.0, 1.0 / 4194304, 1.0 / 524288, 1e300};
        const double penalty = penalties[rng() % 4];
        double base_total = 0.0;
        for (std::size_t r = 0; r < speech_rows; ++r) {
            base_total = (c.c_base[2 * r + 1] - c.c_base[2 * r]) + base_total;
        }
        const corvela::SegmentSearch search{
            {c.c_base.data(), speech_rows, base_total, c.c_other_us.data(), rows},
            1.0, c.lo, c.hi, penalty};
        corvela::SegmentChoice choice;
        corvela::search_segments(search, &choice, nullptr);
        ASSERT_EQ(choice.status, corvela::SegmentChoice::kFound);

        // Every assignment in start order (ties in row order), scored exactly.
        std::vector<std::size_t> order(rows);
        for (std::size_t j = 0; j < rows; ++j) {
            order[j] = j;
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return c.c_other_us[2 * a] < c.c_other_us[2 * b];
        });
        // The penalty in 2**-40 us: n * 2**-22 s is n * 15625 * 2**24 units.
        const Microseconds price = penalty > 1.0 ? Microseconds{1} << 100
                                                 : static_cast<Microseconds>(penalty * 4194304) *
                                                       15625 * (Microseconds{1} << 24);
        Microseconds best = 0;
        std::size_t fewest = rows;
        bool any = false;
        std::vector<Microseconds> t(rows, c.lo);
        for (;;) {
            bool ordered = true;
            std::size_t changes = 0;
            Microseconds score = 0;
            for (std::size_t k = 0; k < rows; ++k) {
                score += gain(c, order[k], t[k]);
                if (k > 0) {
                    ordered = ordered && c.c_other_us[2 * order[k - 1]] + t[k - 1] <=
                                             c.c_other_us[2 * order[k]] + t[k];
                    changes += t[k] != t[k - 1];
                }
            }
            score -= price * static_cast<Microseconds>(changes);
            if (ordered && (!any || score > best || (score == best && changes < fewest))) {
                best = score;
                fewest = changes;
                any = true;
            }
            std::size_t k = 0;
            while (k < rows && t[k] == c.hi) {
                t[k++] = c.lo;
            }
            if (k == rows) {
                break;
            }
            ++t[k];
        }
        // The score in seconds (exact here), the fewest changes, and an assignment that keeps
        // the order within the tolerance of the best.
        ASSERT_EQ(choice.score, static_cast<double>(best) / kUnits / 1e6) << trial;
        ASSERT_EQ(choice.segment_count, fewest + 1) << trial;
        Microseconds score = 0;
        for (std::size_t k = 0; k < rows; ++k) {
            const Microseconds offset = choice.offsets[order[k]];
            ASSERT_TRUE(offset >= c.lo && offset <= c.hi);
            score += gain(c, order[k], offset);
            if (k > 0) {
                ASSERT_LE(c.c_other_us[2 * order[k - 1]] + choice.offsets[order[k - 1]],
                          c.c_other_us[2 * order[k]] + offset);
            }
        }
        EXPECT_GE(score - price * static_cast<Microseconds>(fewest),
                  best - kUnits / 1000 - kUnits / 1000000);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SegmentSearchTest, ::testing::Values(1, 2, 3));

// Films too large for every assignment: the search that drops offsets and searches a window
// at a time against the one that does neither, answer for answer. Sentences with gaps, cues at a
// lag that changes at a cut or two, stray cues or another film's, and a coarse grid of times and
// penalties for the ties of the exact score.
class DroppedOffsetsTest : public ::testing::TestWithParam<int> {};

TEST_P(DroppedOffsetsTest, AnswersAsTheRecursionOverEveryOffset) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    const auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(rng);
    };
    int windowed = 0;
    for (int trial = 0; trial < 100; ++trial) {
        const bool coarse = trial % 3 == 0;  // times on a 0.25 s grid: many exact ties
        // Cues of another film: no offset fits them, the order costs many changes' worth.
        const bool stray = trial % 4 == 1;
        const auto time = [&](double seconds) {
            return coarse ? std::round(seconds * 4) / 4 : seconds;
        };
        std::vector<double> base;
        double at = uniform(0.0, 3.0);
        const std::size_t speech_rows = stray ? 40 + rng() % 80 : 10 + rng() % 50;
        for (std::size_t r = 0; r < speech_rows; ++r) {
            const double start = time(at);
            const double end = time(at + uniform(0.5, 6.0));
            base.push_back(start);
            base.push_back(std::max(start, end));
            at = std::max(start, end) + uniform(0.2, 5.0);
        }
        if (trial % 5 == 4) {  // some speech rows inverted, and the cues made from them
            for (std::size_t r = 3; r < speech_rows; r += 7) {
                std::swap(base[2 * r], base[2 * r + 1]);
            }
        }
        double base_total = 0.0;
        for (std::size_t r = 0; r < speech_rows; ++r) {
            base_total = (base[2 * r + 1] - base[2 * r]) + base_total;
        }
        if (base_total <= 0.0) {
            continue;
        }
        // One cue a sentence, late by a lag that changes at up to two cuts; some cues stray.
        std::vector<Microseconds> other;
        double lags[] = {uniform(-8.0, 8.0), uniform(-8.0, 8.0), uniform(-8.0, 8.0)};
        if (trial % 4 == 3) {  // cuts of a fraction of a second: the answer in a narrow window
            lags[1] = lags[0] + uniform(-0.3, 0.3);
            lags[2] = lags[0] + uniform(-0.3, 0.3);
        }
        const std::size_t cuts[] = {rng() % speech_rows, rng() % speech_rows};
        for (std::size_t r = 0; r < speech_rows; ++r) {
            const std::size_t part = (r >= cuts[0]) + (r >= cuts[1]);
            double start = base[2 * r] + lags[part] - uniform(0.0, 0.3);
            double end = base[2 * r + 1] + lags[part] + uniform(-0.2, 0.8);
            if (stray || rng() % 10 == 0) {
                start = uniform(0.0, at);
                end = start + uniform(0.0, 4.0);
            }
            other.push_back(static_cast<Microseconds>(std::llround(time(start) * 1e6)));
            other.push_back(static_cast<Microseconds>(std::llround(time(end) * 1e6)));
        }
        if (rng() % 4 == 0) {  // rows out of start order
            for (std::size_t j = other.size() / 2; j > 1; --j) {
                const std::size_t k = rng() % j;
                std::swap(other[2 * (j - 1)], other[2 * k]);
                std::swap(other[2 * (j - 1) + 1], other[2 * k + 1]);
            }
        }
        const Microseconds reach =
            static_cast<Microseconds>(1 + rng() % (stray ? 30 : 12)) * 1000000;
        const double penalties[] = {0.25, 0.5, 1.0, 2.0, 3.0, 6.0, 0.1, 0.3 + uniform(0.0, 3.0)};
        const double penalty = penalties[stray ? rng() % 3 : rng() % (coarse ? 7 : 8)];
        const double factor = rng() % 5 == 0 ? 1.001 : 1.0;
        corvela::SegmentSearch search{
            {base.data(), speech_rows, base_total, other.data(), speech_rows},
            factor, -reach, reach, penalty};
        // Windows narrower than the range: some hold the answer and are proven to, some miss a
        // segment's offset or a cheaper stray, and the search must see that they do.
        search.window = reach / static_cast<Microseconds>(4 + rng() % 12);
        search.every_list_below = trial % 2 == 0 ? 0 : SIZE_MAX;  // some lists made again
        corvela::SegmentChoice dropped;
        corvela::search_segments(search, &dropped, nullptr);
        windowed += dropped.windowed;
        search.plain = true;
        corvela::SegmentChoice plain;
        corvela::search_segments(search, &plain, nullptr);

        ASSERT_EQ(dropped.status, corvela::SegmentChoice::kFound) << trial;
        ASSERT_EQ(plain.status, corvela::SegmentChoice::kFound) << trial;
        // Bit for bit: the doubles compared as they are, not within a tolerance.
        ASSERT_EQ(std::memcmp(&dropped.score, &plain.score, sizeof(double)), 0) << trial;
        ASSERT_EQ(std::memcmp(&dropped.coverage, &plain.coverage, sizeof(double)), 0) << trial;
        ASSERT_EQ(dropped.segment_count, plain.segment_count) << trial;
        for (std::size_t j = 0; j < speech_rows; ++j) {
            ASSERT_EQ(dropped.offsets[j], plain.offsets[j]) << trial << " row " << j;
        }
        for (std::size_t m = 0; m < plain.segment_count; ++m) {
            ASSERT_EQ(dropped.segments[m].first, plain.segments[m].first) << trial;
            ASSERT_EQ(dropped.segments[m].last, plain.segments[m].last) << trial;
            ASSERT_EQ(dropped.segments[m].offset, plain.segments[m].offset) << trial;
        }
    }
    EXPECT_GE(windowed, 8);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DroppedOffsetsTest, ::testing::Values(1, 2, 3, 4));

// Two lone cues beyond the window, each of which alone pays less than the two changes it costs,
// but which pay together: the way there and back steps from one to the other, down the offsets
// beyond the window, which only a gap in the starts allows. A window must not be taken for the
// answer.
class StepsBeyondTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(StepsBeyondTest, AreFoundBeyondTheWindow) {
    const double d = std::get<0>(GetParam());  // seconds between the two cues' offsets
    // Lags of the lone cues: 2d then d above the window, -d then -2d below it, or 2d above it
    // then -2d below it (down across the window, through a gap wider than it).
    const double pairs[][2] = {{2 * d, d}, {-d, -2 * d}, {2 * d, -2 * d}};
    const double* lags = pairs[std::get<1>(GetParam())];
    std::vector<double> base;
    std::vector<Microseconds> other;
    const auto cue = [&](double start, double end, double lag) {
        base.push_back(start);
        base.push_back(end);
        other.push_back(static_cast<Microseconds>(std::llround((start - lag) * 1e6)));
        other.push_back(static_cast<Microseconds>(std::llround((end - lag) * 1e6)));
    };
    double at = 0.0;
    for (int part = 0; part < 4; ++part) {
        if (part == 1 || part == 2) {  // apart enough that no other speech is in its reach
            at += 6 * d;
            cue(at, at + 1.75, lags[part - 1]);
            at += 6 * d;
            continue;
        }
        // Sentences of uneven lengths and gaps: a lag of one or two of them fits none.
        const double lengths[] = {3.0, 2.125, 3.75, 2.625};
        const double gaps[] = {2.25, 4.125, 1.75, 3.5};
        for (int r = 0; r < 4; ++r) {
            cue(at, at + lengths[r], 0.0);
            at += lengths[r] + gaps[r];
        }
    }
    const std::size_t rows = base.size() / 2;
    double base_total = 0.0;
    for (std::size_t r = 0; r < rows; ++r) {
        base_total = (base[2 * r + 1] - base[2 * r]) + base_total;
    }
    const auto reach = static_cast<Microseconds>(3 * d * 1e6);
    corvela::SegmentSearch search{
        {base.data(), rows, base_total, other.data(), rows}, 1.0, -reach, reach, 1.0};
    search.window = 1000000;
    corvela::SegmentChoice windowed;
    corvela::search_segments(search, &windowed, nullptr);
    search.plain = true;
    corvela::SegmentChoice plain;
    corvela::search_segments(search, &plain, nullptr);
    ASSERT_EQ(windowed.status, corvela::SegmentChoice::kFound);
    ASSERT_EQ(plain.status, corvela::SegmentChoice::kFound);
    ASSERT_EQ(plain.segment_count, 4u);  // the two lone cues at their own offsets
    ASSERT_EQ(std::memcmp(&windowed.score, &plain.score, sizeof(double)), 0);
    for (std::size_t j = 0; j < rows; ++j) {
        ASSERT_EQ(windowed.offsets[j], plain.offsets[j]) << "row " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Gaps, StepsBeyondTest,
                         ::testing::Combine(::testing::Values(3, 5, 9), ::testing::Values(0, 1, 2)));

}  // namespace
