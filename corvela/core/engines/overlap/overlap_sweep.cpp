// The sweep engine; the method and its invariants are described in overlap_sweep.hpp.
#include "overlap_sweep.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "coverage.hpp"
#include "overlap_rule.hpp"
#include "start_search.hpp"

namespace corvela {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

inline bool is_nan(double value) { return value != value; }

// `value` when `keep`, else +0.0, through its bits: compilers turn a conditional expression on a
// comparison back into a branch, and multiplying by 0 or 1 would not keep an infinity or NaN.
inline double kept_or_zero(bool keep, double value) {
    std::uint64_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    raw &= std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    std::memcpy(&value, &raw, sizeof raw);
    return value;
}

// Positions are the rows themselves.
struct RowOrder {
    const double* c;
    double start(std::size_t j) const { return c[2 * j]; }
    double end(std::size_t j) const { return c[2 * j + 1]; }
};

// Position j is row order[j].
struct GivenOrder {
    const double* c;
    const std::uint32_t* order;
    double start(std::size_t j) const { return c[2 * std::size_t{order[j]}]; }
    double end(std::size_t j) const { return c[2 * std::size_t{order[j]} + 1]; }
};

// Steps that a cursor takes without a data-dependent branch; a longer move takes a loop.
constexpr std::size_t kStride = 3;

// First position from `from` on at which the nondecreasing predicate `below(j)` fails, below
// `len`. On real tables a speech row moves each bound by zero to three positions, a count no
// predictor learns: so the first kStride steps are counted, the monotone predicate making the
// count the move, and the loads of one count do not wait on one another. Only a longer move
// branches.
template <class Below>
std::size_t first_not_below(const Below& below, std::size_t len, std::size_t from) {
    while (len - from >= kStride) {
        std::size_t moved = 0;
        for (std::size_t t = 0; t < kStride; ++t) {
            moved += static_cast<std::size_t>(below(from + t));
        }
        from += moved;
        if (moved < kStride) {
            return from;
        }
    }
    while (from < len && below(from)) {
        ++from;
    }
    return from;
}

// Where one sweep stands; speech rows must come to it in nondecreasing start. Positions below
// `len` all have a number as start, and reach[j] is the largest end up to position j.
class Cursor {
public:
    // The window [*lo, *hi) of positions that can hold hits of the speech row (bs, be).
    template <class Table>
    void window(const Table& table, const double* reach, std::size_t len, double bs, double be,
                std::size_t* lo, std::size_t* hi) noexcept {
        const std::size_t p = started_;
        if (p == 0 || table.start(p - 1) <= be) {
            started_ = first_not_below([&](std::size_t j) { return table.start(j) <= be; }, len, p);
        } else {
            started_ = upper_bound_from([&](std::size_t j) { return table.start(j); }, len, be, p);
        }
        *hi = started_;
        if (bs >= lead_bs_) {
            lead_bs_ = bs;
            lead_ = first_not_below([=](std::size_t j) { return reach[j] < bs; }, len, lead_);
            *lo = lead_;
        } else {
            *lo = 0;  // out of order after all: no position can be passed over
        }
    }

private:
    std::size_t started_ = 0;   // positions whose start is <= the last be
    std::size_t lead_ = 0;      // every position below ends below lead_bs_
    double lead_bs_ = -kInf;    // largest speech start seen
};

// `matched` after the last two positions below a speech row's started count, rows p and p + 1 at
// `rows`, when no position before them can be a hit. Both starts are <= be, so a position is a
// hit exactly when oe >= bs; a miss adds +0.0, which leaves `matched` (never -0.0) as it was.
// The hits are added in row order, p first, each the rule chain's amount (qualifying_pair_overlap).
inline double add_last_two(const double* rows, double matched, double bs, double be) {
#if defined(__SSE2__)
    // Both positions at once: the same IEEE operations lane by lane. min_pd(a, b) and
    // max_pd(a, b) are a < b ? a : b and a > b ? a : b, as the scalar expressions are, and the
    // mask of an ordered comparison is false for a NaN end.
    const __m128d first = _mm_loadu_pd(rows);       // os, oe of row p
    const __m128d second = _mm_loadu_pd(rows + 2);  // os, oe of row p + 1
    const __m128d os = _mm_unpacklo_pd(first, second);
    const __m128d oe = _mm_unpackhi_pd(first, second);
    const __m128d speech_start = _mm_set1_pd(bs);
    const __m128d amount = _mm_sub_pd(_mm_min_pd(_mm_set1_pd(be), oe), _mm_max_pd(speech_start, os));
    const __m128d kept = _mm_and_pd(_mm_cmpge_pd(oe, speech_start), amount);
    matched = matched + _mm_cvtsd_f64(kept);
    return matched + _mm_cvtsd_f64(_mm_unpackhi_pd(kept, kept));
#else
    for (int k = 0; k < 2; ++k) {
        const double os = rows[2 * k];
        const double oe = rows[2 * k + 1];
        matched = matched + kept_or_zero(oe >= bs, qualifying_pair_overlap(bs, be, os, oe));
    }
    return matched;
#endif
}

// Insertion sort: a speech row rarely has more than a few hits.
void sort_rows(std::uint32_t* rows, std::size_t count) {
    if (count > 24) {
        std::sort(rows, rows + count);
        return;
    }
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint32_t row = rows[i];
        std::size_t j = i;
        for (; j > 0 && rows[j - 1] > row; --j) {
            rows[j] = rows[j - 1];
        }
        rows[j] = row;
    }
}

