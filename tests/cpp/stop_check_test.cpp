// The stop check of long work: asked as the work goes, it changes no result, and when it says
// stop the work ends and says so.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "best_offset_search.hpp"
#include "offset_scan.hpp"
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

}  // namespace
