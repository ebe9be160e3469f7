"""The stubs corvela/core/algo.pyi and scan.pyi against the modules, and mypy --strict on their
users.

Needs the 'typing' extra (mypy); the examples are checked only when the 'examples' extra is
installed too, since mypy must see pysubs2's and matplotlib's own types.
"""

import ast
import importlib.util
import os
import subprocess
import sys
from datetime import timedelta
from pathlib import Path

import pytest

from corvela.core.algo import match

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "corvela" / "core" / "algo.pyi"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="needs the 'typing' extra"
)


def run_mypy(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "mypy-cache"), *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=False,
        env={**os.environ, "MYPY_FORCE_COLOR": "0"},
    )


@needs_mypy
@pytest.mark.parametrize("module", ["corvela.core.algo", "corvela.core.scan"])
def test_stub_matches_the_module(module):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", module],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
def test_typing_cases_pass_strict_mypy(tmp_path):
    done = run_mypy(tmp_path, "--strict", "tests/typecheck")
    assert done.returncode == 0, done.stdout + done.stderr


@needs_mypy
def test_examples_and_figure_script_pass_strict_mypy(tmp_path):
    for module in ("pysubs2", "matplotlib"):
        if importlib.util.find_spec(module) is None:
            pytest.skip("needs the 'examples' extra")
    done = run_mypy(tmp_path, "--strict", "examples", "docs/make_figures.py")
    assert done.returncode == 0, done.stdout + done.stderr


def stub_parameters():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (function,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "match"]
    args = function.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    assert not (args.defaults or args.kw_defaults)
    return [a.arg for a in args.args]


# The compiled function carries no signature that stubtest could compare, so the stub's
# parameter list is checked by calling the module the ways the stub allows.
def test_stub_parameters_are_the_ones_the_module_binds():
    names = stub_parameters()
    assert names == ["base", "other"]
    base = [[0.0, 10.0]]
    other = [[timedelta(seconds=2), timedelta(seconds=5)]]
    assert match(base, other) == 0.3
    assert match(**dict(zip(names, (base, other)))) == 0.3
    assert match(base, **{names[1]: other}) == 0.3
    with pytest.raises(TypeError):
        match(base, other, base)


def test_module_accepts_every_row_kind_the_stub_admits():
    rows = [[0, 10], (0.0, 10.0, "ignored"), {0: 0.0, 1: 10.0}, [False, 10]]
    other = [(timedelta(seconds=2), timedelta(seconds=5))]
    for row in rows:
        assert match([row], other) == 0.3, row


def test_module_refuses_containers_the_stub_refuses():
    with pytest.raises(TypeError):
        match(([0.0, 10.0],), [[timedelta(0), timedelta(seconds=1)]])
    with pytest.raises(TypeError):
        match([[0.0, 10.0]], ((timedelta(0), timedelta(seconds=1)),))
