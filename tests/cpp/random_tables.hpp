// Random interval tables of many shapes for the differential tests of the overlap engines.
#ifndef CORVELA_TESTS_RANDOM_TABLES_HPP
#define CORVELA_TESTS_RANDOM_TABLES_HPP

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "table_helpers.hpp"

namespace corvela_test {

using Rows = std::vector<double>;  // start, end, start, end, ...

inline double total_of(const Rows& rows) {
    double total = 0.0;
    for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
        total = total + (rows[i + 1] - rows[i]);
    }
    return total;
}

enum class Shape {
    Realistic,        // sorted segments with gaps, like speech and subtitles of real audio
    Shuffled,         // the same, rows in random order
    Nested,           // long subtitles overlapping and nesting one another
    AllOverlap,       // every subtitle covers every speech row
    Grid,             // small integers: duplicates, touching, zero-length and inverted rows
    IdenticalStarts,  // a handful of distinct starts
    Specials,         // NaN, infinities, signed zeros, huge and subnormal magnitudes mixed in
    LastBits,         // sums whose last bit depends on the order of the additions
};

inline const char* name_of(Shape shape) {
    switch (shape) {
    case Shape::Realistic: return "Realistic";
    case Shape::Shuffled: return "Shuffled";
    case Shape::Nested: return "Nested";
    case Shape::AllOverlap: return "AllOverlap";
    case Shape::Grid: return "Grid";
    case Shape::IdenticalStarts: return "IdenticalStarts";
    case Shape::Specials: return "Specials";
    case Shape::LastBits: return "LastBits";
    }
    return "?";
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool coin(double p) { return std::bernoulli_distribution(p)(rng_); }

    Rows realistic(std::size_t n) {
        Rows rows;
        double t = uniform(0.0, 5.0);
        for (std::size_t i = 0; i < n; ++i) {
            t += uniform(0.05, 3.0);
            const double len = uniform(0.2, 6.0);
            rows.push_back(t);
            rows.push_back(t + len);
            t += len;
        }
        return rows;
    }

    double special() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const double nan = std::nan("");
        static const double pool[] = {nan, inf, -inf, 0.0, -0.0, 1e308, -1e308, 5e-324, -5e-324,
                                      2.2250738585072014e-308, 0.1, 0.2, 0.3, 1e16, 1.0, 10.0};
        return pool[integer(0, sizeof pool / sizeof pool[0] - 1)];
    }

    Rows make(Shape shape, std::size_t n, bool speech) {
        Rows rows;
        switch (shape) {
        case Shape::Realistic:
            return realistic(n);
        case Shape::Shuffled:
            rows = realistic(n);
            shuffle_rows(rows);
            return rows;
        case Shape::Nested:
            for (std::size_t i = 0; i < n; ++i) {
                const double mid = uniform(0.0, 100.0);
                const double half = speech ? uniform(0.1, 3.0) : uniform(0.0, 40.0);
                rows.push_back(mid - half);
                rows.push_back(mid + half);
            }
            break;
        case Shape::AllOverlap:
            for (std::size_t i = 0; i < n; ++i) {
                rows.push_back(speech ? uniform(40.0, 50.0) : uniform(0.0, 40.0));
                rows.push_back(speech ? uniform(50.0, 60.0) : uniform(60.0, 100.0));
            }
            break;
        case Shape::Grid:
            for (std::size_t i = 0; i < 2 * n; ++i) {
                rows.push_back(integer(-3, 12));
            }
            break;
        case Shape::IdenticalStarts:
            for (std::size_t i = 0; i < n; ++i) {
                rows.push_back(integer(0, 3));
                rows.push_back(uniform(-1.0, 10.0));
            }
            break;
        case Shape::Specials:
            for (std::size_t i = 0; i < 2 * n; ++i) {
                rows.push_back(coin(0.3) ? special() : integer(-5, 15));
            }
            break;
        case Shape::LastBits:
            for (std::size_t i = 0; i < n; ++i) {
                static const double ends[] = {0.1, 0.2, 0.3, 0.7, 1e-17, 3e-16, 1e16, 1.0 / 3};
                const double end = ends[integer(0, 7)];
                rows.push_back(speech ? 0.0 : -end * integer(0, 1));
                rows.push_back(speech ? end * 3 : end);
            }
            break;
        }
        if (coin(0.5)) {
            sort_rows(rows);
        }
        return rows;
    }

    void shuffle_rows(Rows& rows) {
        for (std::size_t i = rows.size() / 2; i > 1; --i) {
            const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng_);
            std::swap(rows[2 * (i - 1)], rows[2 * j]);
            std::swap(rows[2 * (i - 1) + 1], rows[2 * j + 1]);
        }
    }

private:
    std::mt19937_64 rng_;
};

}  // namespace corvela_test

#endif
