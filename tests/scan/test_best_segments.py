"""corvela.core.scan.best_segments against every assignment of offsets on small tables."""

import itertools
import math
import random
import sys
import threading
from datetime import timedelta
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from corvela.core.algo import match
from corvela.core.scan import BestSegments, best_offset, best_segments

import oracle
from films import film

US = timedelta(microseconds=1)
# Speech bounds on multiples of 2**-18 s (about 3.8 us) and penalties on multiples of 2**-24 s:
# every amount is then a whole number of 2**-12 us, which the module weighs exactly, so the best
# score and its ties are compared exactly.
STEP = 2.0**-18


def micros(delta):
    return delta // US


def gain(base, start, end):
    """A row's summed overlap (microseconds) shifted to [start, end]: match's tests of which
    pairs meet, the amounts exact."""
    total = Fraction(0)
    first = timedelta(microseconds=start).total_seconds()
    last = timedelta(microseconds=end).total_seconds()
    for bs, be in base:
        if bs <= last and first <= be:
            total += min(Fraction(be) * 10**6, end) - max(Fraction(bs) * 10**6, start)
    return total


def tolerance(maximum):
    return Fraction(1, 1000) + abs(maximum) / 10**12


def runs(offsets):
    """Start-order positions (first, last) of the runs of equal offsets."""
    found, first = [], 0
    for k in range(1, len(offsets) + 1):
        if k == len(offsets) or offsets[k] != offsets[first]:
            found.append((first, k - 1))
            first = k
    return found


def check_against_every_assignment(base, other, lo, hi, penalty, factor=1.0):
    got = best_segments(base, other, lo * US, hi * US, penalty, factor=factor)
    scaled = [(micros(s * factor), micros(e * factor)) for s, e in other]
    order = sorted(range(len(other)), key=lambda j: (scaled[j][0], j))
    starts = [scaled[j][0] for j in order]
    gains = [{t: gain(base, scaled[j][0] + t, scaled[j][1] + t) for t in range(lo, hi + 1)}
             for j in order]
    price = Fraction(penalty) * 10**6

    def score(ts):
        return sum(g[t] for g, t in zip(gains, ts)) - price * (len(runs(ts)) - 1)

    def ordered(ts):
        return all(starts[k - 1] + ts[k - 1] <= starts[k] + ts[k] for k in range(1, len(ts)))

    scores = {ts: score(ts) for ts in itertools.product(range(lo, hi + 1), repeat=len(order))
              if ordered(ts)}
    top = max(scores.values())
    tol = tolerance(top)
    assert got.score == float(top) / 1e6

    ts = tuple(micros(got.offsets[j]) for j in order)
    assert ts in scores and scores[ts] >= top - tol
    assert got.segments == [(a, b, ts[a] * US, b - a + 1) for a, b in runs(ts)]
    due = match(base, [[s * factor + o, e * factor + o] for (s, e), o in zip(other, got.offsets)])
    assert oracle.bits(got.coverage) == oracle.bits(due)

    best = [t for t, v in scores.items() if v == top]
    fewest = min(len(runs(t)) for t in best)
    assert len(got.segments) == fewest
    splits = {tuple(a for a, _ in runs(t)) for t in best if len(runs(t)) == fewest}
    if len(splits) == 1:
        assert tuple(a for a, _, _, _ in got.segments) == splits.pop()
    near = [t for t, v in scores.items() if v >= top - tol]
    if len(near) == 1:
        assert ts == near[0]
    # The last segment moved last, with every other in place: its offset is the middle of the
    # run of its offsets that keep the score within the tolerance.
    a = got.segments[-1][0]

    def keeps(u):
        moved = ts[:a] + (u,) * (len(ts) - a)
        return (moved in scores and scores[moved] >= top - tol
                and (a == 0 or u != ts[a - 1]))

    first = last = ts[a]
    while keeps(first - 1):
        first -= 1
    while keeps(last + 1):
        last += 1
    assert ts[a] * US == (first * US + last * US) / 2


# Assignments to enumerate: (width + 1) ** rows stays under about 10,000.
WIDEST = {1: 120, 2: 60, 3: 16, 4: 7}


