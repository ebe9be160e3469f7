"""Import and interpreter hazards: second interpreters, reloads, aliases, warnings as errors,
storage failure, the recursion limit and SystemExit. Each runs in a child interpreter, since
what it tests is process state."""

import json
import os
import sys

import pytest

from isolated import describe, run_python

REFUSED = ("Interpreter change detected - this module can only be loaded into one interpreter "
           "per process.")
EXAMPLE = ("from datetime import timedelta as t\n"
           "assert match([[0.0, 10.0]], [[t(seconds=2), t(seconds=5)]]) == 0.3\n")


def run_ok(code, *args, **kwargs):
    proc = run_python(code, *args, **kwargs)
    assert proc.returncode == 0, describe(proc)
    return proc


# --- a second interpreter ---------------------------------------------------------------------

def subinterpreters():
    """(module name, how to create a legacy interpreter) for this CPython, or skip."""
    if sys.version_info >= (3, 13):
        name, create = "_interpreters", "I.create('legacy')"
    elif sys.version_info >= (3, 12):
        name, create = "_xxsubinterpreters", "I.create(isolated=False)"
    else:
        name, create = "_xxsubinterpreters", "I.create()"
    pytest.importorskip(name)
    return name, create


# The failure inside the other interpreter as "Type: message", on every version.
RUN_IN = """
def run_in(interp, code):
    try:
        failed = I.run_string(interp, code)
    except I.RunFailedError as exc:  # 3.9 to 3.12
        return str(exc).replace("<class 'ImportError'>", "ImportError")
    # 3.13 returns a summary of the failure instead of raising
    return failed and "%s: %s" % (failed.type.__name__, failed.msg)
"""


def test_second_interpreter_is_refused():
    name, create = subinterpreters()
    proc = run_ok("import %s as I\n%s\n" % (name, RUN_IN) + """
from corvela.core.algo import match
interp = %s
print(run_in(interp, "import corvela.core.algo"))
I.destroy(interp)
%s
""" % (create, EXAMPLE))
    assert proc.stdout.strip() == "ImportError: " + REFUSED


def test_first_interpreter_keeps_the_module_after_it_is_gone():
    # The interpreter that first loaded the module owns it for the life of the process.
    name, create = subinterpreters()
    proc = run_ok("import %s as I\n%s\n" % (name, RUN_IN) + """
interp = %s
code = "from corvela.core.algo import match\\n" + %r
print(run_in(interp, code))
I.destroy(interp)
try:
    import corvela.core.algo
except ImportError as exc:
    print(exc)
""" % (create, EXAMPLE))
    assert proc.stdout.split("\n")[:2] == [str(None), REFUSED]


def test_interpreter_is_recorded_even_when_the_first_import_fails():
    name, create = subinterpreters()
    proc = run_ok("import %s as I\n%s\n" % (name, RUN_IN) + """
import sys
sys.modules["datetime"] = None
try:
    import corvela.core.algo
except ImportError:
    pass
del sys.modules["datetime"]
print(run_in(%s, "import corvela.core.algo"))
""" % create)
    assert proc.stdout.strip() == "ImportError: " + REFUSED


@pytest.mark.skipif(sys.version_info < (3, 12), reason="own-GIL interpreters came in 3.12")
def test_isolated_interpreter_refuses_the_module_itself():
    name, _ = subinterpreters()
    proc = run_ok("import %s as I\n%s\n" % (name, RUN_IN) + """
import corvela.core.algo
print(run_in(I.create(), "import corvela.core.algo"))
""")
    assert "does not support loading in subinterpreters" in proc.stdout


# --- the same module, however it is imported again --------------------------------------------

def test_reload_returns_the_same_working_module():
    run_ok("""
import importlib
import corvela.core.algo as first
from corvela.core.algo import match
again = importlib.reload(first)
assert again is first and again.match is match and first.__test__ == {}
""" + EXAMPLE)


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    run_ok("""
import sys
import corvela.core.algo as first
del sys.modules["corvela.core.algo"]
import corvela.core.algo as again
assert again is first and sys.modules["corvela.core.algo"] is first
match = again.match
""" + EXAMPLE)


