"""The module object: its namespace and its registration."""

import builtins
import sys

import corvela.core.algo as algo

DOC = (
    "\n    Based on the data structure, calculate that how much of the time that there is\n"
    "    some speech going on in base, there is a subtitle in other.\n    "
)


def test_match_docstring():
    assert algo.match.__doc__ == DOC


def test_namespace():
    assert algo.__test__ == {}
    assert algo.__builtins__ is builtins
    assert algo.__name__ == "corvela.core.algo"
    assert algo.__package__ == "corvela.core"
    assert algo.__file__ == algo.__spec__.origin
    assert not hasattr(algo, "__path__")
    public = {name for name in vars(algo) if not name.startswith("__")}
    assert public == {"match"}
    assert sys.modules["corvela.core.algo"] is algo


def test_result_is_exact_float():
    from datetime import timedelta

    result = algo.match([[0, 10]], [[timedelta(seconds=2), timedelta(seconds=5)]])
    assert type(result) is float


def run_python(code):
    import subprocess

    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_failed_initialisation_is_labelled_and_can_be_retried():
    out = run_python(
        "import sys, traceback\n"
        "sys.modules['datetime'] = None\n"
        "try:\n"
        "    import corvela.core.algo\n"
        "except ImportError as e:\n"
        "    last = traceback.extract_tb(e.__traceback__)[-1]\n"
        "    print(last.name, last.filename, last.lineno)\n"
        "del sys.modules['datetime']\n"
        "import corvela.core.algo as algo\n"
        "print(algo.__test__)\n"
    )
    assert out.splitlines() == ["init corvela.core.algo corvela/core/algo 1", "{}"]


def test_import_under_warnings_as_errors():
    # A build imported by the interpreter it was built for issues no warning.
    assert run_python(
        "import warnings; warnings.simplefilter('error')\n"
        "import corvela.core.algo; print('ok')\n"
    ) == "ok\n"
