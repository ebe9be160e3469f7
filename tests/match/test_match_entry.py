"""Argument binding and type tests of match()."""

import traceback

import pytest

from corvela.core.algo import match


class ListChild(list):
    pass


def count_message(given):
    return f"match() takes exactly 2 positional arguments ({given} given)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, count_message(0)),
        (([],), {}, count_message(1)),
        ((), {"base": []}, count_message(1)),
        (([],), {"base": []}, count_message(1)),
        ((), {"other": []}, count_message(0)),
        (([], [], []), {}, count_message(3)),
        (([], [], []), {"x": 1}, count_message(3)),
        (([], []), {"base": []}, "match() got multiple values for keyword argument 'base'"),
        (([],), {"other": [], "base": []},
         "match() got multiple values for keyword argument 'base'"),
        (([], []), {"x": 1}, "match() got an unexpected keyword argument 'x'"),
        ((), {"base": [], "other": [], "x": 1}, "match() got an unexpected keyword argument 'x'"),
        # The first offending keyword in the dictionary's order decides.
        (([], []), {"y": 1, "other": []}, "match() got an unexpected keyword argument 'y'"),
        (([], []), {"other": [], "y": 1},
         "match() got multiple values for keyword argument 'other'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        match(*args, **kwargs)
    assert str(info.value) == message
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.filename, last.name, last.lineno) == ("corvela/core/algo", "corvela.core.algo.match", 15)


@pytest.mark.parametrize(
    "args, message",
    [
        (((), []), "Argument 'base' has incorrect type (expected list, got tuple)"),
        (([], ()), "Argument 'other' has incorrect type (expected list, got tuple)"),
        ((ListChild(), []), "Argument 'base' has incorrect type (expected list, got ListChild)"),
        ((1.0, ()), "Argument 'base' has incorrect type (expected list, got float)"),
        (([], {}), "Argument 'other' has incorrect type (expected list, got dict)"),
    ],
)
def test_type_errors(args, message):
    with pytest.raises(TypeError) as info:
        match(*args)
    assert str(info.value) == message
    # Raised from the entry itself: no frame of its own is added.
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "test_type_errors"


def test_extension_type_name_is_dotted():
    from datetime import timedelta

    with pytest.raises(TypeError, match=r"got datetime\.timedelta\)$"):
        match([], timedelta(0))


@pytest.mark.parametrize(
    "args, kwargs",
    [(([], []), {}), ((), {"base": [], "other": []}), (([],), {"other": []}),
     ((None, None), {}), (([], None), {})],
)
def test_accepted_bindings_reach_the_body(reports, args, kwargs):
    assert match(*args, **kwargs) == 0.0
    assert len(reports) == 1
