// Kernel benchmarks of the overlap engines on native tables, no interpreter involved.
//
// Names read engine/shape/<speech rows>x<subtitle rows>. Engines:
//   pair_loop - the reference double loop
//   index    - the indexed engine on its own
//   sweep    - the sweep engine on its own (sorting the subtitles first when they need it)
//   dispatch - overlap_ratio, what `match` runs (the pair loop, index or sweep, whichever should be
//              fastest)
// The pair loop is left out where one call would take longer than about ten seconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "coverage.hpp"
#include "overlap_index.hpp"
#include "overlap_sweep.hpp"

namespace {

using Rows = std::vector<double>;  // start, end, start, end, ...

enum class Shape {
    Realistic,
    RealisticShifted,
    OverlapNextShifted,
    Shuffled,
    SpeechShuffled,
    Overlapping,
    OneLongRow,
    AllOverlap
};

const char* name_of(Shape shape) {
    switch (shape) {
    case Shape::Realistic: return "realistic";
    case Shape::RealisticShifted: return "realistic_shifted";
    case Shape::OverlapNextShifted: return "overlap_next_shifted";
    case Shape::SpeechShuffled: return "speech_shuffled";
    case Shape::OneLongRow: return "one_long_row";
    case Shape::Shuffled: return "shuffled";
    case Shape::Overlapping: return "overlapping";
    case Shape::AllOverlap: return "all_overlap";
    }
    return "?";
}

// Speech segments or subtitles as they come from real audio: in order, 0.3 to 6 s long, with
// gaps of 0.1 to 3 s. The two sides are drawn independently over about the same time span.
Rows realistic(std::mt19937_64& rng, std::size_t rows, double span_per_row) {
    std::uniform_real_distribution<double> gap(0.1, 3.0);
    std::uniform_real_distribution<double> len(0.3, 6.0);
    Rows out;
    out.reserve(2 * rows);
    double t = 0.0;
    const double scale = span_per_row / 4.6;  // mean gap + mean length is about 4.6 s
    for (std::size_t i = 0; i < rows; ++i) {
        t += gap(rng) * scale;
        const double l = len(rng) * scale;
        out.push_back(t);
        out.push_back(t + l);
        t += l;
    }
    return out;
}

void shuffle_rows(std::mt19937_64& rng, Rows& rows) {
    for (std::size_t i = rows.size() / 2; i > 1; --i) {
        const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng);
        std::swap(rows[2 * (i - 1)], rows[2 * j]);
        std::swap(rows[2 * (i - 1) + 1], rows[2 * j + 1]);
    }
}

struct Tables {
    Rows base;
    std::vector<Rows> others;  // the subtitle table, or several shifted copies of it
    double base_total = 0.0;
};

// Callers try one candidate shift per call: the same subtitles moved by a few seconds. Timing
// one table over and over lets the branch predictor learn its outcomes (on this machine it does
// so up to about 10^4 rows), which no real sequence of calls allows; cycling through shifted
// copies keeps it from doing so.
constexpr int kShifts = 8;

Tables make(Shape shape, std::size_t n, std::size_t m) {
    std::mt19937_64 rng(n * 1000003u + m * 31u + static_cast<unsigned>(shape));
    Tables t;
    Rows other;
    switch (shape) {
    case Shape::Realistic:
    case Shape::RealisticShifted:
    case Shape::OverlapNextShifted:
    case Shape::Shuffled:
    case Shape::SpeechShuffled:
    case Shape::OneLongRow: {
        // Both sides cover the same stretch of time, whatever their row counts.
        t.base = realistic(rng, n, 4.6);
        other = realistic(rng, m, 4.6 * static_cast<double>(n) / static_cast<double>(m));
        if (shape == Shape::Shuffled || shape == Shape::SpeechShuffled) {
            shuffle_rows(rng, t.base);
        }
        if (shape == Shape::Shuffled) {
            shuffle_rows(rng, other);
        }
        if (shape == Shape::OverlapNextShifted) {
            // About one subtitle in six runs on past the start of the next one, as quick
            // exchanges of dialogue do.
            std::uniform_real_distribution<double> coin(0.0, 1.0);
            for (std::size_t i = 0; i + 1 < m; ++i) {
                if (coin(rng) < 0.16) {
                    other[2 * i + 1] = other[2 * (i + 1)] + 0.5 * (other[2 * (i + 1) + 1] - other[2 * (i + 1)]);
                }
            }
        }
        if (shape == Shape::OneLongRow && m > 0) {
            // One subtitle shown from the first to the last, such as a title kept on screen:
            // it holds back every sweep past it.
            other[1] = other[2 * m - 1];
        }
        break;
    }
    case Shape::Overlapping: {
        // Subtitles 20 to 60 s long, one starting every 4.6 s when both sides have as many
        // rows: each speech row meets about ten of them.
        t.base = realistic(rng, n, 4.6);
        const double span = 4.6 * static_cast<double>(n);
        std::uniform_real_distribution<double> len(20.0, 60.0);
        double s = 0.0;
        const double step = span / static_cast<double>(m);
        for (std::size_t i = 0; i < m; ++i) {
            s += step;
            other.push_back(s);
            other.push_back(s + len(rng));
        }
        break;
    }
    case Shape::AllOverlap: {
        std::uniform_real_distribution<double> inner(40.0, 60.0);
        std::uniform_real_distribution<double> outer(0.0, 40.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double a = inner(rng);
            const double b = inner(rng);
            t.base.push_back(std::min(a, b));
            t.base.push_back(std::max(a, b));
        }
        for (std::size_t i = 0; i < m; ++i) {
            other.push_back(outer(rng));
            other.push_back(100.0 - outer(rng));
        }
        break;
    }
    }
    if (shape == Shape::RealisticShifted || shape == Shape::OverlapNextShifted) {
        std::uniform_real_distribution<double> shift(-30.0, 30.0);
        for (int k = 0; k < kShifts; ++k) {
            const double by = shift(rng);
            Rows moved = other;
            for (double& bound : moved) {
                bound = bound + by;
            }
            t.others.push_back(std::move(moved));
        }
    } else {
        t.others.push_back(std::move(other));
    }
    for (std::size_t i = 0; i < n; ++i) {
        t.base_total = t.base_total + (t.base[2 * i + 1] - t.base[2 * i]);
    }
    return t;
}