@st.composite
def tables(draw):
    """Speech rows, and subtitle rows each made from one of them as it would be seen late by an
    offset inside the range, give or take a few microseconds at each end: so that rows want
    different offsets (changes pay) and near rows want them in the other order (the order
    binds). Rows may come out inverted, overlapping, nested or with equal starts."""
    bound = st.integers(0, 30).map(lambda k: k * STEP)
    base = draw(st.lists(st.tuples(bound, bound).map(list), min_size=1, max_size=4)
                .filter(lambda rows: sum(e - s for s, e in rows) > 0))
    rows = draw(st.integers(1, 4))
    lo = draw(st.integers(-40, 40))
    hi = lo + draw(st.integers(0, WIDEST[rows]))
    other = []
    for _ in range(rows):
        bs, be = draw(st.sampled_from(base))
        start = round(bs * 1e6) - draw(st.integers(lo, hi)) + draw(st.integers(-2, 2))
        end = start + round((be - bs) * 1e6) + draw(st.integers(-3, 3))
        other.append([timedelta(microseconds=start), timedelta(microseconds=end)])
    return base, other, lo, hi


@settings(max_examples=40, deadline=None)
@given(tables(), st.sampled_from([0.0, 2.0**-22, 2.0**-19, 1e300]))
def test_random_tables_agree_with_every_assignment(table, penalty):
    check_against_every_assignment(*table, penalty)


@pytest.mark.parametrize(
    "base, spans, lo, hi, penalty",
    [
        # Two rows late by different amounts: free changes follow each row.
        ([[0, 16], [48, 64]], [(8, 69), (180, 241)], -10, 5, 0.0),
        # A penalty below the gain of the change, and one above it.
        ([[0, 16], [48, 64]], [(8, 69), (180, 241)], -10, 5, 2.0**-17),
        ([[0, 16], [48, 64]], [(8, 69), (180, 241)], -10, 5, 2.0**-14),
        # A prohibitive one: a common offset, the middle of the flat top of the summed curve.
        ([[0, 16], [48, 64]], [(8, 69), (180, 241)], -10, 5, 1e300),
        # Rows whose best offsets would make the second start before the first.
        ([[9, 22]], [(-8, 39), (-6, 44)], 18, 63, 0.0),
        ([[3, 14]], [(1, 40), (3, 48)], -18, 11, 0.0),
        # Equal starts, an inverted row, a row nested in a long one.
        ([[0, 5], [12, 10], [8, 20]], [(30, 30), (30, 45), (40, 20), (10, 70)], -3, 3, 0.0),
        # No overlap anywhere: one segment, in the middle of the range.
        ([[10, 11]], [(0, 5), (20, 30)], -5, 5, 0.0),
    ],
    ids=["free-changes", "cheap-change", "dear-change", "one-offset", "order-binds",
         "order-binds-2", "equal-starts-inverted-nested", "no-overlap"],
)
def test_hand_made_cases_agree_with_every_assignment(base, spans, lo, hi, penalty):
    base = [[s * STEP, e * STEP] for s, e in base]
    other = [[timedelta(microseconds=s), timedelta(microseconds=e)] for s, e in spans]
    check_against_every_assignment(base, other, lo, hi, penalty)


def test_factor_scales_rows_before_they_move():
    base = [[0.0, 61 * STEP], [3 * STEP, 4 * STEP]]
    other = [[timedelta(microseconds=7), timedelta(microseconds=45)],
             [timedelta(microseconds=131), timedelta(microseconds=201)]]
    check_against_every_assignment(base, other, -12, 4, 2.0**-20, factor=1.5)


def test_a_late_half_is_found_with_one_change():
    rng = random.Random(4)
    base, other = film(rng, 400, 300)
    # Subtitles in sync, but the second half 2.5 s late, as after a cut in the film.
    ideal = [[timedelta(seconds=s), timedelta(seconds=e)] for s, e in base]
    other = ideal[:200] + [[s + timedelta(seconds=2.5), e + timedelta(seconds=2.5)]
                           for s, e in ideal[200:]]
    rng.shuffle(other)
    lo, hi = timedelta(seconds=-5), timedelta(seconds=5)
    got = best_segments(base, other, lo, hi, 1.0)
    assert [(a, b, n) for a, b, _, n in got.segments] == [(0, 199, 200), (200, 399, 200)]
    assert abs(got.segments[0][2]) <= US and abs(got.segments[1][2] + timedelta(seconds=2.5)) <= US
    assert got.coverage > 0.9999
    one = best_segments(base, other, lo, hi, math.inf)
    assert len(one.segments) == 1 and one.score < got.score
    assert one.offsets == [best_offset(base, other, lo, hi).offset] * 400


