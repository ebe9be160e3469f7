// The best common shift of a subtitle table against the speech, over every whole microsecond of
// a range and a few scalings of the subtitle times.
//
// For each factor f, every subtitle bound is scaled as timedelta * f does (exact_scaling.hpp),
// and the overlap curve W_f(t) over [lo, hi] is built (offset_curve.hpp). Then, with the
// tolerance tol(W) = 1e-3 us + 1e-12 * |W| of overlap (1e-9 s plus a relative 1e-12):
//  1. The factor: the highest maximum M over the factors; among the factors whose maximum is
//     within tol(M) of M, the one nearest 1 (the least max(f, 1/f), compared exactly), then
//     the first. With factor evidence, only the factor nearest 1 (the first of those), r, and
//     the factors whose maximum exceeds M_r + C take part, where C is what a shift gains by
//     chance on this material: how far W_r rises above its mean mu once it has left its peak,
//         C = max{W_r(t) : t <= a or t >= b} - mu,
//     a the last microsecond before r's plateau and b the first after it with W_r <= mu
//     (C = 0 when W_r never comes down to mu on either side: a curve flat within the
//     tolerance, or a range that is all plateau, where a shift has nothing to gain). A factor's gain over r is
//     its better alignment plus what its own shift found by chance, so a gain within C is no
//     evidence of a different frame rate.
//  2. The plateau: the first run of consecutive microseconds on which W_f >= max W_f - tol.
//  3. The offset: the plateau's middle, (start + end) / 2 rounded to nearest, ties to even, as
//     timedelta division rounds.
//  4. The runner-up: the first microsecond with the greatest W_f among those at most
//     start - separation or at least end + separation, when there are any in [lo, hi].
//  5. The coverages at the offset and at the runner-up are those of the chain rule on the
//     scaled and shifted table, through the same kernel as the offset scan: match's bits.
// The curve's values carry only the rounding of their evaluation (a few units in the last place
// of W), so only a maximum within that of the tolerance's edge could come out otherwise than
// the exact curve puts it.
#ifndef CORVELA_CORE_BEST_OFFSET_SEARCH_HPP
#define CORVELA_CORE_BEST_OFFSET_SEARCH_HPP

#include <cstddef>

#include "exact_seconds.hpp"
#include "offset_tables.hpp"
#include "stop_check.hpp"

namespace corvela {

// The speech bounds finite, their total finite and above zero.
struct OffsetSearch : OffsetTables {
    const double* factors;  // finite, > 0
    std::size_t factor_count;
    Microseconds lo;  // lo <= hi
    Microseconds hi;
    Microseconds separation;  // >= 0
    bool factor_evidence;     // keep the factor nearest 1 unless another gains more than C
    bool whole_curve;         // build every curve whole, never by cells: the plain way, for tests
};

struct OffsetChoice {
    enum Status {
        kFound,
        kNoMemory,
        kStopped,            // the stop check said stop
        kScaledOutOfRange,   // bound `bad_bound` times factor `bad_factor` leaves timedelta's range
        kShiftedOutOfRange,  // that scaled bound (bad_value) plus lo (bad_low) or hi does
    };
    Status status = kNoMemory;
    std::size_t factor_index = 0;
    Microseconds offset = 0;
    Microseconds plateau_start = 0;
    Microseconds plateau_end = 0;
    double coverage = 0.0;
    bool has_runner_up = false;
    Microseconds runner_up = 0;
    double runner_up_coverage = 0.0;
    double chance_gain = 0.0;  // C, in microseconds of overlap, with factor evidence
    // Where a range failure lies: bound index 2 * row + item, the factor, the scaled value.
    std::size_t bad_bound = 0;
    std::size_t bad_factor = 0;
    Microseconds bad_value = 0;
    bool bad_low = false;
};

// Speech input the curve cannot order offsets on: a bound that is not finite (its index, 2 *
// row + item, in *bad_bound), or a total that is not finite and above zero.
enum class SpeechFault { kNone, kBound, kTotal };
SpeechFault check_speech(const double* c_base, std::size_t base_len, double base_total,
                         std::size_t* bad_bound) noexcept;

// True when a is nearer 1 than b: max(a, 1/a) < max(b, 1/b), exactly; a, b finite and > 0.
bool nearer_one(double a, double b) noexcept;

// The tolerance of a maximum W, in microseconds of overlap: 1e-3 + 1e-12 * |W|.
double tolerance_of(double maximum) noexcept;

// (first + last) / 2 rounded to nearest, ties to even, as timedelta division rounds.
Microseconds middle(Microseconds first, Microseconds last) noexcept;

// Every subtitle bound times every factor into `scaled` (factor-major), checked with lo and hi
// against timedelta's range; false, with the failure in *choice, at the first that leaves it.
bool scale_tables(const OffsetSearch& search, Microseconds* scaled, OffsetChoice* choice) noexcept;

// The whole search, without the interpreter. Checks every scaled and shifted bound against
// timedelta's range first (in factor order, then row order), before any curve is built. Asks
// `check` (may be null) as the curves are built.
void search_best_offset(const OffsetSearch& search, OffsetChoice* choice, StopCheck* check);

}  // namespace corvela

#endif
