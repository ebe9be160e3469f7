// The pairs of a speech row and a subtitle row that can meet at some offset of a range, found
// without looking at every pair: what the offset curve (offset_curve.cpp) and the bounds of its
// cells (cell_curve.cpp) are built from.
#ifndef CORVELA_CORE_MEETING_PAIRS_HPP
#define CORVELA_CORE_MEETING_PAIRS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"
#include "exact_seconds.hpp"
#include "offset_curve.hpp"
#include "stop_check.hpp"

namespace corvela {
namespace pairs {

// The least whole microsecond at or above a scaled bound.
inline Microseconds ceiling(const ScaledBound& b) noexcept {
    return b.whole ? b.floor : b.floor + 1;
}

// One linear piece of an amount: whole + slope * t microseconds, plus fraction units; the
// whole part in Int (Microseconds, or 64 bits where every bound fits them).
template <class Int>
struct BasicPiece {
    Int whole;
    std::int64_t slope;
    std::int64_t fraction;
};
using Piece = BasicPiece<Microseconds>;

// The piece of a pair's amount, min(be, y) - max(bs, x), that holds at t, with the subtitle
// row [os, oe] and the first offsets at which y >= be and x >= bs.
template <class Int>
BasicPiece<Int> piece_at(const SpeechEdge& edge, Int os, Int oe, Int end_kink, Int start_kink,
                         Int t) noexcept {
    BasicPiece<Int> p{0, 0, 0};
    if (t >= end_kink) {
        p.whole += static_cast<Int>(edge.end.floor);
        p.fraction += edge.end.fraction;
    } else {
        p.whole += oe;
        p.slope += 1;
    }
    if (t >= start_kink) {
        p.whole -= os;
        p.slope -= 1;
    } else {
        p.whole -= static_cast<Int>(edge.start.floor);
        p.fraction -= edge.start.fraction;
    }
    return p;
}

// The amount of a pair at t as its two pieces, min(be, y) and -max(bs, x), summed.
struct PairPieces {
    const SpeechEdge& edge;
    Microseconds os;
    Microseconds oe;
    Microseconds end_kink;    // first t with y >= be
    Microseconds start_kink;  // first t with x >= bs
    std::uint32_t row;        // the subtitle row

    Piece at(Microseconds t) const noexcept {
        return piece_at(edge, os, oe, end_kink, start_kink, t);
    }
};

// Subtitle rows are grouped by length class: class 0 holds the rows no longer than zero, class c
// those of length 2**(c - 1) up to 2**c - 1 microseconds. Within a class no row is twice as
// long as another, so a window of starts widened by the class's longest length holds few rows
// that miss, whatever the spread of lengths over the file: no row is looked at for every speech
// row because it is long.
constexpr std::size_t kLengthClasses = 70;  // lengths below 2**69 us: timedelta's range

inline std::size_t length_class(Microseconds length) noexcept {
    std::size_t c = 0;
    for (; length > 0; length >>= 1) {
        ++c;
    }
    return c;
}

// The pairs whose window meets [lo, hi], each with its first and last offset there. A pair
// meets the range only if oe + hi >= N(bs) and os + lo <= M(be). For the rows of a class whose
// longest is L, oe <= os + L, so only those whose start lies in [N(bs) - hi - L, M(be) - lo]
// are looked at.
struct MeetingPairs {
    const SpeechEdge* edges;
    std::size_t base_len;
    const Microseconds* c_other_us;
    const std::uint32_t* rows;       // by class, then nondecreasing start
    const Microseconds* starts;      // their starts
    const std::size_t* class_first;  // class c's rows: [class_first[c], class_first[c + 1])
    const Microseconds* longest;     // of each class (0 for class 0)
    const std::size_t* classes;      // the classes that hold rows
    std::size_t class_count;
    Microseconds lo;
    Microseconds hi;