struct SortKey {
    double start;
    std::uint32_t row;
};

// Ties keep row order (-0.0 and +0.0 tie), NaN starts last.
bool before(const SortKey& a, const SortKey& b) {
    if (is_nan(b.start)) {
        return !is_nan(a.start) || a.row < b.row;
    }
    if (is_nan(a.start)) {
        return false;
    }
    return a.start < b.start || (!(b.start < a.start) && a.row < b.row);
}

}  // namespace

bool speech_in_start_order(const double* c_base, std::size_t base_len) noexcept {
    // Nearly every table passes the plain test: each start a number no smaller than the one
    // before. It carries nothing from row to row but the verdict, so it runs at the speed of the
    // loads. Its verdict is exact when it holds: the rows that can qualify are among these, so
    // their starts are in order too. A NaN bound among the rows fails it (a NaN start fails the
    // comparisons; a NaN end does not matter), and only then is the table looked at row by row.
    bool plain = true;
    for (std::size_t r = 1; r < base_len; ++r) {
        plain &= c_base[2 * r] >= c_base[2 * (r - 1)];
    }
    if (plain && (base_len == 0 || !is_nan(c_base[0]))) {
        return true;
    }
    double last = -kInf;
    bool ordered = true;
    for (std::size_t r = 0; r < base_len; ++r) {
        const double bs = c_base[2 * r];
        const double be = c_base[2 * r + 1];
        const bool number = !is_nan(bs) && !is_nan(be);
        ordered &= !(number & (bs < last));
        last = number ? bs : last;
    }
    return ordered;
}

OverlapSweep::~OverlapSweep() { std::free(block_); }

