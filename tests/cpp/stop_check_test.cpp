// The stop check of long work: asked as the work goes, it changes no result, and when it says
// stop the work ends and says so.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "best_offset_search.hpp"
#include "offset_scan.hpp"
#include "segment_search.hpp"
#include "stop_check.hpp"

namespace {

using corvela::Microseconds;

// Says stop at its `stop_at`-th question (never when 0).
class CountingCheck final : public corvela::StopCheck {
public:
    explicit CountingCheck(std::size_t stop_at) : stop_at_(stop_at) {}
    bool stop_requested() override { return ++asked_ == stop_at_; }
    std::size_t asked() const { return asked_; }

private:
    std::size_t stop_at_;
    std::size_t asked_ = 0;
};

// 3,000 speech rows of a second every three, and subtitles over them a little late.
struct Film {
    std::vector<double> c_base;
    std::vector<Microseconds> c_other_us;
    double total = 0.0;
    Film() {
        for (int r = 0; r < 3000; ++r) {
            c_base.push_back(3.0 * r);
            c_base.push_back(3.0 * r + 1.0);
            total = (c_base.back() - c_base[c_base.size() - 2]) + total;
            c_other_us.push_back(Microseconds{3000000} * r + 250000);
            c_other_us.push_back(Microseconds{3000000} * r + 1500000);
        }
    }
};

TEST(StopCheck, ScanAskedAsItGoesGivesTheUncheckedResults) {
    const Film film;
    const corvela::OffsetTables scan{film.c_base.data(), 3000, film.total, film.c_other_us.data(),
                                  3000};
    std::vector<Microseconds> offsets(400);
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        offsets[k] = Microseconds{1000} * static_cast<Microseconds>(k) - 200000;
    }
    std::vector<double> work(corvela::scan_work_doubles(3000));
    std::vector<double> due(offsets.size());
    std::vector<double> got(offsets.size());
    ASSERT_TRUE(corvela::scan_offsets(scan, offsets.data(), offsets.size(), work.data(),
                                      due.data(), nullptr));
    CountingCheck never(0);
    ASSERT_TRUE(corvela::scan_offsets(scan, offsets.data(), offsets.size(), work.data(),
                                      got.data(), &never));
    EXPECT_GT(never.asked(), 1u);
    EXPECT_EQ(got, due);
    CountingCheck stop(2);
    EXPECT_FALSE(corvela::scan_offsets(scan, offsets.data(), offsets.size(), work.data(),
                                       got.data(), &stop));
    EXPECT_EQ(stop.asked(), 2u);  // not asked again once it said stop
}

TEST(StopCheck, SearchStopsWhenTold) {
    const Film film;
    const double factors[] = {1.0, 1.001, 0.999};
    const corvela::OffsetSearch search{
        {film.c_base.data(), 3000, film.total, film.c_other_us.data(), 3000},
        factors, 3, -100000000, 100000000, 1000000, false, false};
    corvela::OffsetChoice due;
    corvela::search_best_offset(search, &due, nullptr);
    ASSERT_EQ(due.status, corvela::OffsetChoice::kFound);
    CountingCheck never(0);
    corvela::OffsetChoice got;
    corvela::search_best_offset(search, &got, &never);
    ASSERT_EQ(got.status, corvela::OffsetChoice::kFound);
    EXPECT_GT(never.asked(), 1u);
    EXPECT_EQ(got.offset, due.offset);
    EXPECT_EQ(got.coverage, due.coverage);
    for (std::size_t stop_at = 1; stop_at <= never.asked(); stop_at += 3) {
        CountingCheck stop(stop_at);
        corvela::OffsetChoice stopped;
        corvela::search_best_offset(search, &stopped, &stop);
        EXPECT_EQ(stopped.status, corvela::OffsetChoice::kStopped) << stop_at;
    }
}

// A film of 1,000 sentences of uneven lengths and gaps, its cues 2.5 s late, searched over
// +-5 minutes: a window at a time, the bound beyond the window asking as it goes too.
TEST(StopCheck, SegmentSearchStopsWhenTold) {
    std::mt19937_64 rng(11);
    const auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(rng);
    };
    std::vector<double> base;
    std::vector<Microseconds> other;
    double total = 0.0;
    double at = 1.0;
    for (int r = 0; r < 1000; ++r) {
        const double end = at + uniform(0.5, 6.0);
        base.push_back(at);
        base.push_back(end);
        total = (end - at) + total;
        other.push_back(static_cast<Microseconds>((at + 2.5 - uniform(0.0, 0.3)) * 1e6));
        other.push_back(static_cast<Microseconds>((end + 2.5 + uniform(0.1, 0.8)) * 1e6));
        at = end + uniform(0.2, 5.0);
    }
    corvela::SegmentSearch search{{base.data(), 1000, total, other.data(), 1000},
                                  1.0, -300000000, 300000000, 2.0};
    corvela::SegmentChoice due;
    corvela::search_segments(search, &due, nullptr);
    ASSERT_EQ(due.status, corvela::SegmentChoice::kFound);
    EXPECT_TRUE(due.windowed);  // the window is proven on a film as it should be
    CountingCheck never(0);
    corvela::SegmentChoice got;
    corvela::search_segments(search, &got, &never);
    ASSERT_EQ(got.status, corvela::SegmentChoice::kFound);
    EXPECT_GT(never.asked(), 1u);
    EXPECT_EQ(std::memcmp(&got.score, &due.score, sizeof(double)), 0);
    for (std::size_t j = 0; j < 1000; ++j) {
        ASSERT_EQ(got.offsets[j], due.offsets[j]) << j;
    }
    const std::size_t step = never.asked() / 16 + 1;
    for (std::size_t stop_at = 1; stop_at <= never.asked(); stop_at += step) {
        CountingCheck stop(stop_at);
        corvela::SegmentChoice stopped;
        corvela::search_segments(search, &stopped, &stop);
        EXPECT_EQ(stopped.status, corvela::SegmentChoice::kStopped) << stop_at;
    }
}

}  // namespace
