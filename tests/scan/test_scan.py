"""corvela.core.scan.coverage against the per-offset loop of match() it stands in for."""

import math
from collections import UserList
import random
import struct
import sys
import threading
from datetime import timedelta

import pytest
from hypothesis import given, settings, strategies as st

from corvela.core.scan import coverage

from films import film
from offset_loop import loop_bits, scan_bits

US = timedelta(microseconds=1)
EXACT = 2**53  # microseconds: past this total_seconds() is no longer one double division


class Real(float):
    """A float that match converts one item at a time, off its loop over plain rows."""


# Microsecond counts on both sides of 2**53, where the conversion changes method.
near_exact = st.integers(-8, 8).flatmap(lambda d: st.sampled_from([EXACT + d, -EXACT - d]))
micros = st.integers(-10**8, 10**8) | st.integers(-2**60, 2**60) | near_exact
# NaNs of both signs and another payload, and infinities whose sums make NaNs, so that the
# speech total meets NaN + NaN, where the order of the addition decides which NaN comes out.
NANS = [math.nan, -math.nan, struct.unpack("<d", bytes.fromhex("0100000000f8ffff"))[0]]
speech_bound = (
    st.floats(allow_nan=True, allow_infinity=True, width=64)
    | st.sampled_from(NANS + [math.inf, -math.inf])
    | st.integers(-200, 200)
    | st.floats(-1e3, 1e3).map(Real)
)


@settings(max_examples=300, deadline=None)
@given(
    base=st.lists(st.lists(speech_bound, min_size=2, max_size=2), min_size=1, max_size=12),
    spans=st.lists(st.tuples(micros, st.integers(-3 * 10**6, 3 * 10**6) | micros),
                   min_size=1, max_size=12),
    offsets=st.lists(micros | st.sampled_from([0, 1, -1, EXACT, -EXACT]), max_size=8),
)
def test_random_tables_give_the_loops_bits(base, spans, offsets):
    # Inverted, zero-length and overlapping rows come from the independent ends; rows are in
    # no particular order.
    other = [[timedelta(microseconds=a), timedelta(microseconds=a + d)] for a, d in spans]
    offsets = [timedelta(microseconds=o) for o in offsets]
    assert scan_bits(base, other, offsets) == loop_bits(base, other, offsets)


@pytest.mark.parametrize("plain", [True, False], ids=["floats", "float-subclass"])
@pytest.mark.parametrize("rows", [
    [[math.inf, 0.0], [-math.inf, 0.0], [math.nan, 0.0]],
    [[0.0, NANS[1]], [0.0, NANS[0]]],
    [[0.0, NANS[0]], [0.0, NANS[2]], [1.0, 2.0]],
])
def test_nan_totals_keep_the_loops_sign_and_payload(rows, plain):
    base = [[a if plain else Real(a), b] for a, b in rows]
    other = [[timedelta(0), timedelta(seconds=1)]]
    offsets = [timedelta(0), timedelta(seconds=3)]
    assert scan_bits(base, other, offsets) == loop_bits(base, other, offsets)


FILM_OFFSETS = [timedelta(milliseconds=-10_000 + 700 * k) for k in range(29)]


@pytest.mark.parametrize("shuffle", [False, True], ids=["sorted", "shuffled"])
def test_film_sized_tables_give_the_loops_bits(shuffle):
    rng = random.Random(5)
    base, other = film(rng, 2000, 1500)
    if shuffle:
        rng.shuffle(base)
        rng.shuffle(other)
    assert scan_bits(base, other, FILM_OFFSETS) == loop_bits(base, other, FILM_OFFSETS)


@pytest.mark.parametrize("edge", [timedelta.max, timedelta.min], ids=["max", "min"])
def test_bounds_at_the_ends_of_timedeltas_range(edge):
    inward = -US if edge == timedelta.max else US
    other = [[edge + 5000 * inward, edge + 3 * inward], [edge + 9 * inward, edge]]
    # Speech that starts just inside the subtitles, so the last bits of each bound show.
    base = [[(edge + 4000 * inward).total_seconds(), 1e300], [-1e300, 1e300]]
    offsets = [timedelta(0), 7 * inward, 5000 * inward, 123456789 * inward]
    assert scan_bits(base, other, offsets) == loop_bits(base, other, offsets)
    with pytest.raises(OverflowError, match=r"^other\[1\]\[1\] \+ offsets\[1\]: days=-?10{9};"):
        coverage(base, other, [timedelta(0), -inward])


class Later(timedelta):
    pass


class OwnAdd(timedelta):
    def __add__(self, other):
        return timedelta.__add__(self, other)


class OwnRadd(timedelta):
    def __radd__(self, other):
        return timedelta.__radd__(self, other)


class OwnSeconds(timedelta):
    def total_seconds(self):
        return 0.0


class Mixin:
    def total_seconds(self):
        return 0.0


class MixedIn(Mixin, timedelta):
    pass


def test_plain_timedelta_subclasses_are_shifted_like_timedelta():
    base = [[0.5, 9.25]]
    other = [[Later(seconds=1), timedelta(seconds=4)], (Later(seconds=5), Later(seconds=8))]
    offsets = (Later(milliseconds=-1500), timedelta(seconds=3))
    assert scan_bits(base, other, offsets) == loop_bits(base, other, offsets)


B = [[0.0, 10.0]]
O = [[timedelta(seconds=1), timedelta(seconds=2)]]


