// The best offset for each subtitle row when the offset may change along the film, at a price
// for every change.
//
// Rows are taken in start order (start_order.hpp: equal starts in row order), after scaling by
// the factor as timedelta * f does. Each row k gets an offset t_k, a whole number of
// microseconds in [lo, hi], such that no row starts before the one before it once both are
// shifted (s_{k-1} + t_{k-1} <= s_k + t_k). The score of an assignment is
//     sum over k of g_k(t_k)  -  P * (number of k with t_k != t_{k-1})
// where g_k is the offset curve of row k alone (offset_curve.hpp: match's tests of which pairs
// meet, the amounts in exact arithmetic) and P the split penalty. Each g_k is linear between
// whole-microsecond breakpoints, and every value is held exactly, as an integer count of
// 2**-40 us (the curve's fraction unit), so the best score is found exactly, without a grid:
//
//     B_k(t) = g_k(t) + max(B_{k+1}(t), max{B_{k+1}(u) : u >= t - (s_{k+1} - s_k)} - P)
//
// the best score of rows k.. with row k at t. A suffix maximum and a maximum of two piecewise
// linear functions are piecewise linear again, with breakpoints on whole microseconds, so each
// B_k is kept as a list of pieces. The second term is also what keeps the lists short: where
// B_{k+1} lies more than P below the best reachable value, the split replaces it.
//
// The order makes the lists long where it binds: from an offset far above the rows' own, the
// assignment can only come down by the gap between two starts a row, so B_k keeps a staircase
// of pieces there. Those offsets are dropped when no best assignment can pass through them: a
// first pass runs the recursion forwards without the order (cheap: the best after a change is
// one number), which gives the best that rows 0..k-1 add, whatever their offsets, and the best
// score without the order, U. The recursion then runs with a score L to reach: where B_k(t) plus
// that prefix bound stays below L, B_k(t) is replaced by a value below every score. If the best
// found reaches L it is the best, every assignment of that score kept; if not (most often every
// offset of some row is dropped within a few rows), the next try lowers L. L starts at U and
// steps down by quarters of a change. When every try falls short, the order costs many changes'
// worth (cheap changes, or subtitles that fit nowhere) and the bound without it is loose: the
// recursion is run forwards once more, with the order, keeping no list, which gives the best
// score itself and, for each row, the best that rows 0..k-1 add in order; with those, one last
// run drops most offsets at once. Should that run too fall short, nothing is dropped; with no
// penalty nothing is tried.
//
// Memory: every B_k is kept for the reading forwards, what the dropping leaves of it, so it
// grows with the rows times the pieces a list holds, which grows with the range searched (about
// 4 breakpoints for every speech row a subtitle row can meet in it): the window's, when one is
// proven (below), and the bound beyond it keeps one row's cells at a time. Where the row curves
// are large (`every_list_below`), only every 32nd B_k is kept, and those between two of them are
// made again from the later one when the reading gets there: one more run of the recursion, for
// about a sixteenth of the lists' memory.
//
// A wide range is searched a window at a time. The answer almost always keeps to offsets near
// the best common one, so the recursion runs first over [o - w, o + w], o the best common offset
// (best_offset_search.hpp) and w = `window`, then over eight times that, and is taken when a
// bound shows that every assignment with some row outside the window scores below the window's
// best: then the best assignments of the whole range are those of the window, and the reading
// and centring below, which look only at them, give what they give over the whole range. The
// bound is the recursion forwards, with the order, over three kinds of state: row k inside the
// window with no row outside it before, inside after some row outside it, and outside it, on
// cells of a quarter second. In a cell [a, b] a row adds at most
//     S(oe + b) - S(os + a) >= g_k(t), t in [a, b],
// S(x) the summed length of the speech up to x, each speech row moved out to whole microseconds
// and rows that end before they start left out (a pair adds at most its overlap of those bounds,
// cell_curve.hpp; S never falls), read from S sampled four times a cell, outward; an inverted
// subtitle row adds nothing there. Staying in a cell is free, and a change reaches every cell
// the order lets some offset of it reach. That costs a few steps a cell and row, against a list
// of pieces for every pair the recursion over the whole range keeps. A window is tried only when
// it is at most a quarter of the range, and bounded only when its answer keeps a sixteenth of
// its width from its edges; the states with no row outside yet first drop the order (a fraction
// of the cost, and enough unless the order binds), then keep it. When no window is proven (a
// change of offset further than the window pays, or comes within the cells' rounding of paying,
// or a segment's centring reaches the window's edge) the whole range is searched as before.
//
// Among assignments of the same exact score, the fewest changes win (the count rides along with
// each piece), then the earliest changes: the assignment is read forwards from row 0, changing
// offset as soon as a change keeps the best score and count, to the lowest offset that does.
// Then each run of equal offsets (a segment), in start order, moves to the middle of the run of
// offsets around its own that keep the score within best_offset's tolerance of the maximum
// (tolerance_of), while its neighbours stay and the order holds; the run stops short of a
// neighbour's offset, so the segments stay as they were.
#ifndef CORVELA_CORE_SEGMENT_SEARCH_HPP
#define CORVELA_CORE_SEGMENT_SEARCH_HPP

#include <cstddef>

#include "engine_array.hpp"
#include "exact_seconds.hpp"
#include "offset_tables.hpp"
#include "stop_check.hpp"

namespace corvela {

// The speech bounds finite, their total finite and above zero.
struct SegmentSearch : OffsetTables {
    double factor;   // finite, > 0
    Microseconds lo;  // lo <= hi
    Microseconds hi;
    double penalty;  // seconds of overlap per change of offset; >= 0, may be infinite
    // The recursion over every offset, none dropped: the same answer, slower; what the dropping
    // is checked against.
    bool plain = false;
    // Half the first window's width, for a range wider than the window (see above).
    Microseconds window = Microseconds{60} * 1000000;
    // Row curves of this many pieces or more (about 100 MB of them) keep the lists for the
    // reading forwards only for some rows, and make the others again (see below).
    std::size_t every_list_below = std::size_t{1} << 21;
};

// One run of equal offsets: start-order positions first to last.
struct SegmentRun {
    std::size_t first;
    std::size_t last;
    Microseconds offset;
};

struct SegmentChoice {
    enum Status {
        kFound,
        kNoMemory,
        kStopped,            // the stop check said stop
        kScaledOutOfRange,   // bound `bad_bound` times the factor leaves timedelta's range
        kShiftedOutOfRange,  // that scaled bound (bad_value) plus lo (bad_low) or hi does
        kTooLarge,           // overlaps too large to sum exactly in 128 bits
    };
    Status status = kNoMemory;
    EngineArray<Microseconds> offsets;  // one per subtitle row, in row order
    EngineArray<SegmentRun> segments;   // in start order
    std::size_t segment_count = 0;
    double score = 0.0;     // the best score, in seconds
    double coverage = 0.0;  // match on the scaled table shifted row by row
    std::size_t bad_bound = 0;
    Microseconds bad_value = 0;
    bool bad_low = false;
    bool windowed = false;  // found within a window of the range, and proven for all of it
};

// The whole search, without the interpreter; asks `check` (may be null) as it goes.
void search_segments(const SegmentSearch& search, SegmentChoice* choice, StopCheck* check);

}  // namespace corvela

#endif
