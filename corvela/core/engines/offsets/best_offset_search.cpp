// The search over factors and offsets, and the coverages of its choice.
#include "best_offset_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cell_curve.hpp"
#include "engine_array.hpp"
#include "exact_scaling.hpp"
#include "meeting_pairs.hpp"
#include "nan_and_infinity.hpp"
#include "offset_curve.hpp"
#include "offset_scan.hpp"
#include "start_order.hpp"

namespace corvela {

namespace {

using Unsigned = unsigned __int128;

// What one factor's curve gives.
struct FactorBest {
    double maximum;
    Microseconds plateau_start;
    Microseconds plateau_end;
    bool has_runner_up;
    Microseconds runner_up;
};

// Sign of a * b - 1 for finite a, b > 0, exactly: a * b = ma * mb * 2**(ea + eb).
int compare_product_with_one(double a, double b) noexcept {
    int ea = 0;
    int eb = 0;
    const auto ma = static_cast<std::uint64_t>(std::ldexp(std::frexp(a, &ea), 53));
    const auto mb = static_cast<std::uint64_t>(std::ldexp(std::frexp(b, &eb), 53));
    const Unsigned product = Unsigned{ma} * mb;  // below 2**106
    const int power = (ea - 53) + (eb - 53);
    if (power >= 0) {
        return 1;  // product >= 2**104
    }
    if (-power >= 127) {
        return -1;
    }
    const Unsigned one = Unsigned{1} << -power;
    return product < one ? -1 : (product > one ? 1 : 0);
}

}  // namespace

// Scales every bound for every factor into scaled (factor-major) and checks the shifted range.
bool scale_tables(const OffsetSearch& s, Microseconds* scaled, OffsetChoice* choice) noexcept {
    const std::size_t bounds = 2 * s.other_len;
    for (std::size_t f = 0; f < s.factor_count; ++f) {
        Microseconds* out = scaled + f * bounds;
        for (std::size_t j = 0; j < bounds; ++j) {
            if (!scale_microseconds(s.c_other_us[j], s.factors[f], &out[j])) {
                choice->status = OffsetChoice::kScaledOutOfRange;
                choice->bad_bound = j;
                choice->bad_factor = f;
                return false;
            }
        }
        for (std::size_t j = 0; j < bounds; ++j) {
            const bool low = out[j] + s.lo < kMinMicroseconds;
            if (low || out[j] + s.hi > kMaxMicroseconds) {
                choice->status = OffsetChoice::kShiftedOutOfRange;
                choice->bad_bound = j;
                choice->bad_factor = f;
                choice->bad_value = out[j];
                choice->bad_low = low;
                return false;
            }
        }
    }
    return true;
}

namespace {

// A whole curve (OffsetCurve) or one built by cells (CellCurve): the same answers. The
// plateau of the maximum; the runner-up only when asked, as only the factor taken reports it.
template <class Curve>
FactorBest best_of_curve(Curve& curve, Microseconds separation, bool runner_up) {
    FactorBest best{};
    best.maximum = curve.maximum();
    curve.first_run_above(best.maximum - tolerance_of(best.maximum), &best.plateau_start,
                          &best.plateau_end);
    double value = 0.0;
    best.has_runner_up = runner_up && curve.best_outside(best.plateau_start - separation,
                                                         best.plateau_end + separation,
                                                         &best.runner_up, &value);
    return best;
}

// The first of the factors nearest 1.
std::size_t nearest_one(const OffsetSearch& s) noexcept {
    std::size_t nearest = 0;
    for (std::size_t f = 1; f < s.factor_count; ++f) {
        if (nearer_one(s.factors[f], s.factors[nearest])) {
            nearest = f;
        }
    }
    return nearest;
}

// C of the factor nearest 1, from its curve and the curve's mean: how far it rises above its
// mean away from its peak.
template <class Curve>
double chance_gain(Curve& curve, const FactorBest& best, double mean) {
    Microseconds left = curve.lo() - 1;  // empty sides unless the curve comes down to its mean
    Microseconds right = curve.hi() + 1;
    curve.nearest_at_most(best.plateau_start - 1, -1, mean, &left);
    curve.nearest_at_most(best.plateau_end + 1, 1, mean, &right);
    Microseconds at = 0;
    double value = 0.0;
    if (!curve.best_outside(left, right, &at, &value)) {
        return 0.0;  // W never leaves its peak: flat within the tolerance, or all plateau
    }
    return value - mean;
}

// The factor taken: the highest maximum among those that take part (all of them, or with
// factor evidence the one nearest 1 and those above `bar`), ties within the tolerance to the
// factor nearest 1, then to the first.
std::size_t chosen_factor(const OffsetSearch& s, const FactorBest* bests, std::size_t nearest,
                          double bar) noexcept {
    const auto takes_part = [&](std::size_t f) { return f == nearest || bests[f].maximum > bar; };
    double highest = bests[nearest].maximum;
    for (std::size_t f = 0; f < s.factor_count; ++f) {
        if (takes_part(f)) {
            highest = std::max(highest, bests[f].maximum);
        }
    }
    const double floor = highest - tolerance_of(highest);
    std::size_t chosen = s.factor_count;
    for (std::size_t f = 0; f < s.factor_count; ++f) {
        if (takes_part(f) && bests[f].maximum >= floor &&
            (chosen == s.factor_count || nearer_one(s.factors[f], s.factors[chosen]))) {
            chosen = f;
        }
    }
    return chosen;
}

}  // namespace

Microseconds middle(Microseconds first, Microseconds last) noexcept {
    const Microseconds sum = first + last;
    const Microseconds down = sum >> 1;  // floor
    if ((sum & 1) == 0) {
        return down;
    }
    return (down & 1) == 0 ? down : down + 1;
}

double tolerance_of(double maximum) noexcept {
    return 1e-3 + 1e-12 * std::fabs(maximum);
}

SpeechFault check_speech(const double* c_base, std::size_t base_len, double base_total,
                         std::size_t* bad_bound) noexcept {
    for (std::size_t j = 0; j < 2 * base_len; ++j) {
        if (!is_finite(c_base[j])) {
            *bad_bound = j;
            return SpeechFault::kBound;
        }
    }
    if (!(is_finite(base_total) && base_total > 0.0)) {
        return SpeechFault::kTotal;
    }
    return SpeechFault::kNone;
}

bool nearer_one(double a, double b) noexcept {
    if (a >= 1.0 && b >= 1.0) {
        return a < b;
    }
    if (a < 1.0 && b < 1.0) {
        return b < a;
    }
    if (a >= 1.0) {
        return compare_product_with_one(a, b) < 0;  // a < 1 / b
    }
    return compare_product_with_one(a, b) > 0;  // 1 / a < b
}

void search_best_offset(const OffsetSearch& s, OffsetChoice* choice, StopCheck* check) {
    choice->status = OffsetChoice::kNoMemory;
    const std::size_t bounds = 2 * s.other_len;
    if (s.other_len > UINT32_MAX) {
        return;  // the start order holds 32-bit row numbers
    }
    // Every size is known before the search begins: running out of memory is a status, never
    // an exception.
    EngineArray<Microseconds> scaled;
    if (!scaled.allocate(s.factor_count * bounds)) {
        return;
    }
    if (!scale_tables(s, scaled.data(), choice)) {
        return;
    }
    // Scaling by a factor above zero keeps the start order, so one sort serves them all.
    EngineArray<std::uint32_t> order;
    if (!order.allocate(s.other_len) || !start_order(s.c_other_us, s.other_len, order.data())) {
        return;
    }
    EngineArray<SpeechEdge> edges;
    EngineArray<FactorBest> bests;
    if (!edges.allocate(s.base_len) || !bests.allocate(s.factor_count)) {
        return;
    }
    speech_edges(s.c_base, s.base_len, edges.data());
    // Many pairs are searched by cells, the exact curve only where an answer can lie; decided
    // on the first factor's pairs.
    bool by_cells = false;
    bool decided = s.whole_curve;
    OffsetCurve curve;
    CellCurve cells;
    pairs::PairIndex index;
    WorkMeter meter(check);
    const std::size_t nearest = nearest_one(s);
    double bar = -kInfinity;  // without factor evidence every factor takes part
    const auto failed = [&] {
        choice->status = meter.stopped() ? OffsetChoice::kStopped : OffsetChoice::kNoMemory;
    };
    // Each factor's maximum, and with factor evidence C of the factor nearest 1, which needs its
    // plateau; false on failure.
    const auto weigh = [&](auto& built, std::size_t f, const Microseconds* rows) {
        if (!(s.factor_evidence && f == nearest)) {
            bests[f].maximum = built.maximum();
            return true;
        }
        bests[f] = best_of_curve(built, s.separation, false);
        double mean = 0.0;
        if (!mean_overlap(index, edges.data(), s.base_len, rows, s.lo, s.hi, meter, &mean)) {
            return false;
        }
        choice->chance_gain = chance_gain(built, bests[f], mean);
        bar = bests[f].maximum + choice->chance_gain;
        return true;
    };
    // Builds the curve of factor f: by cells, or whole; false on failure.
    const auto build = [&](std::size_t f, bool weighed) {
        const Microseconds* rows = scaled.data() + f * bounds;
        if (meter.charge(bounds) || !index.prepare(rows, s.other_len, order.data())) {
            return false;
        }
        if (!decided) {
            std::size_t pairs = 0;
            if (!CellCurve::count_pairs(index, edges.data(), s.base_len, rows, s.lo, s.hi, meter,
                                        &pairs)) {
                return false;
            }
            by_cells = CellCurve::pays(s.lo, s.hi, s.base_len, pairs);
            decided = true;
        }
        return by_cells ? cells.build(index, edges.data(), s.base_len, rows, s.lo, s.hi, meter) &&
                              (!weighed || (weigh(cells, f, rows) && cells.ok()))
                        : curve.build(index, edges.data(), s.base_len, rows, s.lo, s.hi, meter) &&
                              (!weighed || weigh(curve, f, rows));
    };
    for (std::size_t f = 0; f < s.factor_count; ++f) {
        if (!build(f, true)) {
            failed();
            return;
        }
    }
    // The plateau and runner-up of the factor taken, its curve built again unless it was last.
    const std::size_t chosen = chosen_factor(s, bests.data(), nearest, bar);
    if (chosen + 1 != s.factor_count && !build(chosen, false)) {
        failed();
        return;
    }
    bests[chosen] = by_cells ? best_of_curve(cells, s.separation, true)
                             : best_of_curve(curve, s.separation, true);
    if (by_cells && !cells.ok()) {
        failed();
        return;
    }
    const FactorBest& best = bests[chosen];
    choice->factor_index = chosen;
    choice->plateau_start = best.plateau_start;
    choice->plateau_end = best.plateau_end;
    choice->offset = middle(best.plateau_start, best.plateau_end);
    choice->has_runner_up = best.has_runner_up;
    choice->runner_up = best.runner_up;
    const Microseconds offsets[2] = {choice->offset, best.runner_up};
    double coverages[2] = {0.0, 0.0};
    EngineArray<double> work;
    if (!work.allocate(scan_work_doubles(s.other_len))) {
        return;
    }
    const OffsetTables scan{s.c_base, s.base_len, s.base_total, scaled.data() + chosen * bounds,
                         s.other_len};
    scan_offsets(scan, offsets, best.has_runner_up ? 2 : 1, work.data(), coverages, nullptr);
    choice->coverage = coverages[0];
    choice->runner_up_coverage = coverages[1];
    choice->status = OffsetChoice::kFound;
}

}  // namespace corvela
