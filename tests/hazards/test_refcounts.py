"""Reference counts and memory across many calls of match(), on success and on each failure.

A reference taken and not released (or released twice) on some path shows up as a drift in the
count of the object concerned after thousands of calls; a table or intermediate that is never
freed shows up as steady growth in what tracemalloc sees (tables come from PyMem_*, which it
traces).
"""

import contextlib
import gc
import os
import sys
import tracemalloc
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction

import pytest

from corvela.core.algo import match
from fakes import Clock, Floaty, Indexy, Pair

CALLS = 2000


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    """Failure reports go nowhere; sys.last_* is dropped so it pins no exception.

    Output capture puts its own sys.stderr back at the start of each test phase, so the
    stream is replaced from within the test, by silenced().
    """
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    yield
    forget_last_report()


@contextlib.contextmanager
def silenced():
    saved = sys.stderr
    with open(os.devnull, "w") as sys.stderr:
        try:
            yield
        finally:
            sys.stderr = saved


def forget_last_report():
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        if hasattr(sys, name):
            delattr(sys, name)


def new_float(text):
    # A float object of its own, not a constant shared with the code object.
    return float(text)


class Seconds(timedelta):
    def total_seconds(self):
        return super().total_seconds() + 0.5


class Fails:
    """Every conversion raises."""

    def __float__(self):
        raise ArithmeticError("no float")

    def __index__(self):
        raise ArithmeticError("no index")

    def total_seconds(self):
        raise LookupError("no seconds")

    def __getitem__(self, k):
        raise KeyError(k)


class WrongType:
    def __float__(self):
        return "1.0"

    def total_seconds(self):
        return "1.0"


def td(seconds):
    return timedelta(seconds=seconds)


class RaisesIndex:
    def __index__(self):
        raise ArithmeticError("no index")


class Shrinker:
    """Item 0 of row 0 puts row 1 back, item 1 takes it out again: every call of match()
    finds row 1 gone when it gets there."""

    def __init__(self, base, value, restore):
        self.base, self.value, self.restore, self.removed = base, value, restore, None

    def __float__(self):
        if self.restore:
            if len(self.base) < 2:
                self.base.append(self.restore.removed)
        else:
            self.removed = self.base.pop()
        return self.value


def good_other():
    return [[td(1), td(3)], (td(2), td(7))]


def case_success_plain():
    return [[new_float("0.5"), new_float("4.5")], (1, 2**40)], good_other(), ()


def case_success_python_conversions():
    result = Floaty(new_float("2.5"))
    other = [[Clock(result), Clock(new_float("6.0"))], Pair(Seconds(seconds=1), td(9))]
    base = [Pair(Floaty(new_float("0.25")), Indexy(5)), {0: Fraction(1, 3), 1: Decimal("7.5")},
            [True, new_float("-1.0")]]
    return base, other, (result,)


def case_failure_failed_row_after_good_rows():
    return [[new_float("0.0"), new_float("1.0")], [new_float("2.0"), "3"]], good_other(), ()


def case_shrunk_during_read():
    base = [[None, None], [new_float("2.0"), new_float("3.0")]]
    takes = Shrinker(base, new_float("1.0"), None)
    base[0][:] = [Shrinker(base, new_float("0.0"), takes), takes]
    return base, good_other(), (base[1],) + tuple(base[1])