@pytest.mark.parametrize(
    "args, kind, message",
    [
        ((B, O), TypeError, r"missing 1 required positional argument: 'offsets'$"),
        ((), TypeError, r"missing 3 required positional arguments: 'base', 'other', and 'offsets'"),
        ((B, O, [], []), TypeError, r"takes 3 positional arguments but 4 were given"),
        (((0.0, 10.0), O, []), TypeError, r"argument 'base' must be list, not tuple"),
        ((B, None, []), TypeError, r"argument 'other' must be list, not NoneType"),
        ((B, O, {timedelta(0)}), TypeError, r"argument 'offsets' must be a sequence"),
        (([], O, []), ValueError, r"argument 'base' is empty"),
        ((B, [], []), ValueError, r"argument 'other' is empty"),
        (([[0, 1], 7], O, []), TypeError, r"^base\[1\] must be a \[start, end\] row, not int$"),
        ((B, [O[0], [US]], []), IndexError, r"^other\[1\] has 1 item;"),
        (([[0, "9"]], O, []), TypeError, r"^base\[0\]\[1\] must be a real number, not str$"),
        ((B, [[US, 2.0]], []), TypeError, r"^other\[0\]\[1\] must be a datetime\.timedelta, not float"),
        ((B, O, [US, 1]), TypeError, r"^offsets\[1\] must be a datetime\.timedelta, not int$"),
        ((B, [[US, OwnAdd(1)]], []), TypeError, r"^other\[0\]\[1\] has type OwnAdd, a timedelta"),
        ((B, [[OwnSeconds(1), US]], []), TypeError, r"^other\[0\]\[0\] has type OwnSeconds"),
        ((B, [[MixedIn(1), US]], []), TypeError, r"^other\[0\]\[0\] has type MixedIn"),
        ((B, O, [US, OwnRadd(1)]), TypeError, r"^offsets\[1\] has type OwnRadd"),
        ((B, [O[0], [US, timedelta.max]], [timedelta(0), US]), OverflowError,
         r"^other\[1\]\[1\] \+ offsets\[1\]: days=1000000000; must have magnitude <= 999999999$"),
    ],
)
def test_refused_input_raises_naming_argument_and_row(args, kind, message):
    with pytest.raises(kind, match=message):
        coverage(*args)


def test_arguments_bind_by_position_or_keyword_and_no_offsets_give_an_empty_list():
    offsets = [timedelta(seconds=1)]
    due = coverage(B, O, offsets)
    assert coverage(B, offsets=offsets, other=O) == due
    assert coverage(base=B, other=O, offsets=offsets) == due
    assert coverage(B, O, ()) == []
    with pytest.raises(TypeError, match=r"multiple values for argument 'base'$"):
        coverage(B, O, offsets, base=B)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'base'$"):
        coverage(other=O, offsets=offsets)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'step'$"):
        coverage(B, O, offsets, step=1)


def test_exception_from_user_code_is_not_swallowed(capsys):
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

    with pytest.raises(ZeroDivisionError, match="from __float__"):
        coverage([[0.0, Broken()]], O, [])
    assert capsys.readouterr() == ("", "")


def test_references_are_released_on_success_and_failure():
    row, bound, offset = [0.0, 10.0], timedelta(seconds=3), timedelta(seconds=1)
    base, other, offsets = [row], [[bound, bound]], [offset]
    held = [sys.getrefcount(x) for x in (row, bound, offset, base, other, offsets)]
    for _ in range(100):
        coverage(base, other, offsets)
        with pytest.raises(TypeError):
            coverage(base, other, offsets + [None])
    assert [sys.getrefcount(x) for x in (row, bound, offset, base, other, offsets)] == held


def test_threads_scanning_their_own_films_get_their_own_answers():
    films = [film(random.Random(seed), 300, 200) for seed in (1, 2)]
    due = [scan_bits(base, other, FILM_OFFSETS) for base, other in films]
    got = [None, None]

    def scan(n):
        got[n] = [scan_bits(*films[n], FILM_OFFSETS) for _ in range(20)]

    threads = [threading.Thread(target=scan, args=(n,)) for n in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [[due[0]] * 20, [due[1]] * 20]


class Endless:
    """A sequence that never runs out of items (the last one repeats) and whose len() says
    `length`, or that has no len() at all."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __getitem__(self, k):
        if k > 100:
            raise AssertionError("read on past the wrong item and the length")
        return self.items[min(k, len(self.items) - 1)]

    def __len__(self):
        if self.length is None:
            raise AssertionError("not a sized sequence")
        return self.length


class Shorter(list):
    def __len__(self):
        return list.__len__(self) + 2


def read_offsets(sequence):
    return coverage(B, O, sequence)


def read_factors(sequence):
    from corvela.core.scan import best_offset

    return best_offset(B, O, timedelta(0), timedelta(0), factors=sequence)


@pytest.mark.parametrize("read, good, name, function", [
    (read_offsets, timedelta(0), "offsets", "coverage"),
    (read_factors, 1.0, "factors", "best_offset"),
])
@pytest.mark.parametrize("make, kind, message", [
    # Refused at the wrong item, without reading on through the length.
    (lambda good: Endless([good, good, "x"], 10**6), TypeError, r"^{name}\[2\] must be a"),
    (lambda good: Endless([good], 3), RuntimeError,
     r"^{name} changed size while {function}\(\) read it \(3 items, now more\)$"),
    (lambda good: Shorter([good] * 3), RuntimeError,
     r"^{name} changed size while {function}\(\) read it \(5 items, now 3\)$"),
])
def test_sequences_are_read_item_by_item_within_their_length(read, good, name, function,
                                                              make, kind, message):
    with pytest.raises(kind, match=message.format(name=name, function=function)):
        read(make(good))
    assert read(UserList([good, good])) == read([good, good])
