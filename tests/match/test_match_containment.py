"""Failures while the tables are built are reported, never raised, and give 0.0."""

import signal
import sys
from datetime import timedelta

import pytest

from corvela.core.algo import match
from fakes import Raising
from isolated import describe, run_python

ONE = [[timedelta(seconds=0), timedelta(seconds=1)]]


@pytest.mark.parametrize(
    "base, other, kind, message",
    [
        ([], ONE, ValueError, "Invalid shape in axis 0: 0."),
        ([[0, 1]], [], ValueError, "Invalid shape in axis 0: 0."),
        ([], [], ValueError, "Invalid shape in axis 0: 0."),
        (None, [], TypeError, "object of type 'NoneType' has no len()"),
        ([[0, 1]], None, TypeError, "object of type 'NoneType' has no len()"),
        # Both lengths are measured before any table is made, both tables before any row read.
        ([], None, TypeError, "object of type 'NoneType' has no len()"),
        ([["a", "b"]], [], ValueError, "Invalid shape in axis 0: 0."),
        ([[0, 10]], [[1, 2]], AttributeError, "'int' object has no attribute 'total_seconds'"),
        ([[0, 10]], [[1.5, 2]], AttributeError, "'float' object has no attribute 'total_seconds'"),
        ([["a", "b"]], ONE, TypeError, "must be real number, not str"),
        ([[0, 2**1100]], ONE, OverflowError, "int too large to convert to float"),
        ([[0]], ONE, IndexError, "list index out of range"),
        ([(0,)], ONE, IndexError, "tuple index out of range"),
        ([[]], ONE, IndexError, "list index out of range"),
        ([5], ONE, TypeError, "'int' object is not subscriptable"),
        ([[0, 1]], [[timedelta(0)]], IndexError, "list index out of range"),
        ([[Raising(KeyError("k")), 1]], ONE, KeyError, "'k'"),
    ],
)
def test_failure_is_reported_and_contained(reports, capsys, base, other, kind, message):
    assert_contained(base, other, kind, message, reports, lambda: capsys.readouterr().err)


def assert_contained(base, other, kind, message, reports, stderr_text):
    assert match(base, other) == 0.0
    (report,) = reports
    assert type(report.exc_value) is kind
    assert str(report.exc_value) == message
    assert report.object == "corvela.core.algo.match"
    assert report.err_msg is None
    # The exception printer saw the same exception first.
    assert sys.last_value is report.exc_value
    assert sys.last_type is kind
    assert stderr_text().splitlines()[-1] == f"{kind.__name__}: {message}".rstrip(": ")


def test_keyboard_interrupt_is_contained_like_any_failure():
    # From 3.14 the interpreter remembers a KeyboardInterrupt that its printer has shown and,
    # once the script has finished, ends the process as Ctrl-C would (SIGINT, shell status
    # 130). So this case runs in a child, whose exit cannot mark the suite's own.
    proc = run_python("""
import io, sys
from fakes import Raising
from test_match_containment import ONE, assert_contained
reports = []
sys.unraisablehook = reports.append
sys.stderr = err = io.StringIO()
assert_contained([[0, Raising(KeyboardInterrupt())]], ONE, KeyboardInterrupt, "", reports,
                 err.getvalue)
sys.stderr = sys.__stderr__
print("went on")
""")
    assert proc.stdout == "went on\n", describe(proc)
    if sys.version_info >= (3, 14):
        # Killed by its own SIGINT, or exit status 130 where that signal cannot end it.
        assert proc.returncode in (-signal.SIGINT, 128 + signal.SIGINT), describe(proc)
    else:
        assert proc.returncode == 0, describe(proc)


def test_default_hook_prints_twice(capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    assert match([], ONE) == 0.0
    err = capsys.readouterr().err
    assert err.count("ValueError: Invalid shape in axis 0: 0.") == 2
    assert "Exception ignored in: 'corvela.core.algo.match'" in err


def test_user_code_frames_appear_in_traceback(reports):
    class Bad:
        def total_seconds(self):
            raise RuntimeError("broken clock")

    assert match([[0, 1]], [[Bad(), Bad()]]) == 0.0
    tb = reports[0].exc_traceback
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-1] == "total_seconds"


def test_nothing_pending_after_contained_failure(reports):
    results = [match(None, None) for _ in range(3)]
    # Reaching this line at all shows no exception was left pending.
    assert results == [0.0, 0.0, 0.0]
    assert len(reports) == 3


def test_failing_hook_does_not_escape(monkeypatch, capsys):
    def hook(args):
        raise RuntimeError("hook failed")

    monkeypatch.setattr(sys, "unraisablehook", hook)
    assert match([], []) == 0.0
    capsys.readouterr()
