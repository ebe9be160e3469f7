import os
import sys

import pytest

# The oracle, the fakes and the other helpers that tests in every folder import by name.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))


@pytest.fixture
def reports(monkeypatch):
    """Records what match() hands to sys.unraisablehook, starting from a clean sys.last_*."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        monkeypatch.delattr(sys, name, raising=False)
    return seen
