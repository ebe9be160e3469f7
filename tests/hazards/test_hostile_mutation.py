"""User code that changes the inputs while match() is reading them.

Every conversion (__float__, __index__, a row's __getitem__, total_seconds, and the finaliser of
whatever match() lets go of) can clear, shrink, extend or rebind items of base and other, and
can drop the last reference to the row or item in hand. match() must neither crash nor read
freed memory or rows past the list's current end: a row index that has fallen off the end is a
contained IndexError, and where nothing read became invalid the result is exact for the values
actually read.

Each scenario runs in its own child interpreter (see isolated.py), so a crash fails only it.
"""

import gc
import io
import json
import sys
from datetime import timedelta

import pytest

import oracle
from isolated import child_outcome, describe, run_python


def s(seconds):
    return timedelta(seconds=seconds)


def churn():
    """Collects garbage and reuses freed blocks, so a stale pointer would see other data."""
    gc.collect()
    return [[float(i), float(-i)] for i in range(2000)]


def fire(action):
    """Runs a scenario's action, if it has one, then churns the heap."""
    if action:
        action()
        churn()


class OnFloat:
    """A number whose __float__ runs `action` (once) before giving `value`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        action, self.action = self.action, None
        fire(action)
        return self.value


class OnIndex:
    """An integer-like number whose __index__ runs `action` (once)."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        action, self.action = self.action, None
        fire(action)
        return self.value


class Row:
    """A row read through __getitem__, which runs `actions[k]` when item k is taken."""

    def __init__(self, items, actions):
        self.items, self.actions = list(items), dict(actions)

    def __getitem__(self, k):
        action = self.actions.pop(k, None)
        fire(action)
        return self.items[k]


class MappingRow(dict):
    """A dict row: read by general subscription, which runs `action` on first use."""

    def __init__(self, items, action):
        super().__init__(enumerate(items))
        self.action = action

    def __getitem__(self, k):
        action, self.action = self.action, None
        fire(action)
        return super().__getitem__(k)


class Duration(timedelta):
    """A timedelta whose total_seconds runs an action first."""

    def total_seconds(self):
        action = ACTIONS.pop(id(self), None)
        fire(action)
        return super().total_seconds()


# timedelta subclasses cannot carry extra slots cheaply; their actions live here by id.
ACTIONS = {}


def duration(seconds, action):
    d = Duration(seconds=seconds)
    ACTIONS[id(d)] = action
    return d


class Seconds:
    """A total_seconds() result whose conversion runs `on_float` and whose release runs
    `on_del`."""

    def __init__(self, value, on_float=None, on_del=None):
        self.value, self.on_float, self.on_del = value, on_float, on_del

    def __float__(self):
        action, self.on_float = self.on_float, None
        fire(action)
        return self.value

    def __del__(self):
        if self.on_del:
            self.on_del()


class Clock:
    """A bound whose total_seconds() returns a Seconds object (made on each call)."""

    def __init__(self, value, on_float=None, on_del=None):
        self.value, self.on_float, self.on_del = value, on_float, on_del

    def total_seconds(self):
        result = Seconds(self.value, self.on_float, self.on_del)
        self.on_float = self.on_del = None
        return result


class Finalised:
    """A number that removes itself from its row when converted, so that match() holds the
    last reference; releasing it runs `on_del`."""

    def __init__(self, value, row, k, on_del):
        self.value, self.row, self.k, self.on_del = value, row, k, on_del

    def __float__(self):
        row, self.row = self.row, None
        row[self.k] = 0.0
        return self.value

    def __del__(self):
        self.on_del()
        churn()


class FinalisedRow:
    """A row object with a finaliser (exact lists cannot have one)."""

    def __init__(self, items, on_del):
        self.items, self.on_del = items, on_del

    def __getitem__(self, k):
        return self.items[k]

    def __del__(self):
        self.on_del()
        churn()


class Raises:
    def __init__(self, kind, message):
        self.kind, self.message = kind, message


class Reads:
    """The result must be the oracle's for these rows: what match() had to read."""

    def __init__(self, base_rows, other_rows):
        self.base_rows, self.other_rows = base_rows, other_rows


OUT_OF_RANGE = Raises("IndexError", "list index out of range")

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def plain_other():
    return [[s(1), s(3)], [s(5), s(8)]]


