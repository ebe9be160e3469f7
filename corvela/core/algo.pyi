# Type information for the compiled module corvela.core.algo.
#
# match() reads each row of `base` and `other` by subscripting it with 0 and 1, so a row can be
# a list, a tuple, a Mapping[int, ...] or anything else with an integer __getitem__; items past
# the second are never read. Numbers in `base` go through float conversion (__float__, or
# __index__ when there is no __float__); bounds in `other` only need a total_seconds() method
# whose result converts the same way. The row types are type variables so that a list built
# elsewhere (say list[tuple[float, float]]) is accepted despite list being invariant.
#
# None is accepted for either list: the call then returns 0.0 after printing its report, like
# any other input it cannot convert (an empty list, a row that is too short, a string).

from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar

_T_co = TypeVar("_T_co", covariant=True)

class _Row(Protocol[_T_co]):
    def __getitem__(self, key: int, /) -> _T_co: ...

class _Duration(Protocol):
    def total_seconds(self) -> SupportsFloat | SupportsIndex: ...

_SpeechRow = TypeVar("_SpeechRow", bound=_Row[SupportsFloat | SupportsIndex])
_SubtitleRow = TypeVar("_SubtitleRow", bound=_Row[_Duration])

__test__: dict[str, object]

def match(base: list[_SpeechRow] | None, other: list[_SubtitleRow] | None) -> float: ...