bool OverlapSweep::prepare(const double* c_base, std::size_t base_len, std::size_t other_len,
                           const std::uint32_t* order, SpeechOrder speech_order) noexcept {
    std::free(block_);
    block_ = nullptr;
    bytes_ = 0;
    reach_ = nullptr;
    order_ = hits_ = speech_ = windows_ = started_ = nullptr;
    c_base_ = c_base;
    base_len_ = base_len;
    other_len_ = other_len;
    constexpr std::size_t kRowLimit = std::numeric_limits<std::uint32_t>::max();
    if (other_len > kRowLimit || base_len > kRowLimit) {
        return false;
    }
    const bool speech_ordered =
        speech_order == SpeechOrder::kInOrder || speech_in_start_order(c_base, base_len);
    speech_kept_ = 0;
    if (!speech_ordered) {
        for (std::size_t r = 0; r < base_len; ++r) {
            speech_kept_ += static_cast<std::size_t>(!is_nan(c_base[2 * r]) && !is_nan(c_base[2 * r + 1]));
        }
    }
    std::size_t words = 2 * other_len;  // reach_
    if (order != nullptr) {
        words += 2 * other_len;  // order_, hits_
    }
    if (!speech_ordered) {
        words += speech_kept_ + 2 * base_len;  // speech_, windows_
    } else if (order == nullptr) {
        words += base_len;  // started_
    }
    SortKey* keys = nullptr;
    if (!speech_ordered) {
        keys = static_cast<SortKey*>(std::malloc(speech_kept_ * sizeof(SortKey)));
        if (keys == nullptr) {
            return false;
        }
    }
    block_ = std::malloc(words * sizeof(std::uint32_t));
    if (block_ == nullptr) {
        std::free(keys);
        return false;
    }
    bytes_ = words * sizeof(std::uint32_t);
    reach_ = static_cast<double*>(block_);
    std::uint32_t* next = reinterpret_cast<std::uint32_t*>(reach_ + other_len);
    if (order != nullptr) {
        order_ = next;
        hits_ = next + other_len;
        std::copy(order, order + other_len, order_);
        next += 2 * other_len;
    }
    if (speech_ordered && order == nullptr) {
        started_ = next;
    }
    if (!speech_ordered) {
        std::size_t k = 0;
        for (std::size_t r = 0; r < base_len; ++r) {
            const double bs = c_base[2 * r];
            if (!is_nan(bs) && !is_nan(c_base[2 * r + 1])) {
                keys[k].start = bs;
                keys[k].row = static_cast<std::uint32_t>(r);
                ++k;
            }
        }
        std::sort(keys, keys + k, before);
        speech_ = next;
        for (std::size_t i = 0; i < k; ++i) {
            speech_[i] = keys[i].row;
        }
        std::free(keys);
        // A row with a NaN bound keeps the empty window [0, 0).
        windows_ = speech_ + speech_kept_;
        std::fill(windows_, windows_ + 2 * base_len, 0u);
    }
    return true;
}

std::size_t OverlapSweep::fit(const double* c_other) noexcept {
    const auto check = [this](const auto& table) {
        double* reach = reach_;
        double last = -kInf;
        double widest = -kInf;
        std::size_t held = 0;
        std::size_t j = 0;
        for (; j < other_len_; ++j) {
            const double os = table.start(j);
            if (!(os >= last)) {
                break;
            }
            last = os;
            const double oe = table.end(j);
            held += static_cast<std::size_t>(oe < widest);
            widest = oe > widest ? oe : widest;  // a NaN end leaves it as it is
            reach[j] = widest;
        }
        held_ = held;
        const std::size_t started_len = j;
        for (; j < other_len_; ++j) {
            if (!is_nan(table.start(j))) {
                return kUnfit;
            }
        }
        return started_len;
    };
    return order_ == nullptr ? check(RowOrder{c_other}) : check(GivenOrder{c_other, order_});
}

double OverlapSweep::sum(const double* c_other) noexcept {
    const std::size_t started_len = fit(c_other);
    if (started_len == kUnfit) {
        return overlap_ratio_chain(c_base_, base_len_, c_other, other_len_, 1.0);
    }
    return sum_fitted(c_other, started_len);
}

template <class Table>
inline double OverlapSweep::add_window(const Table& table, double matched, double bs, double be,
                                       std::size_t lo, std::size_t hi) noexcept {
    if (order_ == nullptr) {
        if (hi <= lo + 2 && lo + 2 <= other_len_) {
            // The usual window, of at most two positions, without a branch: both positions are
            // put to the whole test (a position outside the window fails it), and one that is no
            // hit adds +0.0, which changes no bit of `matched` since it is never -0.0.
            for (std::size_t j = lo; j < lo + 2; ++j) {
                const double os = table.start(j);
                const double oe = table.end(j);
                const double amount = qualifying_pair_overlap(bs, be, os, oe);
                const bool hit = (os <= be) & (oe >= bs);
                matched = matched + kept_or_zero(hit, amount);
            }
            return matched;
        }
        for (std::size_t j = lo; j < hi; ++j) {
            const double oe = table.end(j);
            if (oe >= bs) {
                matched = matched + qualifying_pair_overlap(bs, be, table.start(j), oe);
            }
        }
        return matched;
    }
    std::size_t hits = 0;
    for (std::size_t j = lo; j < hi; ++j) {
        if (table.end(j) >= bs) {
            hits_[hits++] = order_[j];
        }
    }
    const double* c_other = table.c;
    if (hits * 16 > other_len_) {
        // Sorting this many hits would cost more than the plain row loop, which needs none.
        for (std::size_t dialog = 0; dialog < other_len_; ++dialog) {
            matched = add_pair_overlap(matched, bs, be, c_other[2 * dialog], c_other[2 * dialog + 1]);
        }
        return matched;
    }
    sort_rows(hits_, hits);
    for (std::size_t h = 0; h < hits; ++h) {
        const std::size_t dialog = hits_[h];
        matched = matched + qualifying_pair_overlap(bs, be, c_other[2 * dialog], c_other[2 * dialog + 1]);
    }
    return matched;
}