OTHER_READ = [(1.0, 3.0), (5.0, 8.0)]


# --- __float__ on items of base ---------------------------------------------------------------

@scenario
def float_clears_base_before_second_item():
    base = []
    base += [[OnFloat(0.0, base.clear), 4.0], [2.0, 6.0]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def float_clears_base_on_last_item():
    base = []
    base += [[0.0, 4.0], [2.0, OnFloat(6.0, base.clear)]]
    return base, plain_other(), Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ)


@scenario
def float_shrinks_base_below_next_row():
    base = []
    base += [[0.0, OnFloat(4.0, lambda: base.__delitem__(slice(1, None)))], [2.0, 6.0]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def float_removes_read_row_so_last_row_falls_off():
    base = []
    base += [[0.0, OnFloat(4.0, lambda: base.pop(0))], [2.0, 6.0], [7.0, 9.0]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def float_removes_read_row_on_last_item():
    base = []
    base += [[0.0, 4.0], [2.0, OnFloat(6.0, lambda: base.pop(0))]]
    return base, plain_other(), Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ)


@scenario
def float_extends_base():
    base = []
    base += [[OnFloat(0.0, lambda: base.extend([[50.0, 60.0]] * 100)), 4.0], [2.0, 6.0]]
    return base, plain_other(), Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ)


@scenario
def float_replaces_current_row():
    # The old row loses its last list reference; item 1 comes from the new row.
    base = []
    base += [[OnFloat(0.0, lambda: base.__setitem__(0, [100.0, 7.0])), 4.0], [2.0, 6.0]]
    return base, plain_other(), Reads([(0.0, 7.0), (2.0, 6.0)], OTHER_READ)


@scenario
def float_replaces_next_row():
    base = []
    base += [[0.0, OnFloat(4.0, lambda: base.__setitem__(1, (3.0, 9.5)))], [2.0, 6.0]]
    return base, plain_other(), Reads([(0.0, 4.0), (3.0, 9.5)], OTHER_READ)


@scenario
def float_clears_its_own_row():
    row = []
    row += [OnFloat(0.0, row.clear), 4.0]
    return [row, [2.0, 6.0]], plain_other(), OUT_OF_RANGE


@scenario
def float_rewrites_its_own_row():
    row = []
    row += [OnFloat(0.0, lambda: row.__setitem__(1, 5.5)), 4.0]
    return [row, [2.0, 6.0]], plain_other(), Reads([(0.0, 5.5), (2.0, 6.0)], OTHER_READ)


@scenario
def float_drops_last_reference_to_itself():
    # The item is referenced only by its row, which the conversion rewrites.
    row = [None, 4.0]
    row[0] = OnFloat(1.5, lambda: row.__setitem__(0, None))
    return [row], plain_other(), Reads([(1.5, 4.0)], OTHER_READ)


@scenario
def float_clears_other_before_it_is_read():
    other = plain_other()
    return [[OnFloat(0.0, other.clear), 4.0]], other, OUT_OF_RANGE


@scenario
def float_replaces_rows_of_other():
    other = plain_other()

    def swap():
        other[0] = (s(0), s(2))
        other[1] = [s(3), s(9)]

    return [[OnFloat(0.0, swap), 4.0]], other, Reads([(0.0, 4.0)], [(0.0, 2.0), (3.0, 9.0)])


@scenario
def float_clears_base_then_raises():
    # The user's own exception is the one reported, not a later out-of-range read.
    base = []

    def clear_and_fail():
        base.clear()
        raise ArithmeticError("after clearing")

    base += [[OnFloat(0.0, clear_and_fail), 4.0], [2.0, 6.0]]
    return base, plain_other(), Raises("ArithmeticError", "after clearing")


@scenario
def float_reenters_match_on_the_same_lists():
    # A nested call reads (and converts) the same lists while the outer one is half-way.
    from corvela.core.algo import match

    base, other, inner = [], plain_other(), []
    base += [[0.0, OnFloat(4.0, lambda: inner.append(match(base, other)))], [2.0, 6.0]]
    return base, other, Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ)


