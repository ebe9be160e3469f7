"""Plain floats and timedeltas are read directly; everything else goes through the interpreter.

Both ways must give the same bits. A trivial subclass keeps every value but forces the general
path (a subclass could override total_seconds), so comparing the two kinds of input compares the
two paths; the pure-Python oracle checks both against total_seconds() itself.
"""

import io
import re
import subprocess
import sys
import threading
import types
from datetime import timedelta

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import oracle
from corvela.core.algo import match

# A power of two: dividing by it is exact, so a result times SCALE is the converted bound itself.
SCALE = 2.0**60
EXACT_LIMIT = 2**53  # microseconds up to which one double division equals total_seconds()


class GeneralDelta(timedelta):
    """Same value, same total_seconds(), but not the exact C type."""


class GeneralFloat(float):
    """Same stored value, but not an exact float."""


def general(td):
    return GeneralDelta(td.days, td.seconds, td.microseconds)


def revealed_bound(td_type, value):
    """The converted value of `value`, read back from a match() whose result is that value / SCALE.

    A subtitle [0, v] inside the speech row [0, SCALE] adds v - 0 (v >= 0); a subtitle [v, 0]
    inside [-SCALE, 0] adds 0 - v (v < 0). Either way the whole sum is exact.
    """
    zero = td_type(0)
    if value >= timedelta(0):
        return match([[0.0, SCALE]], [[zero, value]]) * SCALE
    return -match([[-SCALE, 0.0]], [[value, zero]]) * SCALE


near_exact_limit = st.integers(-EXACT_LIMIT - 10**7, -EXACT_LIMIT + 10**7) | st.integers(
    EXACT_LIMIT - 10**7, EXACT_LIMIT + 10**7
)
deltas = st.one_of(
    st.timedeltas(),  # timedelta.min .. timedelta.max
    near_exact_limit.map(lambda us: timedelta(microseconds=us)),
    st.integers(-(10**6), 10**6).map(lambda us: timedelta(microseconds=us)),
    # Film-length values, where a few-digit whole part leaves most of the bits to the fraction.
    st.integers(-(10**11), 10**11).map(lambda us: timedelta(microseconds=us)),
)


@pytest.mark.parametrize(
    "value",
    [
        timedelta.min,
        timedelta.max,
        timedelta.resolution,
        -timedelta.resolution,
        timedelta(0),
        timedelta(days=-1),
        timedelta(microseconds=999_999),
        timedelta(seconds=1, microseconds=3_691),  # whole + fraction / 1e6 rounds twice here
        timedelta(microseconds=EXACT_LIMIT),
        timedelta(microseconds=EXACT_LIMIT - 1),
        timedelta(microseconds=EXACT_LIMIT + 1),  # first value past the one-division range
        timedelta(microseconds=-EXACT_LIMIT),
        timedelta(microseconds=-EXACT_LIMIT - 1),
        timedelta(days=106_752),  # days * 86400 * 10**6 no longer fits 64 bits
        timedelta(days=-106_752),
    ],
)
def test_boundary_values_convert_like_total_seconds(value):
    expected = oracle.bits(value.total_seconds())
    assert oracle.bits(revealed_bound(timedelta, value)) == expected
    assert oracle.bits(revealed_bound(GeneralDelta, general(value))) == expected


@settings(max_examples=400, deadline=None)
@given(deltas)
@example(timedelta(microseconds=EXACT_LIMIT + 3))  # where double rounding would differ
def test_any_timedelta_converts_like_total_seconds(value):
    assert oracle.bits(revealed_bound(timedelta, value)) == oracle.bits(value.total_seconds())


finite_or_not = st.floats(allow_nan=True, allow_infinity=True)
row_kind = st.sampled_from([list, tuple])


bound_form = st.sampled_from(["exact", "general"])


@settings(max_examples=200, deadline=None)
@given(
    base=st.lists(
        st.tuples(finite_or_not, finite_or_not, row_kind, bound_form, bound_form),
        min_size=1,
        max_size=6,
    ),
    other=st.lists(
        st.tuples(deltas, deltas, row_kind, bound_form, bound_form), min_size=1, max_size=6
    ),
)
def test_direct_and_general_paths_agree_on_whole_tables(base, other):
    # Rows whose bounds all read directly, rows whose bounds all need the general path, and
    # rows that mix the two within one row.
    to_float = {"exact": float, "general": GeneralFloat}
    to_delta = {"exact": lambda td: td, "general": general}
    plain_base = [kind([s, e]) for s, e, kind, _, _ in base]
    mixed_base = [kind([to_float[f](s), to_float[g](e)]) for s, e, kind, f, g in base]
    held_base = [kind([GeneralFloat(s), GeneralFloat(e)]) for s, e, kind, _, _ in base]
    plain_other = [kind([s, e]) for s, e, kind, _, _ in other]
    mixed_other = [kind([to_delta[f](s), to_delta[g](e)]) for s, e, kind, f, g in other]
    held_other = [kind([general(s), general(e)]) for s, e, kind, _, _ in other]

    expected = oracle.bits(oracle.match(plain_base, plain_other))
    assert oracle.bits(match(plain_base, plain_other)) == expected
    assert oracle.bits(match(mixed_base, mixed_other)) == expected
    assert oracle.bits(match(held_base, held_other)) == expected


@pytest.mark.parametrize(
    "value",
    [1.5, timedelta(seconds=1), timedelta.max, general(timedelta(seconds=1))],
    ids=["float", "timedelta", "timedelta-past-2**53", "subclass"],
)
def test_no_reference_is_kept_or_lost(value):
    rows = [[value, value]] * 50
    before = sys.getrefcount(value)
    if isinstance(value, float):
        match(rows, [[timedelta(0), timedelta(1)]])
    else:
        match([[0.0, 1.0]], rows)
    assert sys.getrefcount(value) == before


