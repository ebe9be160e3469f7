// Coverage of speech time by subtitles: the body of `match` and the overlap ratio.
//
// Exactness contract of the overlap ratio (every engine below must honour it):
//  1. Arithmetic is IEEE-754 binary64, round to nearest even; each subtraction, each addition
//     and the final division is rounded on its own. Nothing is reordered, fused (the build uses
//     -ffp-contract=off) or rewritten on the assumption that no NaN or infinity occurs.
//  2. For each pair (speech row, subtitle row), in speech-major row order, the first rule that
//     holds decides what is added to `matched` (bs, be: speech bounds; os, oe: subtitle bounds):
//        bs > oe                          -> nothing
//        os > be                          -> nothing
//        os <= bs && be <= oe             -> be - bs
//        bs <= os && oe <= be             -> oe - os
//        os <= bs && bs <= oe && oe <= be -> oe - bs
//        bs <= os && os <= be && be <= oe -> be - os
//        otherwise (a NaN bound)          -> nothing
//     Every test is an ordered comparison, never the negation of its opposite, so a NaN bound
//     fails each one.
//  3. `matched` starts at +0.0 and each contribution is added as matched = matched + c.
//  4. The result is matched / base_total with no test for zero.
#ifndef CORVELA_CORE_COVERAGE_HPP
#define CORVELA_CORE_COVERAGE_HPP

#include <cstddef>

// The interpreter's object type, named without pulling in its headers so that the numeric
// layer builds and is tested without Python.
struct _object;

namespace corvela {

// Up to this many pairs the pair loop finishes before any other engine could even look at the
// tables: the engine choice and the offset scan leave such tables to it.
constexpr std::size_t kTinyPairs = 1024;

// True when the tables hold at most kTinyPairs pairs. Compares and one multiplication, which
// cannot wrap once both counts are at most kTinyPairs; a division would cost more than the sum
// of such a table.
constexpr bool tiny_tables(std::size_t base_len, std::size_t other_len) {
    return base_len == 0 || other_len == 0 ||
           (base_len <= kTinyPairs && other_len <= kTinyPairs && base_len * other_len <= kTinyPairs);
}

// The body of `match`: builds the interval tables from `base` (rows of numbers) and `other`
// (rows of objects with total_seconds()), and returns the overlap ratio. Any failure while the
// tables are built is reported through the interpreter and yields 0.0; no exception is left
// pending. Needs the interpreter lock.
double match(_object* base, _object* other);

// Overlap ratio of two filled interval tables (row r holds its start at [2r] and its end at
// [2r + 1]). Cannot fail and touches no interpreter object. speech_starts_in_order: the caller
// knows that every speech start is a number no smaller than the one before (false: not known),
// which spares the engine choice a look at the table.
double overlap_ratio(const double* c_base, std::size_t base_len, const double* c_other,
                     std::size_t other_len, double base_total, bool speech_starts_in_order = false);

// The plain double loop over every pair: the reference engine.
double overlap_ratio_pairs(const double* c_base, std::size_t base_len, const double* c_other,
                           std::size_t other_len, double base_total);

}  // namespace corvela

#endif
