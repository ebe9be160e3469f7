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

}  // namespace corvela

#endif