namespace {

// One stretch of speech rows on its way through the subtitle starts.
struct StartedCursor {
    std::size_t started;  // positions whose start is <= last_be
    double last_be;
};

// Moves `cursor` to speech row `speech` and notes its started count. A NaN end leaves the cursor
// where it was: that row has no hit, and the count noted for it is never read.
inline void advance(const RowOrder& table, std::size_t len, const double* c_base,
                    std::size_t speech, StartedCursor& cursor, std::uint32_t* started) {
    const double be = c_base[2 * speech + 1];
    if (be >= cursor.last_be) {
        cursor.started = first_not_below([&](std::size_t j) { return table.start(j) <= be; }, len,
                                         cursor.started);
        cursor.last_be = be;
    } else if (!is_nan(be)) {
        cursor.started =
            upper_bound_from([&](std::size_t j) { return table.start(j); }, len, be, cursor.started);
        cursor.last_be = be;
    }
    started[speech] = static_cast<std::uint32_t>(cursor.started);
}

// Stretches of speech rows whose cursors move side by side, at tables of this many rows and more.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kLanedRows = 64;

}  // namespace

double OverlapSweep::sum_in_row_order(const double* c_other, std::size_t started_len) const noexcept {
    const RowOrder table{c_other};
    const double* c_base = c_base_;
    const double* reach = reach_;
    const std::size_t len = started_len;
    const std::size_t rows = base_len_;
    std::uint32_t* started = started_;

    // First every speech row's started count. One cursor's moves wait on one another (each
    // compares loads at the place the last one left it), so the rows are cut into kLanes
    // stretches whose cursors move in one loop: their waits overlap. A cursor starts as if after
    // an end of +inf, every position started, so that its first row searches instead of walking.
    StartedCursor cursors[kLanes];
    const std::size_t lanes = rows >= kLanedRows ? kLanes : 1;
    const std::size_t stretch = rows / lanes;
    for (StartedCursor& cursor : cursors) {
        cursor = StartedCursor{len, kInf};
    }
    for (std::size_t i = 0; i < stretch; ++i) {
        for (std::size_t k = 0; k < lanes; ++k) {
            advance(table, len, c_base, k * stretch + i, cursors[k], started);
        }
    }
    for (std::size_t speech = lanes * stretch; speech < rows; ++speech) {
        advance(table, len, c_base, speech, cursors[lanes - 1], started);
    }

    // Then the sum, row by row.
    double matched = 0.0;
    for (std::size_t speech = 0; speech < rows; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        if (is_nan(bs) || is_nan(be)) {
            continue;  // every test against a NaN is false: no pair of this row qualifies
        }
        const std::size_t hi = started[speech];
        // Nearly always the hits are among the last two started positions, and the running
        // maximum of the ends before them, below bs, shows that nothing earlier is a hit: one
        // load, where a cursor kept over the ends would add a chain of loads to every row.
        if (hi >= 2 && (hi == 2 || reach[hi - 3] < bs)) {
            matched = add_last_two(c_other + 2 * (hi - 2), matched, bs, be);
            continue;
        }
        // Otherwise the window reaches down to the first position whose running maximum of the
        // ends is >= bs; it is found from the top, at a cost no larger than the window's.
        std::size_t lo = hi >= 3 ? hi - 3 : 0;
        while (lo > 0 && reach[lo - 1] >= bs) {
            --lo;
        }
        for (std::size_t j = lo; j < hi; ++j) {
            const double oe = table.end(j);
            if (oe >= bs) {
                matched = matched + qualifying_pair_overlap(bs, be, table.start(j), oe);
            }
        }
    }
    return matched;
}