    // Calls visit(r, from, to) for speech row r and each class's run [from, to) of positions
    // in `rows` whose subtitle rows may meet it in the range: all that do, and a few that do
    // not; with a `stride` above 1, for every stride-th speech row only. False when `meter`
    // says stop, charged for the pairs looked at.
    template <class Visit>
    bool each_run(Visit&& visit, WorkMeter& meter, std::size_t stride = 1) const {
        for (std::size_t r = 0; r < base_len; r += stride) {
            const SpeechEdge& edge = edges[r];
            std::size_t looked_at = 1;
            for (std::size_t n = 0; n < class_count; ++n) {
                const std::size_t c = classes[n];
                const Microseconds* end = starts + class_first[c + 1];
                const Microseconds* from =
                    std::lower_bound(starts + class_first[c], end,
                                     edge.first_after_start - hi - longest[c]);
                const Microseconds* to = std::upper_bound(from, end, edge.last_before_end - lo);
                visit(r, static_cast<std::size_t>(from - starts),
                      static_cast<std::size_t>(to - starts));
                looked_at += static_cast<std::size_t>(to - from) + 1;
            }
            if (meter.charge(looked_at)) {
                return false;
            }
        }
        return true;
    }

    // Calls visit(r, j) for every subtitle row j of those runs.
    template <class Visit>
    bool each_candidate(Visit&& visit, WorkMeter& meter) const {
        return each_run(
            [&](std::size_t r, std::size_t from, std::size_t to) {
                for (std::size_t k = from; k != to; ++k) {
                    visit(r, rows[k]);
                }
            },
            meter);
    }

    // Calls visit(pair, first, last) for every pair that meets in the range, with the first
    // and last offset of the range at which it does.
    template <class Visit>
    bool visit(Visit&& visit, WorkMeter& meter) const {
        return each_candidate(
            [&](std::size_t r, std::uint32_t j) {
                const SpeechEdge& edge = edges[r];
                const Microseconds os = c_other_us[2 * j];
                const Microseconds oe = c_other_us[2 * j + 1];
                const Microseconds first = std::max(edge.first_after_start - oe, lo);
                const Microseconds last = std::min(edge.last_before_end - os, hi);
                if (first <= last) {
                    visit(PairPieces{edge, os, oe, ceiling(edge.end) - oe,
                                     ceiling(edge.start) - os, j},
                          first, last);
                }
            },
            meter);
    }
};

// The subtitle rows by length class, each class in start order (MeetingPairs).
struct PairIndex {
    EngineArray<Microseconds> starts;
    EngineArray<std::uint32_t> rows;
    std::size_t class_first[kLengthClasses + 1] = {};
    Microseconds longest[kLengthClasses] = {};
    std::size_t classes[kLengthClasses] = {};
    std::size_t class_count = 0;

    // False when memory runs out.
    bool prepare(const Microseconds* c_other_us, std::size_t other_len,
                 const std::uint32_t* order) noexcept {
        if (!starts.allocate(other_len) || !rows.allocate(other_len)) {
            return false;
        }
        const auto length_of = [c_other_us](std::uint32_t j) {
            return c_other_us[2 * j + 1] - c_other_us[2 * j];
        };
        // A counting sort by class keeps the start order within each class.
        std::size_t count[kLengthClasses] = {};
        for (std::size_t j = 0; j < other_len; ++j) {
            ++count[length_class(length_of(static_cast<std::uint32_t>(j)))];
        }
        std::size_t next[kLengthClasses] = {};
        class_count = 0;
        for (std::size_t c = 0; c < kLengthClasses; ++c) {
            class_first[c + 1] = class_first[c] + count[c];
            next[c] = class_first[c];
            longest[c] = 0;
            if (count[c] > 0) {
                classes[class_count++] = c;
            }
        }
        for (std::size_t k = 0; k < other_len; ++k) {
            const std::uint32_t j = order[k];
            const Microseconds length = length_of(j);
            const std::size_t c = length_class(length);
            starts[next[c]] = c_other_us[2 * j];
            rows[next[c]++] = j;
            longest[c] = std::max(longest[c], length);
        }
        return true;
    }

    MeetingPairs pairs(const SpeechEdge* edges, std::size_t base_len,
                       const Microseconds* c_other_us, Microseconds lo,
                       Microseconds hi) const noexcept {
        return {edges,       base_len, c_other_us, rows.data(), starts.data(),
                class_first, longest,  classes,    class_count, lo,
                hi};
    }
};

}  // namespace pairs
}  // namespace corvela

#endif