const Tables& tables(Shape shape, std::size_t n, std::size_t m) {
    static std::map<std::tuple<int, std::size_t, std::size_t>, Tables> cache;
    const auto key = std::make_tuple(static_cast<int>(shape), n, m);
    auto it = cache.find(key);
    if (it == cache.end()) {
        it = cache.emplace(key, make(shape, n, m)).first;
    }
    return it->second;
}

enum class Engine { PairLoop, Index, Sweep, Dispatch };

void run(benchmark::State& state, Engine engine, Shape shape, std::size_t n, std::size_t m) {
    const Tables& t = tables(shape, n, m);
    std::size_t call = 0;
    for (auto _ : state) {
        const Rows& other = t.others[call++ % t.others.size()];
        double result = 0.0;
        switch (engine) {
        case Engine::PairLoop:
            result = corvela::overlap_ratio_pairs(t.base.data(), n, other.data(), m, t.base_total);
            break;
        case Engine::Index:
            if (!corvela::overlap_ratio_index(t.base.data(), n, other.data(), m, t.base_total,
                                              &result)) {
                state.SkipWithError("index memory unavailable");
            }
            break;
        case Engine::Sweep:
            if (!corvela::overlap_ratio_sweep(t.base.data(), n, other.data(), m, t.base_total,
                                              &result)) {
                state.SkipWithError("sweep memory unavailable");
            }
            break;
        case Engine::Dispatch:
            result = corvela::overlap_ratio(t.base.data(), n, other.data(), m, t.base_total);
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.counters["pairs"] = static_cast<double>(n) * static_cast<double>(m);
}

void add(Shape shape, std::size_t n, std::size_t m) {
    const double pairs = static_cast<double>(n) * static_cast<double>(m);
    const std::string size = std::to_string(n) + "x" + std::to_string(m);
    const std::pair<Engine, const char*> engines[] = {
        {Engine::PairLoop, "pair_loop"}, {Engine::Index, "index"}, {Engine::Sweep, "sweep"},
        {Engine::Dispatch, "dispatch"}};
    for (const auto& [engine, label] : engines) {
        // About 1 ns per pair: above 10^10 pairs one pair-loop call alone takes ten seconds.
        if (engine == Engine::PairLoop && pairs > 1.01e10) {
            continue;
        }
        auto* b = benchmark::RegisterBenchmark(
            (std::string(label) + "/" + name_of(shape) + "/" + size).c_str(),
            [=](benchmark::State& state) { run(state, engine, shape, n, m); });
        b->Unit(benchmark::kMicrosecond);
        // The fastest repetition is the one least disturbed by other work on the machine.
        b->ComputeStatistics("min", [](const std::vector<double>& v) {
            return *std::min_element(v.begin(), v.end());
        });
        if (pairs >= 1e9 && engine == Engine::PairLoop) {
            b->Iterations(1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Tiny inputs, where building any index costs more than the whole pair loop.
    for (std::size_t n : {1, 2, 4, 8, 16, 32}) {
        add(Shape::Realistic, n, n);
    }
    add(Shape::AllOverlap, 4, 4);
    add(Shape::AllOverlap, 16, 16);
    // Few speech rows against many subtitles: building the index must pay for itself.
    for (std::size_t n : {4, 16, 64, 256}) {
        add(Shape::Realistic, n, 100000);
        add(Shape::Shuffled, n, 100000);
    }
    // Sizes 10 to 10^6 per side, the typical 2,000 x 1,500, and a doubling series for scaling.
    for (std::size_t n : {10, 100, 1000}) {
        add(Shape::Realistic, n, n);
    }
    for (const Shape shape : {Shape::Realistic, Shape::RealisticShifted}) {
        add(shape, 2000, 1500);
        for (std::size_t n = 10000; n <= 1280000; n *= 2) {
            add(shape, n, n);
        }
        add(shape, 100000, 100000);
        add(shape, 1000000, 1000000);
    }
    for (std::size_t n : {10, 100, 1000}) {
        add(Shape::RealisticShifted, n, n);
    }
    for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{100000}, std::size_t{1000000}}) {
        add(Shape::Shuffled, n, n);
    }
    add(Shape::Shuffled, 2000, 1500);
    add(Shape::Shuffled, 10000, 10000);
    for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{10000}, std::size_t{100000}, std::size_t{1000000}}) {
        add(Shape::Overlapping, n, n);
    }
    add(Shape::Overlapping, 2000, 1500);
    for (std::size_t n : {10, 100, 1000, 10000}) {
        add(Shape::AllOverlap, n, n);
    }
    add(Shape::AllOverlap, 2000, 1500);
    // Shapes that weigh the sweep against the index: subtitles that overlap their successor,
    // speech out of order, and one subtitle that holds the sweep back.
    for (const Shape shape : {Shape::OverlapNextShifted, Shape::SpeechShuffled, Shape::OneLongRow}) {
        add(shape, 2000, 1500);
        for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{10000}, std::size_t{100000}}) {
            add(shape, n, n);
        }
    }
    add(Shape::SpeechShuffled, 1000000, 1000000);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
