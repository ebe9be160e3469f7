"""Running a piece of Python in a child interpreter, so that a crash fails one test only."""

import os
import subprocess
import sys
import textwrap

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))


def tests_folders():
    """The folders under tests/ on this interpreter's sys.path, in its order: the helpers'
    (put there by conftest.py) and those of the test modules pytest has imported, so that a
    child imports by name whatever its caller can, a test module included."""
    found = []
    for entry in sys.path:
        path = os.path.realpath(entry or os.curdir)
        if (path == TESTS_DIR or path.startswith(TESTS_DIR + os.sep)) and path not in found:
            found.append(path)
    return found


def child_env(env=None):
    """The environment of a child interpreter: the tests' folders on sys.path (see
    tests_folders), and the allocator's debug hooks (freed memory is overwritten, so a read
    after free shows up as garbage or a crash) unless the caller's environment already picks an
    allocator, as the sanitizer run does; `env` overrides."""
    out = dict(os.environ)
    out.setdefault("PYTHONMALLOC", "debug")
    out["PYTHONFAULTHANDLER"] = "1"
    out["PYTHONPATH"] = os.pathsep.join(p for p in (*tests_folders(), out.get("PYTHONPATH")) if p)
    out.update(env or {})
    return out


def run_python(code, *args, timeout=120, env=None, flags=()):
    """Runs `code` in a fresh interpreter (see child_env); returns the CompletedProcess with
    text output."""
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code), *args],
        capture_output=True, text=True, timeout=timeout, env=child_env(env))


def describe(proc):
    """The child's exit status and output, for assertion messages."""
    return "exit %s\n--- stdout\n%s\n--- stderr\n%s" % (proc.returncode, proc.stdout, proc.stderr)


def child_outcome(module, name):
    """Runs `module.child(name)` in a child interpreter, which must exit normally, and returns the
    JSON object on its last line of output."""
    import json

    proc = run_python("import %s as t; t.child(%r)" % (module, name))
    assert proc.returncode == 0, describe(proc)
    return json.loads(proc.stdout.splitlines()[-1]), proc