FILE_SPEC = """
import importlib.util, sys, os
import corvela.core
path = [os.path.join(p, f) for p in corvela.core.__path__ if os.path.isdir(p)
        for f in os.listdir(p) if f.startswith("algo.") and f.endswith(".so")][0]
spec = importlib.util.spec_from_file_location("algo", path)
"""


def test_file_imported_under_another_name_first_registers_itself():
    run_ok(FILE_SPEC + """
alias = importlib.util.module_from_spec(spec)
spec.loader.exec_module(alias)
assert alias.__name__ == "algo"
assert sys.modules["corvela.core.algo"] is alias
import corvela.core.algo as normal
assert normal is alias
match = alias.match
""" + EXAMPLE)


def test_file_imported_under_another_name_later_is_the_loaded_module():
    run_ok(FILE_SPEC + """
import corvela.core.algo as normal
alias = importlib.util.module_from_spec(spec)
spec.loader.exec_module(alias)
assert alias is normal and sys.modules["corvela.core.algo"] is normal
assert "algo" not in sys.modules
match = alias.match
""" + EXAMPLE)


@pytest.mark.parametrize("state", ["not executed", "initialisation failed"])
def test_match_of_a_module_without_recorded_initialisation(state):
    # The functions exist from creation on, before (or without) a successful exec slot; a
    # binding error then still gets its traceback entry, from the function's own module.
    proc = run_ok(FILE_SPEC + """
import traceback
failed = sys.argv[1] == "initialisation failed"
if failed:
    sys.modules["datetime"] = None
alias = importlib.util.module_from_spec(spec)
if failed:
    try:
        spec.loader.exec_module(alias)
    except ImportError:
        pass
    del sys.modules["datetime"]
try:
    alias.match()
except TypeError as exc:
    print(exc, [f.name for f in traceback.extract_tb(exc.__traceback__)][-1])
match = alias.match
""" + EXAMPLE, state)
    assert proc.stdout.strip() == (
        "match() takes exactly 2 positional arguments (0 given) corvela.core.algo.match")


@pytest.mark.parametrize("flags", [("-W", "error"), ("-X", "dev", "-W", "error")])
def test_import_with_warnings_as_errors(flags):
    run_ok("from corvela.core.algo import match\n" + EXAMPLE, flags=flags)


FIRST_IMPORT = {
    "normal": "import corvela.core.algo",
    # Under another name the module enters itself in sys.modules as corvela.core.algo; a
    # failed initialisation must take that entry back out.
    "alias": FILE_SPEC + "spec.loader.exec_module(importlib.util.module_from_spec(spec))",
}


@pytest.mark.parametrize("first", sorted(FIRST_IMPORT))
def test_failed_first_import_can_be_retried(first):
    proc = run_ok("""
import sys, traceback
sys.modules["datetime"] = None  # the import of datetime during initialisation fails
try:
%s
except ImportError as exc:
    print(type(exc).__name__, [f.name for f in traceback.extract_tb(exc.__traceback__)][-1:])
del sys.modules["datetime"]
assert "corvela.core.algo" not in sys.modules
import corvela.core.algo
assert corvela.core.algo.__test__ == {}
from corvela.core.algo import match
""" % "\n".join("    " + line for line in FIRST_IMPORT[first].strip().splitlines()) + EXAMPLE)
    assert proc.stdout.splitlines()[0] == "ModuleNotFoundError ['init corvela.core.algo']"


# --- storage, recursion limit, SystemExit ------------------------------------------------------

CONTAINED = """
import json, sys, io
from corvela.core.algo import match
reports = []
sys.unraisablehook = lambda u: reports.append([type(u.exc_value).__name__, str(u.exc_value)])
sys.stderr = io.StringIO()
"""


@pytest.mark.parametrize("big", ["base", "other"])
def test_table_storage_failure_is_contained(big):
    # The lists exist first; then the address space is capped just below what one table of
    # 2**20 rows (16 MiB) needs.
    proc = run_ok(CONTAINED + """
import resource
from datetime import timedelta
rows = 2**20
base = [[0.0, 1.0]] * (rows if sys.argv[1] == "base" else 1)
other = [[timedelta(0), timedelta(1)]] * (rows if sys.argv[1] == "other" else 1)
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped + rows * 8, hard))
result = match(base, other)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(json.dumps([result, reports]))
""", big, env=sanitizer_may_fail_allocations())
    assert json.loads(proc.stdout) == [0.0, [["MemoryError", "unable to allocate array data."]]]


