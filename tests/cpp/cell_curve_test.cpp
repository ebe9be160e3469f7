// The search by cells against the whole curve: the same choice, bit for bit, on random and
// adversarial tables over ranges wide enough for cells; and the cells spare most of the work.
#include "best_offset_search.hpp"
#include "cell_curve.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "start_order.hpp"

namespace {

using corvela::Microseconds;

struct Tables {
    std::vector<double> c_base;
    std::vector<Microseconds> c_other_us;
    double total = 0.0;
};

enum class Shape {
    Film,         // speech and subtitles of a film, the subtitles late
    Periodic,     // rows every 2 s: many equal peaks
    Narrow,       // rows of a few milliseconds: peaks narrower than a cell
    Mixed,        // long, zero-length and inverted rows of both tables, nested and overlapping
    Stacked,      // every speech row [0, 10] s, every subtitle [9.5, 10.5] s: the steepest slopes
};

Tables make(Shape shape, std::mt19937_64& rng) {
    const auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    const auto coin = [&](double p) { return std::bernoulli_distribution(p)(rng); };
    Tables t;
    const std::size_t rows = 5 + rng() % 60;
    double s = uniform(0.0, 3.0);
    for (std::size_t r = 0; r < rows; ++r) {
        double start = s + uniform(0.1, 3.0);
        double length = uniform(0.3, 4.0);
        if (shape == Shape::Periodic) {
            start = 2.0 * static_cast<double>(r);
            length = 1.0;
        } else if (shape == Shape::Narrow) {
            length = uniform(0.0005, 0.01);
        } else if (shape == Shape::Mixed && coin(0.3)) {
            length = coin(0.5) ? uniform(-1.0, 0.0) : uniform(5.0, 60.0);
        } else if (shape == Shape::Stacked) {
            start = 0.0;
            length = 10.0;
        }
        t.c_base.push_back(start);
        t.c_base.push_back(start + length);
        s = start + std::max(length, 0.0);
    }
    for (std::size_t r = 0; 2 * r < t.c_base.size(); ++r) {
        t.total = (t.c_base[2 * r + 1] - t.c_base[2 * r]) + t.total;
    }
    const Microseconds late = static_cast<Microseconds>(uniform(-4e6, 4e6));
    for (std::size_t r = 0; 2 * r < t.c_base.size(); ++r) {
        auto start = static_cast<Microseconds>(t.c_base[2 * r] * 1e6) + late;
        auto end = static_cast<Microseconds>(t.c_base[2 * r + 1] * 1e6) + late;
        if (shape == Shape::Film || shape == Shape::Mixed) {
            start -= static_cast<Microseconds>(uniform(0.0, 2.5e5));
            end += static_cast<Microseconds>(uniform(1e5, 8e5));
        }
        if (shape == Shape::Mixed && coin(0.3)) {
            end = coin(0.5) ? start : (coin(0.5) ? start - 300000 : start + 40000000);
        } else if (shape == Shape::Stacked) {
            start = 9500000 + late;
            end = 10500000 + late;
        }
        t.c_other_us.push_back(start);
        t.c_other_us.push_back(end);
    }
    return t;
}

// What a curve is built from: the subtitle rows in start order and indexed, the speech edges.
struct Prepared {
    std::vector<std::uint32_t> order;
    std::vector<corvela::SpeechEdge> edges;
    corvela::pairs::PairIndex index;