FAILURES = {
    "none_base": lambda: (None, good_other(), ()),
    "none_other": lambda: ([[new_float("0.0"), new_float("1.0")]], None, ()),
    "empty_base": lambda: ([], good_other(), ()),
    "empty_other": lambda: ([[new_float("0.0"), new_float("1.0")]], [], ()),
    "row_not_subscriptable": lambda: ([object()], good_other(), ()),
    "short_list_row": lambda: ([[new_float("0.0")]], good_other(), ()),
    "short_tuple_row": lambda: ([(new_float("0.0"),)], good_other(), ()),
    "getitem_raises": lambda: ([Fails()], good_other(), ()),
    "mapping_row_missing_key": lambda: ([{0: new_float("0.0")}], good_other(), ()),
    "item_is_str": lambda: ([[new_float("0.0"), "x"]], good_other(), ()),
    "float_raises": lambda: ([[new_float("0.0"), Fails()]], good_other(), ()),
    "float_returns_str": lambda: ([[WrongType(), new_float("1.0")]], good_other(), ()),
    "index_raises": lambda: ([[Indexy(0), RaisesIndex()]], good_other(), ()),
    "index_returns_non_int": lambda: ([[Indexy(0), Indexy(new_float("1.0"))]], good_other(), ()),
    "int_too_large": lambda: ([[0, 10**400]], good_other(), ()),
    "later_row_fails": case_failure_failed_row_after_good_rows,
    "shrunk_during_read": case_shrunk_during_read,
    "bound_lacks_total_seconds": lambda: ([[0.0, 1.0]], [[new_float("1.0"), td(2)]], ()),
    "total_seconds_raises": lambda: ([[0.0, 1.0]], [[td(0), Fails()]], ()),
    "total_seconds_returns_str": lambda: ([[0.0, 1.0]], [[td(0), WrongType()]], ()),
    "total_seconds_result_fails": lambda: ([[0.0, 1.0]], [(Clock(Fails()), td(1))], ()),
}

SUCCESSES = {
    "plain": case_success_plain,
    "python_conversions": case_success_python_conversions,
}


def tracked_objects(base, other, extras):
    """The inputs, their rows, the rows' items, and whatever those items hold on to."""
    objects = [base, other, *extras]
    for seq in (base, other):
        for row in seq if isinstance(seq, list) else ():
            objects.append(row)
            if isinstance(row, (list, tuple)):
                items = list(row)
            elif isinstance(row, dict):
                items = list(row.values())
            else:
                items = list(getattr(row, "items", ()))
            for item in items:
                objects.append(item)
                objects.extend(vars(item).values() if hasattr(item, "__dict__") else ())
    return objects


def refcounts(objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def run_and_count(make):
    base, other, extras = make()
    objects = tracked_objects(base, other, extras)
    with silenced():
        results = {match(base, other) for _ in range(3)}
        forget_last_report()
        before = refcounts(objects)
        for _ in range(CALLS):
            results.add(match(base, other))
        forget_last_report()
    after = refcounts(objects)
    drifted = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    return results, drifted


@pytest.mark.parametrize("name", sorted(FAILURES))
def test_failure_path_keeps_reference_counts(name):
    results, drifted = run_and_count(FAILURES[name])
    assert results == {0.0}
    assert drifted == []


@pytest.mark.parametrize("name", sorted(SUCCESSES))
def test_success_path_keeps_reference_counts(name):
    results, drifted = run_and_count(SUCCESSES[name])
    assert len(results) == 1 and results != {0.0}
    assert drifted == []


def test_total_seconds_results_are_released():
    # A fresh result object per call: each must be gone once its value is taken.
    alive = []

    class Result(float):
        def __del__(self):
            alive.remove(id(self))

    class Fresh:
        def total_seconds(self):
            r = Result(3.0)
            alive.append(id(r))
            return r

    other = [[td(1), Fresh()]]
    for _ in range(CALLS):
        match([[0.0, 4.0]], other)
    assert alive == []


@pytest.mark.parametrize("name", ["plain", "python_conversions", "later_row_fails",
                                  "empty_other", "total_seconds_raises"])
def test_memory_stays_bounded(name, monkeypatch):
    # The interpreter's own traceback printer (3.12) keeps a turning-over set of up to about
    # a thousand small blocks, which moves the figure by tens of kB from run to run. The report
    # still goes through match's printing path; only the drawing of the traceback is skipped.
    monkeypatch.setattr(sys, "excepthook", lambda *exc: None)
    make = SUCCESSES.get(name) or FAILURES[name]
    base, other, _ = make()
    with silenced():
        tracemalloc.start()
        try:
            # Long enough for the interpreter's free lists and caches to fill up.
            for _ in range(CALLS):
                match(base, other)
            forget_last_report()
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(5 * CALLS):
                match(base, other)
            forget_last_report()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
    # Leaking even one 16-byte table per call would add 160 kB.
    assert growth < 16 * 1024
