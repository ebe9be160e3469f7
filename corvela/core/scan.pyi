# Type information for the compiled module corvela.core.scan.
#
# coverage() reads rows as match() does: each row of `base` and `other` is subscripted with 0
# and 1 (a list, a tuple, a Mapping[int, ...]), and speech bounds go through float conversion.
# `base` and `other` must be exactly lists (a subclass is refused at run time, which a stub
# cannot express); subtitle bounds and offsets must be timedelta, and a subclass that overrides
# __add__, __radd__ or total_seconds is refused at run time. The row types are type variables
# so that a list built elsewhere (say list[tuple[float, float]]) is accepted despite list being
# invariant.

from collections.abc import Sequence
from datetime import timedelta
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar

_T_co = TypeVar("_T_co", covariant=True)

class _Row(Protocol[_T_co]):
    def __getitem__(self, key: int, /) -> _T_co: ...

_SpeechRow = TypeVar("_SpeechRow", bound=_Row[SupportsFloat | SupportsIndex])
_SubtitleRow = TypeVar("_SubtitleRow", bound=_Row[timedelta])

def coverage(
    base: list[_SpeechRow], other: list[_SubtitleRow], offsets: Sequence[timedelta]
) -> list[float]: ...