def sanitizer_may_fail_allocations():
    # Under the sanitizer build, a failed allocation must come back as NULL, not abort.
    options = os.environ.get("ASAN_OPTIONS", "")
    return {"ASAN_OPTIONS": ":".join(filter(None, [options, "allocator_may_return_null=1"]))}


RECURSION = CONTAINED + """
from datetime import timedelta

class PyDelta(timedelta):
    def total_seconds(self):
        return super().total_seconds()

base = [[0.0, 10.0]]
other = [[timedelta(seconds=2), timedelta(seconds=5)]]
if sys.argv[1] == "python":
    other = [[PyDelta(seconds=2), timedelta(seconds=5)]]

def attempt(call):
    # 'raised': the call itself was refused; else the result and what the printer recorded.
    for name in ("last_value", "last_exc"):
        if hasattr(sys, name):
            delattr(sys, name)
    try:
        result = call()
    except RecursionError:
        return "raised"
    last = getattr(sys, "last_value", None)
    return [repr(result), last and type(last).__name__]

outcomes = []
"""


def check_recursion_outcomes(outcomes):
    assert ["0.0", "RecursionError"] in outcomes, outcomes
    assert all(o in ("raised", ["0.3", None], ["0.0", "RecursionError"]) for o in outcomes)


@pytest.mark.parametrize("durations", ["exact", "python"])
def test_call_nested_in_native_calls_near_the_limit(durations):
    # Layers of next(map(...)) add one native call level each on every version, so sweeping
    # the depth across the limit finds the level where match() itself is entered but its own
    # total_seconds() call is not.
    proc = run_ok(RECURSION + """
def through(depth):
    it = map(match, [base], [other])
    for _ in range(depth):
        it = map(next, [it])
    return next(it)

def deepest():
    low, high = 0, 10**5
    while low < high:
        mid = (low + high + 1) // 2
        try:
            through_plain(mid)
        except TypeError:
            low = mid
        except RecursionError:
            high = mid - 1
    return low

def through_plain(depth):
    # The same nesting around a call that fails in the entry without calling anything.
    it = map(match, [1], [2])
    for _ in range(depth):
        it = map(next, [it])
    return next(it)

top = deepest()
for depth in range(top - 3, top + 4):
    outcomes.append(attempt(lambda: through(depth)))
print(json.dumps(outcomes))
""", durations)
    check_recursion_outcomes(json.loads(proc.stdout.splitlines()[-1]))


def test_recursive_python_caller_near_the_limit():
    # Each level adds one Python frame; the levels nearest the limit can still enter match()
    # but not the Python-level total_seconds() it calls.
    proc = run_ok(RECURSION + """
def dive():
    outcomes.append(attempt(lambda: match(base, other)))
    dive()

try:
    dive()
except RecursionError:
    pass
print(json.dumps(outcomes[-6:]))
""", "python")
    check_recursion_outcomes(json.loads(proc.stdout.splitlines()[-1]))


def test_system_exit_in_a_conversion_ends_the_process():
    proc = run_python("""
from datetime import timedelta
from corvela.core.algo import match

class Leave:
    def __float__(self):
        raise SystemExit(7)

match([[Leave(), 1.0]], [[timedelta(0), timedelta(1)]])
print("still running")
""")
    assert proc.returncode == 7, describe(proc)
    assert "still running" not in proc.stdout


def test_pure_python_datetime():
    # Without the C datetime, timedelta is a Python class of another size: the import warns
    # about the sizes, and every bound goes through its Python total_seconds().
    proc = run_ok("""
import sys, warnings
sys.modules["_datetime"] = None
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    from corvela.core.algo import match
print(sorted({str(w.message).split(" size changed")[0] for w in caught}))
from datetime import timedelta as t
assert not hasattr(sys.modules["datetime"], "datetime_CAPI")  # really the Python one
import oracle
base = [[0.0, 10.0], (2.5, 7.25)]
other = [[t(seconds=2), t(seconds=5)], (t(microseconds=2**53 + 1), t.max), (t.min, t(0))]
assert oracle.bits(match(base, other)) == oracle.bits(oracle.match(base, other))
""")
    assert "datetime.timedelta" in proc.stdout
