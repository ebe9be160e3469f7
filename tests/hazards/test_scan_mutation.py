"""User code that changes the inputs while coverage() reads them: no crash, no stale read.

A list whose size changes while it is read raises RuntimeError; a change that leaves the sizes
alone gives the per-offset loop's result for what was read. Each scenario runs in a child
interpreter with the allocator's debug hooks (see isolated.py).
"""

import json
from datetime import timedelta

import pytest

from isolated import child_outcome, describe
from test_hostile_mutation import FinalisedRow, OnFloat, OnIndex, Row, s

OFFSETS = [timedelta(seconds=-1), timedelta(0), timedelta(seconds=2)]


def plain_other():
    return [[s(1), s(3)], [s(5), s(8)]]


def changed(name):
    return ("RuntimeError", f"{name} changed size while coverage() read it")


def float_clears_base():
    base = []
    base += [[OnFloat(0.0, base.clear), 4.0], [2.0, 6.0]]
    return base, plain_other(), OFFSETS, changed("base")


def index_clears_other_and_offsets():
    other, offsets = plain_other(), list(OFFSETS)

    def clear():
        other.clear()
        offsets.clear()

    return [[0.0, OnIndex(4, clear)]], other, offsets, changed("other")


def float_empties_offsets_only():
    offsets = list(OFFSETS)
    reads = ([[0.0, 4.0]], plain_other(), [])
    return [[OnFloat(0.0, offsets.clear), 4.0]], plain_other(), offsets, reads


def getitem_replaces_its_own_row():
    # The row is held while it is read: its items are the old row's.
    other = plain_other()
    other[1] = Row([s(5), s(8)], {0: lambda: other.__setitem__(1, [s(0), s(9)])})
    return [[0.0, 4.0]], other, OFFSETS, ([[0.0, 4.0]], plain_other(), OFFSETS)


def finaliser_of_dropped_row_clears_base():
    # The row's own conversion takes it out of base, so coverage() drops the last reference.
    base = []
    row = FinalisedRow([OnFloat(1.0, lambda: base.__setitem__(1, [1.0, 2.0])), 2.0], base.clear)
    base += [[0.0, 4.0], row]
    del row
    return base, plain_other(), OFFSETS, changed("base")


SCENARIOS = {fn.__name__: fn for fn in (
    float_clears_base, index_clears_other_and_offsets, float_empties_offsets_only,
    getitem_replaces_its_own_row, finaliser_of_dropped_row_clears_base)}


def child(name):
    """Runs one scenario and prints what coverage() gave and what was due."""
    from test_hostile_mutation import churn
    from offset_loop import loop_bits
    from corvela.core.scan import coverage

    import oracle

    base, other, offsets, due = SCENARIOS[name]()
    try:
        got = [oracle.bits(value) for value in coverage(base, other, offsets)]
    except Exception as exc:
        # A size message goes on with the sizes: its start is what is due.
        got = [type(exc).__name__, str(exc)[:len(due[-1])]]
    del base, other, offsets
    churn()
    if len(due) == 3:
        due = loop_bits(*due)
    print(json.dumps({"got": got, "due": due}))


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_mutation_while_coverage_reads(name):
    outcome, proc = child_outcome('test_scan_mutation', name)
    assert outcome["got"] == outcome["due"], describe(proc)
