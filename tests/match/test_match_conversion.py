"""How rows and values become doubles, and the order in which user code is called."""

from datetime import timedelta
from fractions import Fraction
from decimal import Decimal

import pytest

import oracle
from fakes import Clock, Floaty, Indexy, Pair
from corvela.core.algo import match

SUB = [[timedelta(seconds=0), timedelta(seconds=4)]]


class FloatSub(float):
    def __float__(self):  # never consulted for float subclasses
        raise AssertionError


@pytest.mark.parametrize(
    "row, expected",
    [
        ([0, 2], 1.0),
        ([False, True], 1.0),
        ([0.0, 8.0], 0.5),
        ((0, 8), 0.5),
        ([0, 8, "ignored"], 0.5),
        ({0: 0.0, 1: 8.0}, 0.5),
        (Pair(0, 8), 0.5),
        ([Floaty(0.0), Floaty(8.0)], 0.5),
        ([Indexy(0), Indexy(8)], 0.5),
        ([FloatSub(0.0), FloatSub(8.0)], 0.5),
        ([Fraction(0), Fraction(8)], 0.5),
        ([Decimal(0), Decimal(8)], 0.5),
        ([-1.0, 3.0], 0.75),  # -1.0 is a value, not an error flag
        ([Floaty(-1.0), 3], 0.75),
    ],
)
def test_speech_rows(row, expected):
    assert match([row], SUB) == expected


def test_subtitle_rows_of_any_subscriptable():
    base = [[0, 10]]
    td = timedelta
    for other in ([(td(seconds=2), td(seconds=5))], [{0: td(seconds=2), 1: td(seconds=5)}],
                  [Pair(td(seconds=2), td(seconds=5))], [[td(seconds=2), td(seconds=5), None]]):
        assert match(base, other) == 0.3


def test_total_seconds_result_is_converted():
    assert match([[0, 10]], [[Clock(2), Clock(Floaty(5.0))]]) == 0.3


def test_timedelta_subclass_uses_its_own_total_seconds():
    class Shifted(timedelta):
        def total_seconds(self):
            return super().total_seconds() + 1

    assert match([[0, 10]], [[Shifted(seconds=1), Shifted(seconds=4)]]) == 0.3


def test_conversions_run_in_row_order():
    calls = []

    class Logged:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __float__(self):
            calls.append(self.name)
            return self.value

        def total_seconds(self):
            calls.append(self.name)
            return self.value

    base = [[Logged("b00", 0.0), Logged("b01", 1.0)], [Logged("b10", 2.0), Logged("b11", 3.0)]]
    other = [[Logged("o00", 0.0), Logged("o01", 1.0)], [Logged("o10", 2.0), Logged("o11", 3.0)]]
    match(base, other)
    assert calls == ["b00", "b01", "b10", "b11", "o00", "o01", "o10", "o11"]


def test_second_item_is_read_from_the_current_row(reports):
    # Item 1 is taken from the row that stands in the list after item 0 was converted.
    base = [[0.0, 99.0]]

    class Swap:
        def __float__(self):
            base[0] = [0.0, 10.0]
            return 0.0

    base[0][0] = Swap()
    assert match(base, [[timedelta(seconds=2), timedelta(seconds=5)]]) == 0.3
    assert not reports


@pytest.mark.parametrize("shrink_to", [0, 1])
def test_list_shrunk_during_conversion_is_not_read_past_its_end(reports, shrink_to):
    base = [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]

    class Shrink:
        def __float__(self):
            del base[shrink_to:]
            return 0.0

    base[0] = [Shrink(), 1.0]
    assert match(base, SUB) == 0.0
    assert type(reports[0].exc_value) is IndexError
    assert str(reports[0].exc_value) == "list index out of range"


def test_exact_float_results_match_oracle_for_mixed_types():
    base = [[0, 3], (1.5, Fraction(7, 2)), {0: True, 1: Indexy(9)}]
    other = [[timedelta(microseconds=1), timedelta(seconds=2, microseconds=7)]]
    assert oracle.bits(match(base, other)) == oracle.bits(
        oracle.match([[0, 3], [1.5, 3.5], [1, 9]], other)
    )
