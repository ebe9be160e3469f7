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