    explicit Prepared(const Tables& t)
        : order(t.c_other_us.size() / 2), edges(t.c_base.size() / 2) {
        const bool sorted = corvela::start_order(t.c_other_us.data(), order.size(), order.data());
        corvela::speech_edges(t.c_base.data(), edges.size(), edges.data());
        EXPECT_TRUE(sorted && index.prepare(t.c_other_us.data(), order.size(), order.data()));
    }
};

// Both curves of the tables over [lo, hi]; false when either build fails. The cells keep
// `p` and `meter` for their readers.
bool built(const Tables& t, const Prepared& p, Microseconds lo, Microseconds hi,
           corvela::WorkMeter& meter, corvela::CellCurve& cells, corvela::OffsetCurve& whole) {
    return cells.build(p.index, p.edges.data(), p.edges.size(), t.c_other_us.data(), lo, hi,
                       meter) &&
           whole.build(p.index, p.edges.data(), p.edges.size(), t.c_other_us.data(), lo, hi,
                       meter);
}

std::uint64_t bits(double v) {
    std::uint64_t out = 0;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

corvela::OffsetChoice searched(const Tables& t, const std::vector<double>& factors,
                               Microseconds lo, Microseconds hi, Microseconds separation,
                               bool evidence, bool whole) {
    const corvela::OffsetSearch search{
        {t.c_base.data(), t.c_base.size() / 2, t.total, t.c_other_us.data(),
         t.c_other_us.size() / 2},
        factors.data(), factors.size(), lo, hi, separation, evidence, whole};
    corvela::OffsetChoice choice;
    corvela::search_best_offset(search, &choice, nullptr);
    return choice;
}

std::size_t cell_index(const corvela::CellCurve& cells, Microseconds t) {
    std::size_t k = 0;
    while (k + 1 < cells.cell_count() && cells.cell_start(k + 1) <= t) {
        ++k;
    }
    return k;
}

class CellsAgree : public ::testing::TestWithParam<Shape> {};

TEST_P(CellsAgree, WithTheWholeCurve) {
    std::mt19937_64 rng(1000 + static_cast<int>(GetParam()));
    const std::vector<std::vector<double>> factor_sets = {
        {1.0}, {1.0, 25 / 23.976, 23.976 / 25, 1.001, 0.999}, {0.97, 1.0, 1.03}};
    for (int round = 0; round < 150; ++round) {
        const Tables t = make(GetParam(), rng);
        if (!(t.total > 0.0)) {
            continue;
        }
        // Every third range is short: cells only where the pairs are many (stacked tables).
        const bool wide = round % 3 != 0;
        const Microseconds half = wide ? 300000000 + static_cast<Microseconds>(rng() % 600000000)
                                       : 1000000 + static_cast<Microseconds>(rng() % 9000000);
        const Microseconds lo = -half + static_cast<Microseconds>(rng() % 1000000);
        const Microseconds hi = half + static_cast<Microseconds>(rng() % 7);
        ASSERT_TRUE(!wide || corvela::CellCurve::pays(lo, hi, 1, 1));
        const auto& factors = factor_sets[rng() % factor_sets.size()];
        const Microseconds separation = static_cast<Microseconds>(rng() % 3000000);
        const bool evidence = rng() % 2 == 0;
        const auto due = searched(t, factors, lo, hi, separation, evidence, true);
        const auto got = searched(t, factors, lo, hi, separation, evidence, false);
        SCOPED_TRACE(round);
        ASSERT_EQ(due.status, corvela::OffsetChoice::kFound);
        ASSERT_EQ(got.status, due.status);
        EXPECT_EQ(got.factor_index, due.factor_index);
        EXPECT_TRUE(got.plateau_start == due.plateau_start && got.plateau_end == due.plateau_end);
        EXPECT_TRUE(got.offset == due.offset);
        EXPECT_EQ(bits(got.coverage), bits(due.coverage));
        EXPECT_EQ(got.has_runner_up, due.has_runner_up);
        EXPECT_TRUE(got.runner_up == due.runner_up);
        EXPECT_EQ(bits(got.runner_up_coverage), bits(due.runner_up_coverage));
        EXPECT_EQ(bits(got.chance_gain), bits(due.chance_gain));
    }
}

// Every cell's bound lies at or above every value the whole curve takes in the cell, and every
// reader gives the whole curve's answer, with stretches of one cell and up, so that runs and
// walks cross their edges.
TEST_P(CellsAgree, BoundsAndReadersMatchTheWholeCurve) {
    std::mt19937_64 rng(3000 + static_cast<int>(GetParam()));
    for (int round = 0; round < 60; ++round) {
        const Tables t = make(GetParam(), rng);
        const Microseconds lo = -static_cast<Microseconds>(1000000 + rng() % 9000000);
        const Microseconds hi = static_cast<Microseconds>(rng() % 9000000);
        corvela::CellCurve cells;
        cells.set_longest_stretch(1 + rng() % 4);
        corvela::OffsetCurve whole;
        const Prepared p(t);
        corvela::WorkMeter meter;
        ASSERT_TRUE(built(t, p, lo, hi, meter, cells, whole));
        SCOPED_TRACE(round);
        const corvela::CurveView curve = whole.view();
        const std::size_t count = whole.segment_count();
        for (std::size_t k = 0; k < count; ++k) {
            // A segment is linear: its greatest values in a cell lie where it enters or leaves.
            const Microseconds first = whole.segments()[k].start;
            const Microseconds last = k + 1 < count ? whole.segments()[k + 1].start - 1 : hi;
            for (std::size_t c = cell_index(cells, first); c < cells.cell_count() &&
                                                          cells.cell_start(c) <= last;
                 ++c) {
                const Microseconds from = std::max(first, cells.cell_start(c));
                const Microseconds to =
                    c + 1 < cells.cell_count() ? std::min(last, cells.cell_start(c + 1) - 1) : last;
                ASSERT_GE(cells.bound(c), curve.value_at(from)) << round;
                ASSERT_GE(cells.bound(c), curve.value_at(to)) << round;
                ASSERT_LE(cells.lower_bound(c), curve.value_at(from)) << round;
                ASSERT_LE(cells.lower_bound(c), curve.value_at(to)) << round;
            }
        }
        ASSERT_EQ(bits(cells.maximum()), bits(whole.maximum()));
        const double floor = whole.maximum() - corvela::tolerance_of(whole.maximum());
        Microseconds got[2] = {0, 0};
        Microseconds due[2] = {0, 0};
        cells.first_run_above(floor, &got[0], &got[1]);
        whole.first_run_above(floor, &due[0], &due[1]);
        EXPECT_TRUE(got[0] == due[0] && got[1] == due[1]);
        for (int probe = 0; probe < 6; ++probe) {
            const Microseconds a = lo + static_cast<Microseconds>(rng() % (hi - lo + 1));
            const Microseconds b = a + static_cast<Microseconds>(rng() % 3000000);
            double got_value = 0.0;
            double due_value = 0.0;
            const bool got_found = cells.best_outside(a, b, &got[0], &got_value);
            ASSERT_EQ(got_found, whole.best_outside(a, b, &due[0], &due_value));
            if (got_found) {
                EXPECT_TRUE(got[0] == due[0]);
                EXPECT_EQ(bits(got_value), bits(due_value));
            }
            const double level = whole.value_at(a) * (0.5 + 0.1 * probe);
            for (const int step : {-1, 1}) {
                const bool reached = cells.nearest_at_most(a, step, level, &got[0]);
                ASSERT_EQ(reached, whole.nearest_at_most(a, step, level, &due[0]));
                EXPECT_TRUE(!reached || got[0] == due[0]);
            }
        }
        EXPECT_TRUE(cells.ok());
    }
}

// The bounds from corners counted in 32 bits, and from rests summed in 64, are those of the
// widest counts, bit for bit.
TEST_P(CellsAgree, NarrowCountsGiveTheWidestBounds) {
    std::mt19937_64 rng(4000 + static_cast<int>(GetParam()));
    for (int round = 0; round < 40; ++round) {
        const Tables t = make(GetParam(), rng);
        const Prepared p(t);
        const Microseconds lo = -static_cast<Microseconds>(1000000 + rng() % 900000000);
        const Microseconds hi = static_cast<Microseconds>(rng() % 900000000);
        corvela::CellCurve cells[3];
        for (int level = 0; level < 3; ++level) {
            corvela::WorkMeter meter;
            cells[level].set_wider_counts(level);
            ASSERT_TRUE(cells[level].build(p.index, p.edges.data(), p.edges.size(),
                                           t.c_other_us.data(), lo, hi, meter));
        }
        for (int level = 1; level < 3; ++level) {
            ASSERT_EQ(cells[level].cell_count(), cells[0].cell_count());
            for (std::size_t k = 0; k < cells[0].cell_count(); ++k) {
                ASSERT_EQ(bits(cells[level].bound(k)), bits(cells[0].bound(k))) << round;
                ASSERT_EQ(bits(cells[level].lower_bound(k)), bits(cells[0].lower_bound(k)))
                    << round;
            }
        }
    }
}

// The mean the chance gain is weighed by, with its counts in 64 bits, is the plain mean's
// double, over ranges that hold whole windows, cut them, or lie far from every pair.
TEST_P(CellsAgree, MeanInSixtyFourBitsIsThePlainMean) {
    std::mt19937_64 rng(5000 + static_cast<int>(GetParam()));
    for (int round = 0; round < 200; ++round) {
        const Tables t = make(GetParam(), rng);
        const Prepared p(t);
        const Microseconds far = round % 10 == 0 ? Microseconds{1} << 50 : 0;
        const Microseconds lo = far - static_cast<Microseconds>(rng() % 20000000);
        const Microseconds hi = lo + static_cast<Microseconds>(rng() % 30000000);
        double got = -1.0;
        double due = -2.0;
        corvela::WorkMeter meter;
        ASSERT_TRUE(corvela::mean_overlap(p.index, p.edges.data(), p.edges.size(),
                                          t.c_other_us.data(), lo, hi, meter, &got));
        ASSERT_TRUE(corvela::mean_overlap(p.index, p.edges.data(), p.edges.size(),
                                          t.c_other_us.data(), lo, hi, meter, &due, true));
        EXPECT_EQ(bits(got), bits(due)) << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CellsAgree,
                         ::testing::Values(Shape::Film, Shape::Periodic, Shape::Narrow,
                                           Shape::Mixed, Shape::Stacked));

TEST(CellCurve, BuildsFewCellsOfAFilm) {
    std::mt19937_64 rng(7);
    Tables t;
    for (int film = 0; t.c_base.size() < 2 * 800; ++film) {
        t = make(Shape::Film, rng);
        std::vector<double> more = t.c_base;
        // Longer than the generator makes at once: the film again and again.
        while (t.c_base.size() < 2 * 800) {
            const double shift = t.c_base.back() + 2.0;
            for (std::size_t j = 0; j < more.size(); ++j) {
                t.c_base.push_back(more[j] + shift);
            }
        }
    }
    t.c_other_us.clear();
    for (const double bound : t.c_base) {
        t.c_other_us.push_back(static_cast<Microseconds>(bound * 1e6) + 3700000);
    }
    corvela::CellCurve cells;
    corvela::OffsetCurve whole;
    const Prepared p(t);
    corvela::WorkMeter meter;
    ASSERT_TRUE(built(t, p, -600000000, 600000000, meter, cells, whole));
    EXPECT_EQ(bits(cells.maximum()), bits(whole.maximum()));
    EXPECT_LT(cells.built_cells() * 100, cells.cell_count());  // under 1 %
}

}  // namespace
