import os
import sys

import pytest

# The reference implementation lives beside the tests.
sys.path.insert(0, os.path.dirname(__file__))


@pytest.fixture
def reports(monkeypatch):
    """Records what match() hands to sys.unraisablehook, starting from a clean sys.last_*."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        monkeypatch.delattr(sys, name, raising=False)
    return seen
