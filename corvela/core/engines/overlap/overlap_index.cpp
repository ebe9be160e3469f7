// The indexed engine; the layout and its invariants are described in overlap_index.hpp.
#include "overlap_index.hpp"

#include <algorithm>
#include <limits>

#include "nan_and_infinity.hpp"
#include "overlap_rule.hpp"
#include "start_order.hpp"
#include "start_search.hpp"

namespace corvela {
namespace {

// A window up to this many positions is scanned directly: a short run of loads and compares
// costs less than a walk down the tree from its root.
constexpr std::size_t kScanWindow = 48;

// Subtrees up to this level (31 positions) are scanned in order rather than walked: when most
// of them hold hits, a scan costs a compare per position instead of stack traffic per node.
constexpr unsigned kScanLevel = 4;

}  // namespace

void OverlapIndex::scan(const double* c_other, std::size_t other_len) noexcept {
    c_other_ = c_other;
    other_len_ = other_len;
    std::size_t kept = 0;
    bool ordered = true;
    double last_start = -kInfinity;
    for (std::size_t r = 0; r < other_len; ++r) {
        const double os = c_other[2 * r];
        const double oe = c_other[2 * r + 1];
        if (is_nan(os) || is_nan(oe)) {
            continue;
        }
        // Without a branch: on a shuffled table its outcome would be a coin toss.
        ordered &= !(os < last_start);
        last_start = os;
        ++kept;
    }
    size_ = kept;
    in_row_order_ = ordered;
    all_kept_ = kept == other_len;
}

bool OverlapIndex::build() noexcept {
    const std::size_t kept = size_;
    if (other_len_ > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    if (kept == 0) {
        return true;
    }
    const bool copied = !in_row_order_ || !all_kept_;
    std::size_t bytes = kept * sizeof(double);  // max_end_
    if (copied) {
        bytes += kept * 2 * sizeof(double);
    }
    if (!in_row_order_) {
        bytes += kept * 2 * sizeof(std::uint32_t);
    }
    if (!max_end_.allocate(kept) || (copied && !copied_pairs_.allocate(2 * kept)) ||
        (!in_row_order_ && (!row_.allocate(kept) || !hits_.allocate(kept)))) {
        return false;
    }
    bytes_ = bytes;
    if (!copied) {
        pairs_ = c_other_;
        build_tree();
        return true;
    }
    double* pairs = copied_pairs_.data();
    pairs_ = pairs;
    const double* c_other = c_other_;
    if (in_row_order_) {
        std::size_t j = 0;
        for (std::size_t r = 0; r < other_len_; ++r) {
            const double os = c_other[2 * r];
            const double oe = c_other[2 * r + 1];
            if (!is_nan(os) && !is_nan(oe)) {
                pairs[2 * j] = os;
                pairs[2 * j + 1] = oe;
                ++j;
            }
        }
        build_tree();
        return true;
    }
    // The sort keys borrow the storage of `pairs`, which is filled only once they are read.
    static_assert(sizeof(StartKey<double>) <= 2 * sizeof(double), "a sort key fits in a position");
    StartKey<double>* keys = reinterpret_cast<StartKey<double>*>(pairs);
    // Ties on the start keep row order, as a stable sort would (-0.0 and +0.0 tie), so that the
    // walk is deterministic; the hits of a speech row are put in row order afterwards anyway.
    std::uint32_t* row = row_.data();
    kept_rows_in_start_order(c_other, other_len_, keys, row);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::size_t r = row[i];
        pairs[2 * i] = c_other[2 * r];
        pairs[2 * i + 1] = c_other[2 * r + 1];
    }
    build_tree();
    return true;
}

void OverlapIndex::build_tree() noexcept {
    unsigned level = 0;
    while ((std::size_t{2} << level) <= size_) {
        ++level;
    }
    root_level_ = level;
    root_ = (std::size_t{1} << level) - 1;
    for (std::size_t x = 0; x < size_; x += 2) {
        max_end_[x] = end(x);
    }
    for (unsigned k = 1; k <= root_level_; ++k) {
        const std::size_t half = std::size_t{1} << (k - 1);
        for (std::size_t x = (std::size_t{1} << k) - 1; x < size_; x += std::size_t{2} << k) {
            double top = end(x);
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
        // An absent node (past the end of the array) has no max_end; hi bounds its scan.
        const bool present = f.x < size_;
        if (present && max_end_[f.x] < bs) {
            continue;
        }
        if (f.level <= kScanLevel) {
            const std::size_t first = f.x - reach > lo ? f.x - reach : lo;
            const std::size_t last = f.x + reach < hi ? f.x + reach + 1 : hi;
            for (std::size_t j = first; j < last; ++j) {
                if (end(j) >= bs) {
                    emit(j);
                }
            }
            continue;
        }
        const std::size_t half = std::size_t{1} << (f.level - 1);
        if (!present) {
            // Only its left subtree can hold positions.
            stack[top++] = Frame{f.x - half, f.level - 1, false};
            continue;
        }
        const bool self_hit = f.x >= lo && f.x < hi && end(f.x) >= bs;
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
            if (end(j) >= bs) {
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
    std::sort(hits_.data(), hits_.data() + hits);
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
    double lead_max = -kInfinity;  // largest end among positions below `lead`
    double lead_bs = -kInfinity;
    for (std::size_t speech = 0; speech < base_len; ++speech) {
        const double bs = c_base[2 * speech];
        const double be = c_base[2 * speech + 1];
        if (is_nan(bs) || is_nan(be)) {
            continue;  // every test against a NaN is false: no pair of this row qualifies
        }
        started = upper_bound_from([this](std::size_t j) { return start(j); }, size_, be, started);
        std::size_t lo = 0;
        if (bs >= lead_bs) {
            lead_bs = bs;
            while (lead < size_) {
                const double widest = end(lead) > lead_max ? end(lead) : lead_max;
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
                matched = add_pair_overlap(matched, bs, be, start(j), end(j));
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
    index.scan(c_other, other_len);
    if (!index.build()) {
        return false;
    }
    *result = index.sum(c_base, base_len) / base_total;
    return true;
}

}  // namespace corvela
