// The rule chain for one (speech row, subtitle row) pair, shared by every engine so that it is
// written once. The exactness contract is stated in coverage.hpp.
#ifndef CORVELA_CORE_OVERLAP_RULE_HPP
#define CORVELA_CORE_OVERLAP_RULE_HPP

namespace corvela {

// Returns `matched` after the pair (bs, be) x (os, oe) has been applied to it. A pair that adds
// nothing returns `matched` unchanged; since `matched` starts at +0.0 and so is never -0.0,
// skipping such a pair altogether gives the same bits.
inline double add_pair_overlap(double matched, double bs, double be, double os, double oe) {
    if (bs > oe) {
        return matched;
    }
    if (os > be) {
        return matched;
    }
    if (os <= bs && be <= oe) {
        return matched + (be - bs);
    }
    if (bs <= os && oe <= be) {
        return matched + (oe - os);
    }
    if (os <= bs && bs <= oe && oe <= be) {
        return matched + (oe - bs);
    }
    if (bs <= os && os <= be && be <= oe) {
        return matched + (be - os);
    }
    return matched;
}

// What add_pair_overlap adds for a pair already known to qualify (bs <= oe && os <= be) with no
// NaN bound, without the pair loop's branches, whose outcomes no predictor learns on real tables.
// Without NaN the bounds are totally ordered, so the pair loop's four amounts are the cases of
// min(be, oe) - max(bs, os): its third rule holds when os <= bs and be <= oe, its fourth when
// bs <= os and oe <= be, and the last two cover the mixed cases, which qualification makes
// reachable. Where both of a min or max tie, the two values are equal and can differ only in the
// sign of a zero; the difference is then equal too, up to the sign of a zero result. Such a zero
// adds the same bits to `matched`, which is never -0.0: x + (+0.0) and x + (-0.0) are both x
// for every x but -0.0.
inline double qualifying_pair_overlap(double bs, double be, double os, double oe) {
    const double last_end = be < oe ? be : oe;
    const double first_start = bs > os ? bs : os;
    return last_end - first_start;
}

}  // namespace corvela

#endif