@scenario
def float_clears_the_keyword_arguments():
    # A caller in C can hand its own keyword dict to the entry (Python's f(**d) always passes
    # a copy): clearing it drops the last reference to both lists while they are being read.
    kwargs = {}
    base = [[OnFloat(0.0, kwargs.clear), 4.0], [2.0, 6.0]]
    kwargs.update(base=base, other=plain_other())
    return None, None, Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ), kwargs


# --- __index__ --------------------------------------------------------------------------------

@scenario
def index_clears_base():
    base = []
    base += [[0, 4], [OnIndex(2, base.clear), 6]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def index_shrinks_base_below_last_row():
    base = []
    base += [[0, 4], [2, OnIndex(6, lambda: base.__delitem__(slice(2, None)))], [7, 9]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def index_replaces_next_row():
    base = []
    base += [[OnIndex(0, lambda: base.__setitem__(1, [1, 2])), 4], [2, 6]]
    return base, plain_other(), Reads([(0.0, 4.0), (1.0, 2.0)], OTHER_READ)


# --- a row's __getitem__ ----------------------------------------------------------------------

@scenario
def getitem_clears_base_before_second_item():
    base = []
    base += [Row([0.0, 4.0], {0: base.clear})]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def getitem_clears_base_on_last_item():
    base = []
    base += [[0.0, 4.0], Row([2.0, 6.0], {1: base.clear})]
    return base, plain_other(), Reads([(0.0, 4.0), (2.0, 6.0)], OTHER_READ)


@scenario
def getitem_removes_its_own_row():
    # The row survives on match()'s reference; item 1 is taken from what is now row 0.
    base = []
    base += [Row([0.0, 4.0], {0: lambda: base.pop(0)}), [2.0, 6.0]]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def getitem_replaces_its_own_row():
    base = []
    base += [Row([0.0, 4.0], {0: lambda: base.__setitem__(0, (9.0, 3.0))})]
    return base, plain_other(), Reads([(0.0, 3.0)], OTHER_READ)


@scenario
def getitem_of_mapping_row_clears_base():
    base = []
    base += [MappingRow([0.0, 4.0], base.clear)]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def getitem_of_other_row_clears_other():
    other = []
    other += [Row([s(1), s(3)], {0: other.clear})]
    return [[0.0, 4.0]], other, OUT_OF_RANGE


@scenario
def getitem_of_other_row_extends_other():
    other = []
    other += [Row([s(1), s(3)], {1: lambda: other.extend(plain_other())})]
    return [[0.0, 4.0]], other, Reads([(0.0, 4.0)], [(1.0, 3.0)])


# --- total_seconds ----------------------------------------------------------------------------

@scenario
def total_seconds_clears_other_before_second_item():
    other = []
    other += [[duration(1, other.clear), s(3)]]
    return [[0.0, 4.0]], other, OUT_OF_RANGE


@scenario
def total_seconds_clears_other_on_last_item():
    other = []
    other += [[s(1), s(3)], (s(5), duration(8, other.clear))]
    return [[0.0, 6.0]], other, Reads([(0.0, 6.0)], OTHER_READ)


@scenario
def total_seconds_shrinks_other():
    other = []
    other += [[s(1), duration(3, lambda: other.pop())], [s(5), s(8)]]
    return [[0.0, 6.0]], other, OUT_OF_RANGE


@scenario
def total_seconds_extends_other():
    other = []
    other += [[duration(1, lambda: other.extend(plain_other() * 50)), s(3)]]
    return [[0.0, 6.0]], other, Reads([(0.0, 6.0)], [(1.0, 3.0)])


@scenario
def total_seconds_replaces_current_row():
    # The tuple row loses its last reference while its item 0 is being asked.
    other = []
    other += [(duration(1, lambda: other.__setitem__(0, [s(0), s(2.5)])), s(3))]
    return [[0.0, 6.0]], other, Reads([(0.0, 6.0)], [(1.0, 2.5)])


@scenario
def total_seconds_replaces_next_row():
    other = []
    other += [[s(1), duration(3, lambda: other.__setitem__(1, (s(4), s(4.5))))], [s(5), s(8)]]
    return [[0.0, 6.0]], other, Reads([(0.0, 6.0)], [(1.0, 3.0), (4.0, 4.5)])


@scenario
def total_seconds_clears_base_after_it_was_read():
    base = [[0.0, 6.0], [1.0, 2.0]]
    other = [[duration(1, base.clear), s(3)]]
    return base, other, Reads([(0.0, 6.0), (1.0, 2.0)], [(1.0, 3.0)])


@scenario
def total_seconds_result_conversion_clears_other():
    other = []
    other += [[Clock(1.0, on_float=other.clear), s(3)]]
    return [[0.0, 6.0]], other, OUT_OF_RANGE


# --- finalisers of what match() lets go of ----------------------------------------------------

@scenario
def finaliser_of_released_item_clears_base():
    base = []
    row = [None, 4.0]
    row[0] = Finalised(1.0, row, 0, base.clear)
    base += [row]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def finaliser_of_released_item_replaces_next_row():
    base = []
    row = [None, 4.0]
    row[0] = Finalised(1.0, row, 0, lambda: base.__setitem__(1, [2.5, 3.5]))
    base += [row, [2.0, 6.0]]
    return base, plain_other(), Reads([(1.0, 4.0), (2.5, 3.5)], OTHER_READ)


@scenario
def finaliser_of_released_row_clears_base():
    # Converting item 0 rebinds base[0]; releasing the old row afterwards runs its finaliser.
    base = []
    items = [OnFloat(0.0, lambda: base.__setitem__(0, [0.0, 4.0])), 4.0]
    base += [FinalisedRow(items, base.clear)]
    return base, plain_other(), OUT_OF_RANGE


@scenario
def finaliser_of_total_seconds_result_clears_other():
    other = []
    other += [[Clock(1.0, on_del=other.clear), s(3)]]
    return [[0.0, 6.0]], other, OUT_OF_RANGE


@scenario
def finaliser_of_total_seconds_result_extends_other():
    other = []
    other += [[s(1), Clock(3.0, on_del=lambda: other.append([s(9), s(9)]))]]
    return [[0.0, 6.0]], other, Reads([(0.0, 6.0)], [(1.0, 3.0)])


@scenario
def finaliser_of_collected_cycle_clears_base():
    # A collection started by user code finalises unrelated garbage, which mutates base.
    base = []

    class Cycle:
        def __del__(self):
            base.clear()

    def make_garbage():
        c = Cycle()
        c.self = c

    base += [[OnFloat(0.0, make_garbage), 4.0], [2.0, 6.0]]
    return base, plain_other(), OUT_OF_RANGE


# --- the child side ---------------------------------------------------------------------------

def call_from_c(fn, kwargs):
    """fn(**kwargs) as C code makes it, handing over the dict itself."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(fn, (), kwargs)


def child_all():
    """Runs every scenario in this process (for memcheck runs); exits 1 on any difference."""
    failed = 0
    for name in sorted(SCENARIOS):
        out = io.StringIO()
        saved, sys.stdout = sys.stdout, out
        try:
            child(name)
        finally:
            sys.stdout = saved
        outcome = json.loads(out.getvalue())
        if outcome["got"] != outcome["due"]:
            print(name, outcome)
            failed += 1
    print("%d scenarios, %d failed" % (len(SCENARIOS), failed))
    sys.exit(1 if failed else 0)


def child(name):
    """Runs one scenario and prints what match() returned and reported, and what was due."""
    from corvela.core.algo import match

    base, other, expect, *keywords = SCENARIOS[name]()
    reports = []
    saved = sys.unraisablehook, sys.stderr
    sys.unraisablehook = lambda u: reports.append([u.exc_type.__name__, str(u.exc_value)])
    sys.stderr = io.StringIO()
    try:
        result = call_from_c(match, keywords[0]) if keywords else match(base, other)
    finally:
        sys.unraisablehook, sys.stderr = saved
    del base, other
    churn()
    if isinstance(expect, Raises):
        due = {"bits": oracle.bits(0.0), "reports": [[expect.kind, expect.message]]}
    else:
        total = 0.0
        for start, end in expect.base_rows:
            total = (end - start) + total
        ratio = oracle.overlap_ratio(expect.base_rows, expect.other_rows, total)
        due = {"bits": oracle.bits(ratio), "reports": []}
    got = {"bits": oracle.bits(result), "reports": reports}
    print(json.dumps({"got": got, "due": due}))


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_mutation_during_conversion(name):
    outcome, proc = child_outcome('test_hostile_mutation', name)
    assert outcome["got"] == outcome["due"], describe(proc)



def test_report_hooks_that_change_the_inputs_and_call_again():
    # The printer and the unraisable hook run Python code after the failure, before match()
    # has released its tables: they can change the inputs and call match() again.
    proc = run_python("""
import sys, io
from datetime import timedelta
from corvela.core.algo import match

base = [[0.0, 4.0], [2.0, "x"]]
other = [[timedelta(0), timedelta(seconds=3)]]
seen = []

def excepthook(kind, value, tb):
    seen.append(("printer", kind.__name__))
    base.clear()
    other[:] = [[timedelta(1), timedelta(2)]] * 3
    if len(seen) < 4:
        seen.append(("nested", match(base, other)))

def unraisablehook(unraisable):
    seen.append(("hook", unraisable.exc_type.__name__))
    base[:] = [[5.0, 6.0]]
    seen.append(("nested", match(base, other)))

sys.excepthook, sys.unraisablehook = excepthook, unraisablehook
sys.stderr = io.StringIO()
import json
print(json.dumps([match(base, other), seen]))
""")
    assert proc.returncode == 0, describe(proc)
    result, seen = json.loads(proc.stdout)
    # The outer failure reaches both hooks; each nested call gives 0.0, as a contained failure
    # (base emptied) or as a result (no overlap with the new subtitle rows).
    assert result == 0.0
    assert seen[0] == ["printer", "TypeError"] and ["hook", "TypeError"] in seen
    assert all(value == 0.0 for what, value in seen if what == "nested")


# --- hostile keyword names ----------------------------------------------------------------------
#
# Binding looks the keywords up in the dictionary it was handed, and a lookup compares keys with
# their __eq__: a str subclass can run Python there and rebind, delete or clear entries, dropping
# the dictionary's reference to a list already bound. The dictionary is the caller's own when the
# call comes from C, and a copy (reached here through the garbage collector) when it comes from
# Python. The lists are referenced by nothing but the dictionaries, so a binding that did not own
# them would read freed memory.

KEYWORD_CHILD = """
import gc, json, sys
from datetime import timedelta
from corvela.core.algo import match
from test_hostile_mutation import call_from_c, churn

hook, action, caller = sys.argv[1:]

class Key(str):
    armed = False

    def fire(self, when):
        if self.armed and hook == when:
            self.armed = False
            for d in gc.get_referrers(self):
                if type(d) is dict and any(k is self for k in list(d)):
                    if action == "raise":
                        raise LookupError("key compared")
                    if action == "rebind":
                        d["base"] = [[5.0, 6.0]]
                    elif action == "delete":
                        del d["base"]
                    else:
                        d.clear()
            churn()

    def __hash__(self):
        self.fire("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        self.fire("eq")
        return str.__eq__(self, other)

key = Key("other")
kwargs = {"base": [[0.0, 10.0]]}
kwargs[key] = [[timedelta(seconds=2), timedelta(seconds=5)]]
key.armed = True
try:
    result = call_from_c(match, kwargs) if caller == "c" else match(**kwargs)
    outcome = ["result", result]
except Exception as e:
    outcome = [type(e).__name__, str(e)]
del kwargs
churn()
print(json.dumps(outcome))
"""

ONE_GIVEN = ["TypeError", "match() takes exactly 2 positional arguments (1 given)"]


@pytest.mark.parametrize("caller", ["python", "c"])
@pytest.mark.parametrize("hook, action, expected", [
    # base was bound before other's lookup ran the key's code: the call goes on with it.
    ("eq", "rebind", ["result", 0.3]),
    ("eq", "delete", ["result", 0.3]),
    # The lookup starts again on the changed dictionary and finds no other.
    ("eq", "clear", ONE_GIVEN),
    ("eq", "raise", ["LookupError", "key compared"]),
    # A dictionary keeps each key's hash: binding never asks for it again.
    ("hash", "clear", ["result", 0.3]),
])
def test_keyword_names_that_change_the_keywords(hook, action, expected, caller):
    proc = run_python(KEYWORD_CHILD, hook, action, caller)
    assert proc.returncode == 0, describe(proc)
    assert json.loads(proc.stdout.splitlines()[-1]) == expected, describe(proc)