double OverlapSweep::sum_fitted(const double* c_other, std::size_t started_len) noexcept {
    if (order_ == nullptr && speech_ == nullptr) {
        return sum_in_row_order(c_other, started_len);
    }
    const auto run = [&](const auto& table) {
        double matched = 0.0;
        Cursor cursor;
        std::size_t lo = 0;
        std::size_t hi = 0;
        const double* c_base = c_base_;
        if (speech_ == nullptr) {
            for (std::size_t speech = 0; speech < base_len_; ++speech) {
                const double bs = c_base[2 * speech];
                const double be = c_base[2 * speech + 1];
                if (is_nan(bs) || is_nan(be)) {
                    continue;  // every test against a NaN is false: no pair of this row qualifies
                }
                cursor.window(table, reach_, started_len, bs, be, &lo, &hi);
                matched = add_window(table, matched, bs, be, lo, hi);
            }
            return matched;
        }
        for (std::size_t k = 0; k < speech_kept_; ++k) {
            const std::size_t speech = speech_[k];
            cursor.window(table, reach_, started_len, c_base[2 * speech], c_base[2 * speech + 1], &lo, &hi);
            windows_[2 * speech] = static_cast<std::uint32_t>(lo);
            windows_[2 * speech + 1] = static_cast<std::uint32_t>(hi);
        }
        for (std::size_t speech = 0; speech < base_len_; ++speech) {
            lo = windows_[2 * speech];
            hi = windows_[2 * speech + 1];
            if (lo < hi) {
                matched = add_window(table, matched, c_base[2 * speech], c_base[2 * speech + 1], lo, hi);
            }
        }
        return matched;
    };
    return order_ == nullptr ? run(RowOrder{c_other}) : run(GivenOrder{c_other, order_});
}

bool sweep_sorted(const double* c_base, std::size_t base_len, const double* c_other,
                  std::size_t other_len, OverlapSweep::SpeechOrder speech, bool only_if_worth,
                  double* matched) noexcept {
    if (other_len > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    SortKey* keys = static_cast<SortKey*>(std::malloc(other_len * sizeof(SortKey)));
    std::uint32_t* order = static_cast<std::uint32_t*>(std::malloc(other_len * sizeof(std::uint32_t)));
    OverlapSweep sweep;
    bool ok = keys != nullptr && order != nullptr;
    if (ok) {
        for (std::size_t r = 0; r < other_len; ++r) {
            keys[r].start = c_other[2 * r];
            keys[r].row = static_cast<std::uint32_t>(r);
        }
        std::sort(keys, keys + other_len, before);
        for (std::size_t r = 0; r < other_len; ++r) {
            order[r] = keys[r].row;
        }
        ok = sweep.prepare(c_base, base_len, other_len, order, speech);
    }
    std::free(keys);
    std::free(order);
    if (!ok) {
        return false;
    }
    // The sort leaves NaN starts last, so the sorted table always fits.
    const std::size_t started_len = sweep.fit(c_other);
    if (started_len == OverlapSweep::kUnfit || (only_if_worth && !sweep.worth_sweeping())) {
        return false;
    }
    *matched = sweep.sum_fitted(c_other, started_len);
    return true;
}

bool overlap_ratio_sweep(const double* c_base, std::size_t base_len, const double* c_other,
                         std::size_t other_len, double base_total, double* result) noexcept {
    const OverlapSweep::SpeechOrder speech = speech_in_start_order(c_base, base_len)
                                                 ? OverlapSweep::SpeechOrder::kInOrder
                                                 : OverlapSweep::SpeechOrder::kUnknown;
    OverlapSweep sweep;
    if (!sweep.prepare(c_base, base_len, other_len, nullptr, speech)) {
        return false;
    }
    const std::size_t started_len = sweep.fit(c_other);
    if (started_len != OverlapSweep::kUnfit) {
        *result = sweep.sum_fitted(c_other, started_len) / base_total;
        return true;
    }
    // One sort of the rows by start puts them in an order the sweep can take.
    double matched = 0.0;
    if (!sweep_sorted(c_base, base_len, c_other, other_len, speech, false, &matched)) {
        return false;
    }
    *result = matched / base_total;
    return true;
}

}  // namespace corvela
