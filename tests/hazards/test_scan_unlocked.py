"""coverage(), best_offset() and best_segments() work without the interpreter lock: a thread
inside them at interpreter exit, and Ctrl-C in the main thread while coverage() or best_offset()
runs.

Each case runs in a child interpreter, under the allocator's debug hooks (which report memory
freed without the lock) and under the default allocator.
"""

import os
import signal
import subprocess
import sys
import time

import pytest

from isolated import child_env, describe, run_python

FILM = r"""
import random, sys
from datetime import timedelta
from corvela.core.scan import best_offset, best_segments, coverage

rng = random.Random(1)
base, other, t = [], [], 0.0
for _ in range(4000):
    t += rng.uniform(0.5, 3)
    base.append([t, t + rng.uniform(0.5, 2)])
    other.append([timedelta(seconds=t + 0.3), timedelta(seconds=t + 2)])
SECOND = timedelta(seconds=1)


def arguments(name, size):
    # About 30 ms of work for each unit of size.
    if name == "coverage":
        return (base, other, [timedelta(milliseconds=k) for k in range(1000 * size)]), {}
    if name == "best_segments":
        return (base, other, -size * SECOND, size * SECOND, 1.0), {}
    return (base, other, -10 * SECOND, 10 * SECOND), {"factors": [1.0] * size}


def call(name, size):
    args, kwargs = arguments(name, size)
    function = {"coverage": coverage, "best_offset": best_offset, "best_segments": best_segments}
    return function[name](*args, **kwargs)
"""

EXIT = FILM + r"""
name, start = sys.argv[1], sys.argv[2]


def work():
    while True:  # so that some call takes the lock back while the interpreter exits
        call(name, 1)


# A large cyclic structure, so that the final collection takes a moment.
junk = []
for _ in range(10**6):
    cell = []
    cell.append(cell)
    junk.append(cell)
if start == "threading":
    import threading

    threading.Thread(target=work, daemon=True).start()
else:
    # A thread that threading does not know looks for signals too, and so takes the lock back
    # in the middle of the work.
    import _thread

    _thread.start_new_thread(work, ())
"""


@pytest.mark.parametrize("allocator", ["debug", "default"])
@pytest.mark.parametrize("start", ["threading", "_thread"])
@pytest.mark.parametrize("name", ["coverage", "best_offset"])
def test_a_thread_inside_the_call_at_interpreter_exit_ends_quietly(name, start, allocator):
    if start == "_thread" and allocator == "debug" and sys.version_info < (3, 11):
        # The same program with zlib.compress in place of the call crashes these interpreters.
        pytest.skip("CPython before 3.11 crashes a _thread thread at exit under debug hooks")
    # "default": pymalloc, or the allocator the sanitizer run chose.
    allocator = os.environ.get("PYTHONMALLOC", "pymalloc") if allocator == "default" else allocator
    proc = run_python(EXIT, name, start, env={"PYTHONMALLOC": allocator})
    assert (proc.returncode, proc.stderr) == (0, ""), describe(proc)


def test_a_thread_inside_best_segments_at_interpreter_exit_ends_quietly():
    # The same unlocking as best_offset's: one case, under the debug hooks.
    proc = run_python(EXIT, "best_segments", "threading", env={"PYTHONMALLOC": "debug"})
    assert (proc.returncode, proc.stderr) == (0, ""), describe(proc)


INTERRUPT = FILM + r"""
import time

name = sys.argv[1]
function = coverage if name == "coverage" else best_offset
args, kwargs = arguments(name, 1000)
print("calling", flush=True)
started = time.monotonic()
try:
    function(*args, **kwargs)
except KeyboardInterrupt:
    print("interrupted after %.1f s" % (time.monotonic() - started))
"""


@pytest.mark.parametrize("name", ["coverage", "best_offset"])
def test_ctrl_c_stops_a_long_call(name):
    # Uninterrupted, each call takes about 30 s on this kind of machine.
    proc = subprocess.Popen(
        [sys.executable, "-c", INTERRUPT, name], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env=child_env())
    try:
        assert proc.stdout.readline() == "calling\n"
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=8)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0 and out.startswith("interrupted after"), (out, err)

