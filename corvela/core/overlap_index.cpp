// The indexed engine; the layout and its invariants are described in overlap_index.hpp.
#include "overlap_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "overlap_rule.hpp"

namespace corvela {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A window up to this many positions is scanned directly: a short run of loads and compares
// costs less than a walk down the tree from its root.
constexpr std::size_t kScanWindow = 48;

// Speech rows sampled to estimate the number of qualifying pairs.
constexpr std::size_t kSamples = 64;

inline bool is_nan(double value) { return value != value; }

// First position in the nondecreasing, NaN-free `a[0, len)` whose value exceeds x, searched
// outwards from `hint`: consecutive speech rows usually end near one another, so the distance
// moved, not the table size, sets the cost.
std::size_t upper_bound_from(const double* a, std::size_t len, double x, std::size_t hint) {
    // Invariant: a[j] <= x for j < lo; a[j] > x for j >= hi.
    std::size_t lo;
    std::size_t hi;
    if (hint < len && a[hint] <= x) {
        lo = hint + 1;
        hi = len;
        std::size_t step = 1;
        while (lo < len) {
            const std::size_t probe = (len - lo > step) ? lo + step : len - 1;
            if (a[probe] <= x) {
                lo = probe + 1;
                step *= 2;
            } else {
                hi = probe;
                break;
            }
        }
    } else {
        hi = hint;
        lo = 0;
        std::size_t step = 1;
        while (hi > 0) {
            const std::size_t probe = (hi > step) ? hi - step : 0;
            if (a[probe] > x) {
                hi = probe;
                step *= 2;
            } else {
                lo = probe + 1;
                break;
            }
        }
    }
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (a[mid] <= x) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

}  // namespace

OverlapIndex::~OverlapIndex() { std::free(block_); }

bool OverlapIndex::build(const double* c_other, std::size_t other_len) noexcept {
    c_other_ = c_other;
    other_len_ = other_len;
    if (other_len > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    std::size_t kept = 0;
    bool ordered = true;
    double last_start = -kInf;
    for (std::size_t r = 0; r < other_len; ++r) {
        const double os = c_other[2 * r];
        const double oe = c_other[2 * r + 1];
        if (is_nan(os) || is_nan(oe)) {
            continue;
        }
        if (os < last_start) {
            ordered = false;
        }
        last_start = os;
        ++kept;
    }
    size_ = kept;
    in_row_order_ = ordered;
    if (kept == 0) {
        return true;
    }
    const std::size_t bytes =
        kept * (3 * sizeof(double) + sizeof(std::uint32_t)) + (ordered ? 0 : kept * sizeof(std::uint32_t));
    block_ = std::malloc(bytes);
    if (block_ == nullptr) {
        return false;
    }
    start_ = static_cast<double*>(block_);
    end_ = start_ + kept;
    max_end_ = end_ + kept;
    row_ = reinterpret_cast<std::uint32_t*>(max_end_ + kept);
    hits_ = ordered ? nullptr : row_ + kept;

    std::size_t i = 0;
    for (std::size_t r = 0; r < other_len; ++r) {
        if (!is_nan(c_other[2 * r]) && !is_nan(c_other[2 * r + 1])) {
            row_[i++] = static_cast<std::uint32_t>(r);
        }
    }
    if (!ordered) {
        // Ties on the start keep row order, as a stable sort would (-0.0 and +0.0 tie), so that
        // the walk is deterministic; the hits of a row are put in row order afterwards anyway.
        std::sort(row_, row_ + kept, [c_other](std::uint32_t a, std::uint32_t b) {
            const double sa = c_other[2 * static_cast<std::size_t>(a)];
            const double sb = c_other[2 * static_cast<std::size_t>(b)];
            return sa < sb || (!(sb < sa) && a < b);
        });
    }
    bool ends_sorted = true;
    for (std::size_t j = 0; j < kept; ++j) {
        const std::size_t r = row_[j];
        start_[j] = c_other[2 * r];
        end_[j] = c_other[2 * r + 1];
        if (j > 0 && end_[j] < end_[j - 1]) {
            ends_sorted = false;
        }
    }
    ends_sorted_ = ends_sorted;

    unsigned level = 0;
    while ((std::size_t{2} << level) <= kept) {
        ++level;
    }
    root_level_ = level;
    root_ = (std::size_t{1} << level) - 1;
    return true;
}

double OverlapIndex::expected_pairs(const double* c_base, std::size_t base_len) noexcept {
    if (size_ == 0 || base_len == 0) {
        return 0.0;
    }
    const double* ends = end_;
    if (!ends_sorted_) {
        // max_end_ is not built yet; its storage holds the sorted ends meanwhile.
        std::memcpy(max_end_, end_, size_ * sizeof(double));
        std::sort(max_end_, max_end_ + size_);
        ends = max_end_;
    }
    // A sample of evenly spaced rows, not every row: two binary searches per row would cost
    // about as much as the sparse walk itself, and the estimate only has to tell a sparse input
    // from one where most pairs qualify, where both engines cost about the same anyway.
    const std::size_t samples = base_len < kSamples ? base_len : kSamples;
    double counted = 0.0;
    for (std::size_t s = 0; s < samples; ++s) {
        const std::size_t speech = ((2 * s + 1) * base_len) / (2 * samples);
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        if (is_nan(bs) || is_nan(be)) {
            continue;
        }
        const std::size_t started = static_cast<std::size_t>(
            std::upper_bound(start_, start_ + size_, be) - start_);
        const std::size_t ended = static_cast<std::size_t>(
            std::lower_bound(ends, ends + size_, bs) - ends);
        if (started > ended) {
            counted += static_cast<double>(started - ended);
        }
    }
    return counted * (static_cast<double>(base_len) / static_cast<double>(samples));
}

void OverlapIndex::finish() noexcept {
    for (std::size_t x = 0; x < size_; x += 2) {
        max_end_[x] = end_[x];
    }
    for (unsigned k = 1; k <= root_level_; ++k) {
        const std::size_t half = std::size_t{1} << (k - 1);
        for (std::size_t x = (std::size_t{1} << k) - 1; x < size_; x += std::size_t{2} << k) {
            double top = end_[x];
            if (max_end_[x - half] > top) {
                top = max_end_[x - half];
            }
            // A right child past the end of the array is absent; its subtree's positions that
            // do exist all lie under its leftmost present descendant.
            std::size_t right = x + half;
            unsigned right_level = k - 1;
            while (right >= size_ && right_level > 0) {
                right -= std::size_t{1} << (right_level - 1);
                --right_level;
            }
            if (right < size_ && max_end_[right] > top) {
                top = max_end_[right];
            }
            max_end_[x] = top;
        }
    }
}

template <class Emit>
void OverlapIndex::visit_tree(std::size_t lo, std::size_t hi, double bs, Emit&& emit) const noexcept {
    struct Frame {
        std::size_t x;
        unsigned level;
        bool self_only;  // x itself is a hit still to be emitted
    };
    // Each level down leaves at most two frames behind (a right subtree and its parent), and
    // there are at most 32 levels.
    Frame stack[72];
    int top = 0;
    stack[top++] = Frame{root_, root_level_, false};
    while (top > 0) {
        const Frame f = stack[--top];
        if (f.self_only) {
            emit(f.x);
            continue;
        }
        const std::size_t reach = (std::size_t{1} << f.level) - 1;
        if (f.x + reach < lo || f.x - reach >= hi) {
            continue;
        }
        const std::size_t half = (std::size_t{1} << f.level) >> 1;
        if (f.x >= size_) {
            // Absent node: only its left subtree can hold positions.
            if (f.level > 0) {
                stack[top++] = Frame{f.x - half, f.level - 1, false};
            }
            continue;
        }
        if (max_end_[f.x] < bs) {
            continue;
        }
        const bool self_hit = f.x >= lo && f.x < hi && end_[f.x] >= bs;
        if (f.level == 0) {
            if (self_hit) {
                emit(f.x);
            }
            continue;
        }
        // In order: left subtree, x, right subtree; the stack pops them in that order.
        stack[top++] = Frame{f.x + half, f.level - 1, false};
        if (self_hit) {
            stack[top++] = Frame{f.x, 0, true};
        }
        stack[top++] = Frame{f.x - half, f.level - 1, false};
    }
}

template <class Emit>
void OverlapIndex::visit_hits(std::size_t lo, std::size_t hi, double bs, Emit&& emit) const noexcept {
    if (hi - lo <= kScanWindow) {
        for (std::size_t j = lo; j < hi; ++j) {
            if (end_[j] >= bs) {
                emit(j);
            }
        }
    } else {
        visit_tree(lo, hi, bs, emit);
    }
}

double OverlapIndex::add_row_hits(double matched, double bs, double be, std::size_t hits) noexcept {
    if (hits * 16 > other_len_) {
        // Sorting this many hits would cost more than the plain row loop, which needs none.
        for (std::size_t dialog = 0; dialog < other_len_; ++dialog) {
            matched = add_pair_overlap(matched, bs, be, c_other_[2 * dialog], c_other_[2 * dialog + 1]);
        }
        return matched;
    }
    std::sort(hits_, hits_ + hits);
    for (std::size_t h = 0; h < hits; ++h) {
        const std::size_t dialog = hits_[h];
        matched = add_pair_overlap(matched, bs, be, c_other_[2 * dialog], c_other_[2 * dialog + 1]);
    }
    return matched;
}

double OverlapIndex::sum(const double* c_base, std::size_t base_len) noexcept {
    double matched = 0.0;
    if (size_ == 0) {
        return matched;
    }
    std::size_t started = 0;  // positions whose start is <= the current be; also a search hint
    // Moving lower bound: every position below `lead` ends before `lead_bs`, the largest speech
    // start seen so far, so it cannot qualify for any speech row starting at or after it.
    std::size_t lead = 0;
    double lead_max = -kInf;  // largest end among positions below `lead`
    double lead_bs = -kInf;
    for (std::size_t speech = 0; speech < base_len; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        if (is_nan(bs) || is_nan(be)) {
            continue;  // every test against a NaN is false: no pair of this row qualifies
        }
        started = upper_bound_from(start_, size_, be, started);
        std::size_t lo = 0;
        if (bs >= lead_bs) {
            lead_bs = bs;
            while (lead < size_) {
                const double widest = end_[lead] > lead_max ? end_[lead] : lead_max;
                if (!(widest < bs)) {
                    break;
                }
                lead_max = widest;
                ++lead;
            }
            lo = lead;
        }
        if (lo >= started) {
            continue;
        }
        if (in_row_order_) {
            visit_hits(lo, started, bs, [&](std::size_t j) {
                matched = add_pair_overlap(matched, bs, be, start_[j], end_[j]);
            });
        } else {
            std::size_t hits = 0;
            visit_hits(lo, started, bs, [&](std::size_t j) { hits_[hits++] = row_[j]; });
            if (hits > 0) {
                matched = add_row_hits(matched, bs, be, hits);
            }
        }
    }
    return matched;
}

bool overlap_ratio_index(const double* c_base, std::size_t base_len, const double* c_other,
                         std::size_t other_len, double base_total, double* result) noexcept {
    OverlapIndex index;
    if (!index.build(c_other, other_len)) {
        return false;
    }
    index.finish();
    *result = index.sum(c_base, base_len) / base_total;
    return true;
}

}  // namespace corvela
