"""Whole calls large enough for match() to take the indexed engine, against the oracle.

The native differential test and fuzzer prove the engines equal on tables; these check that
the module hands the tables over intact, whichever engine the call ends up in.
"""
import math
import random
from datetime import timedelta

import pytest

from corvela.core import algo

import oracle


def realistic(rng, rows, speech):
    out, t = [], rng.uniform(0, 5)
    for _ in range(rows):
        t += rng.uniform(0.1, 3.0)
        length = rng.uniform(0.3, 6.0)
        out.append([t, t + length] if speech else [t, t + length])
        t += length
    return out


def as_timedeltas(rows):
    return [[timedelta(seconds=s), timedelta(seconds=e)] for s, e in rows]


def shapes():
    rng = random.Random(20240)
    sorted_base, sorted_other = realistic(rng, 400, True), realistic(rng, 300, False)
    yield "sorted", sorted_base, sorted_other
    shuffled_base, shuffled_other = list(sorted_base), list(sorted_other)
    rng.shuffle(shuffled_base)
    rng.shuffle(shuffled_other)
    yield "shuffled", shuffled_base, shuffled_other
    long_rows = [[s, s + rng.uniform(20, 200)] for s, _ in sorted_other]
    yield "overlapping", sorted_base, long_rows
    yield "all_overlap", [[rng.uniform(40, 50), rng.uniform(50, 60)] for _ in range(200)], \
        [[rng.uniform(0, 40), rng.uniform(60, 100)] for _ in range(150)]
    # Inverted, repeated and touching rows, and speech bounds no timedelta can hold.
    def short_rows(count):
        return [[a, a + rng.randint(-2, 3)] for a in (rng.randint(-3, 300) for _ in range(count))]

    grid = short_rows(300)
    special = [row[:] for row in grid]
    special[7] = [math.inf, 5.0]
    special[150] = [-0.0, math.nan]
    yield "grid", grid, short_rows(257)
    yield "special", special, grid[:256]


@pytest.mark.parametrize("base, other", [pytest.param(b, o, id=name) for name, b, o in shapes()])
def test_match_agrees_with_oracle(base, other):
    subtitles = as_timedeltas(other)
    assert oracle.bits(algo.match(base, subtitles)) == oracle.bits(oracle.match(base, subtitles))