class Hook(timedelta):
    """A bound whose total_seconds() runs `action` first, as user code may."""

    def __new__(cls, action):
        self = super().__new__(cls, 0)
        self.action = action
        return self

    def total_seconds(self):
        self.action()
        return 0.0


def test_subtitle_rows_changed_by_user_code_are_read_as_they_now_stand(reports):
    td = timedelta
    # Row 0's start swaps in a new row 0 (its end is read from there) and replaces row 1;
    # both are then read by the direct path.
    other = [[None, td(seconds=99)], [td(seconds=10), td(seconds=11)]]

    def action():
        other[0] = [td(0), td(seconds=1)]
        other[1] = (td(seconds=2), td(seconds=4))

    other[0][0] = Hook(action)
    assert match([[0.0, 4.0]], other) == 0.75
    assert not reports


def test_subtitle_list_shrunk_by_user_code_is_not_read_past_its_end(reports):
    other = [[None, timedelta(seconds=1)], [timedelta(0), timedelta(seconds=1)]]
    other[0][0] = Hook(lambda: other.clear())
    assert match([[0.0, 4.0]], other) == 0.0
    assert type(reports[0].exc_value) is IndexError
    assert str(reports[0].exc_value) == "list index out of range"


def test_overriding_subclass_is_called():
    class Doubled(timedelta):
        def total_seconds(self):
            return 2 * super().total_seconds()

    assert match([[0.0, 8.0]], [[Doubled(seconds=1), Doubled(seconds=3)]]) == 0.5


def test_pure_python_datetime_takes_the_general_path():
    # Without the C datetime there is no C timedelta to read fields from; the module must still
    # import (with its size warnings) and convert through total_seconds().
    code = (
        "import sys; sys.modules['_datetime'] = None\n"
        "from datetime import timedelta as T\n"
        "from corvela.core.algo import match\n"
        "assert not hasattr(sys.modules['datetime'], 'datetime_CAPI')\n"
        "print(repr(match([[0.0, 4.0]], [[T(seconds=1), T(seconds=3, microseconds=1)]])))\n"
    )
    out = subprocess.run(
        [sys.executable, "-W", "ignore::RuntimeWarning", "-c", code],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert float(out) == (3.000001 - 1.0) / 4.0


# --- near the recursion limit -------------------------------------------------------------------

# From 3.14 the check before a call into C measures the C stack left instead of counting levels.
STACK_CHECKED = sys.version_info >= (3, 14)
LIMIT_MESSAGE = (r"Stack overflow \(used \d+ kB\)" if STACK_CHECKED
                 else "maximum recursion depth exceeded") + " while calling a Python object"


class Probe:
    """Calls match from inside repr(), at whatever depth the nesting around it puts it."""

    def __init__(self, other):
        self.other = other
        self.outcome = None

    def __repr__(self):
        try:
            self.outcome = ("returned", match([[0.0, 4.0]], self.other))
        except RecursionError:
            self.outcome = ("raised", None)
        return "probe"


def probe_at(depth, other, padding):
    """match's outcome and the contained failure, with the call nested `depth` reprs deep.

    Each list level costs one recursion-guard unit up to 3.13, and a fixed amount of C stack
    from 3.14, so stepping the depth reaches the exact point where the conversion's own check
    fails. `padding` namespaces inside the lists take another amount of stack each (656 bytes
    against a list level's 128 on Debian's 3.14 and 3.15), so padding 0 to 7 moves that point
    through every 16-byte step of the stack, the alignment of every C frame.
    """
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        if hasattr(sys, name):
            delattr(sys, name)
    probe = Probe(other)
    nested = probe
    for _ in range(padding):
        nested = types.SimpleNamespace(inner=nested)
    for _ in range(depth):
        nested = [nested]
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        repr(nested)
    except RecursionError:
        pass
    finally:
        sys.stderr = saved
    failure = getattr(sys, "last_value", None)
    return probe.outcome, (type(failure), str(failure)) if failure is not None else None


def in_small_stack(task):
    """task() in a thread with a 1 MiB stack: from 3.14 the limit then comes after a few
    thousand levels, whatever the process's stack limit."""
    results = []
    saved = threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=lambda: results.append(task()))
        thread.start()
    finally:
        threading.stack_size(saved)
    thread.join()
    (result,) = results
    return result


@pytest.mark.parametrize("padding", range(8) if STACK_CHECKED else [0])
def test_recursion_limit_is_reported_on_both_paths(monkeypatch, capfd, padding):
    # The reports made at the limit cannot print themselves and go to the C-level stderr;
    # the C default hook keeps the test's own unraisable hook out of it.
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    plain = [[timedelta(seconds=1), timedelta(seconds=3)]]
    held = [[general(td) for td in row] for row in plain]

    def around_the_limit():
        low, high = 0, 10**5
        while low < high:  # deepest nesting at which the real calls still pass their check
            mid = (low + high + 1) // 2
            if probe_at(mid, held, padding)[0] == ("returned", 0.5):
                low = mid
            else:
                high = mid - 1
        seen, expected = [], []
        for depth in range(low - 1, low + 3):  # not a comprehension: up to 3.11 one is a frame
            seen.append(probe_at(depth, plain, padding))
            expected.append(probe_at(depth, held, padding))
        return seen, expected

    seen, expected = in_small_stack(around_the_limit) if STACK_CHECKED else around_the_limit()
    capfd.readouterr()
    assert seen == expected
    outcome, (kind, message) = expected[2]  # the first level at which the real call fails
    assert outcome == ("returned", 0.0) and kind is RecursionError
    assert re.fullmatch(LIMIT_MESSAGE, message), message