def test_result_is_a_struct_sequence():
    got = best_segments([[0.0, 10.0]], [[timedelta(seconds=2), timedelta(seconds=5)]],
                        timedelta(seconds=-4), timedelta(seconds=6), 0.5)
    assert type(got) is BestSegments and isinstance(got, tuple)
    assert got == ([timedelta(seconds=1.5)], [(0, 0, timedelta(seconds=1.5), 1)], 3.0, 0.3)
    assert BestSegments.__module__ == "corvela.core.scan"
    assert got.coverage == got[3]


B = [[0.0, 10.0]]
O = [[timedelta(seconds=1), timedelta(seconds=2)]]
Z = timedelta(0)


@pytest.mark.parametrize(
    "args, kwargs, kind, message",
    [
        ((B, O, Z, Z), {}, TypeError,
         r"^best_segments\(\) missing 1 required positional argument: 'split_penalty'$"),
        ((B, O, Z, Z, 0.0, 1.0), {}, TypeError, r"takes 5 positional arguments but 6 were given"),
        ((B, O, Z, Z, 0.0), {"factors": [1.0]}, TypeError, r"unexpected keyword argument"),
        (((B[0],), O, Z, Z, 0.0), {}, TypeError, r"argument 'base' must be list, not tuple"),
        ((B, [], Z, Z, 0.0), {}, ValueError, r"^best_segments\(\) argument 'other' is empty"),
        ((B, O, 0, Z, 0.0), {}, TypeError, r"^lo must be a datetime\.timedelta, not int$"),
        ((B, O, US, Z, 0.0), {}, ValueError, r"^best_segments\(\) needs lo <= hi"),
        ((B, O, Z, Z, -1e-9), {}, ValueError, r"^split_penalty is -1e-09; .* 0 or more$"),
        ((B, O, Z, Z, math.nan), {}, ValueError, r"^split_penalty is nan;"),
        ((B, O, Z, Z, "1"), {}, TypeError, r"^split_penalty must be a float or an int, not str$"),
        ((B, O, Z, Z, 0.0), {"factor": 0.0}, ValueError, r"^factor is 0\.0; a factor must be"),
        ((B, O, Z, Z, 0.0), {"factor": "2"}, TypeError, r"^factor must be a float or an int"),
        (([[math.nan, 1.0]], O, Z, Z, 0.0), {}, ValueError,
         r"^base\[0\]\[0\] is nan; best_segments\(\) needs finite speech bounds$"),
        (([[1.0, 0.0]], O, Z, Z, 0.0), {}, ValueError, r"^base: the speech total is -1\.0;"),
        ((B, [O[0], [Z, timedelta.max]], Z, Z, 0.0), {"factor": 2.0}, OverflowError,
         r"^other\[1\]\[1\] \* factor leaves timedelta's range"),
        ((B, [O[0], [Z, timedelta.max]], Z, US, 0.0), {}, OverflowError,
         r"^other\[1\]\[1\] \* factor \+ hi: days=1000000000; must have magnitude"),
    ],
)
def test_refused_input_raises_as_best_offset_does(args, kwargs, kind, message):
    with pytest.raises(kind, match=message):
        best_segments(*args, **kwargs)


def test_penalty_may_be_an_int_or_infinite():
    got = [best_segments(B, O, -US, US, p) for p in (0, 2, math.inf)]
    assert got[1] == got[2] and got[0].score == got[1].score == 1.0


def test_references_are_released_on_every_path():
    row, bound, lo, penalty = [0.0, 10.0], timedelta(seconds=3), timedelta(seconds=-1), 0.25
    base, other = [row], [[bound, bound + US], [bound, bound + 2 * US]]
    calls = [((penalty,), {}), ((penalty,), {"factor": 1.5}), ((-penalty,), {}),
             ((penalty,), {"factor": 1e300}), ((None,), {})]
    watched = (row, bound, lo, penalty, base, other)
    held = [sys.getrefcount(x) for x in watched]
    for _ in range(30):
        for args, kwargs in calls:
            try:
                best_segments(base, other, lo, timedelta(seconds=1), *args, **kwargs)
            except (TypeError, ValueError, OverflowError):
                pass
    assert [sys.getrefcount(x) for x in watched] == held


def test_threads_searching_their_own_films_get_their_own_answers():
    films = [film(random.Random(seed), 200, 150) for seed in (1, 2)]
    lo, hi = timedelta(seconds=-5), timedelta(seconds=5)
    due = [best_segments(*f, lo, hi, 0.5) for f in films]
    got = [None, None]

    def search(n):
        got[n] = [best_segments(*films[n], lo, hi, 0.5) for _ in range(5)]

    threads = [threading.Thread(target=search, args=(n,)) for n in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [[due[0]] * 5, [due[1]] * 5]
