"""The coverage ratio: hand-computed cases and a differential check against the oracle."""

import math
import os
import random
from datetime import timedelta

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oracle
from fakes import Clock
from match_cases import CASES
from corvela.core.algo import match

inf = math.inf
nan = math.nan


def subtitles(rows):
    return [[Clock(start), Clock(end)] for start, end in rows]


@pytest.mark.parametrize(
    "base, other, expected", [case[1:] for case in CASES], ids=[case[0] for case in CASES]
)
def test_hand_computed(base, other, expected):
    got = match(base, subtitles(other))
    assert oracle.bits(got) == oracle.bits(expected)
    assert oracle.bits(got) == oracle.bits(oracle.match(base, subtitles(other)))


def test_timedelta_example():
    other = [[timedelta(seconds=2), timedelta(seconds=5)]]
    assert match([[0.0, 10.0]], other) == 0.3
    assert match(base=[[0, 10]], other=other) == 0.3


# Values are drawn from a small pool so that intervals touch, nest and repeat often.
special = st.sampled_from([nan, inf, -inf, 0.0, -0.0, 1e308, -1e308, 5e-324])
plain = st.one_of(
    st.integers(-20, 40).map(float),
    st.integers(-200, 400).map(lambda k: k / 10),
    st.floats(-1e3, 1e3, allow_nan=False),
)
bound = st.one_of(plain, plain, plain, special)


@st.composite
def interval_rows(draw):
    rows = draw(st.lists(st.tuples(bound, bound), min_size=1, max_size=12))
    if draw(st.booleans()):
        rows += draw(st.lists(st.sampled_from(rows), max_size=4))  # duplicates
    if draw(st.booleans()):
        draw(st.randoms(use_true_random=False)).shuffle(rows)
    return rows


durations = st.one_of(
    st.integers(-10**7, 4 * 10**7).map(lambda us: timedelta(microseconds=us)),
    st.timedeltas(),
)


# The full run takes about a minute and a half: the suite makes it on one interpreter (the
# newest of the host) and a few hundred examples elsewhere.
DIFFERENTIAL_EXAMPLES = int(os.environ.get("CORVELA_DIFFERENTIAL_EXAMPLES", "300"))


@settings(max_examples=DIFFERENTIAL_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(base=interval_rows(), other=interval_rows(), as_timedelta=st.booleans())
def test_matches_oracle(base, other, as_timedelta):
    if as_timedelta:
        # Real timedeltas cannot be NaN or infinite: replace such bounds with whole seconds.
        other_in = [
            [timedelta(seconds=s if math.isfinite(s) and abs(s) < 1e9 else 7),
             timedelta(seconds=e if math.isfinite(e) and abs(e) < 1e9 else 3)]
            for s, e in other
        ]
    else:
        other_in = subtitles(other)
    expected = oracle.match(base, other_in)
    assert oracle.bits(match(base, other_in)) == oracle.bits(expected)


@settings(max_examples=300, deadline=None)
@given(st.lists(durations, min_size=2, max_size=20), st.data())
def test_matches_oracle_on_timedeltas(values, data):
    other = [values[i : i + 2] for i in range(0, len(values) - 1, 2)]
    base = data.draw(st.lists(st.tuples(plain, plain), min_size=1, max_size=8))
    assert oracle.bits(match(base, other)) == oracle.bits(oracle.match(base, other))


def test_large_random_input_matches_oracle():
    rng = random.Random(20261208)
    base = [[s, s + rng.uniform(-1, 5)] for s in (rng.uniform(0, 500) for _ in range(300))]
    other = [
        [timedelta(microseconds=us), timedelta(microseconds=us + rng.randint(0, 4_000_000))]
        for us in (rng.randint(0, 500_000_000) for _ in range(200))
    ]
    assert oracle.bits(match(base, other)) == oracle.bits(oracle.match(base, other))
