# Type information for the compiled module corvela.core.scan.
#
# coverage() reads rows as match() does: each row of `base` and `other` is subscripted with 0
# and 1 (a list, a tuple, a Mapping[int, ...]), and speech bounds go through float conversion.
# `base` and `other` must be exactly lists (a subclass is refused at run time, which a stub
# cannot express); subtitle bounds and offsets must be timedelta, and a subclass that overrides
# __add__, __radd__ or total_seconds is refused at run time. The row types are type variables
# so that a list built elsewhere (say list[tuple[float, float]]) is accepted despite list being
# invariant.

import sys
from _typeshed import structseq
from collections.abc import Sequence
from datetime import timedelta
from typing import Any, Final, Protocol, final, SupportsFloat, SupportsIndex, TypeVar

_T_co = TypeVar("_T_co", covariant=True)

class _Row(Protocol[_T_co]):
    def __getitem__(self, key: int, /) -> _T_co: ...

_SpeechRow = TypeVar("_SpeechRow", bound=_Row[SupportsFloat | SupportsIndex])
_SubtitleRow = TypeVar("_SubtitleRow", bound=_Row[timedelta])

def coverage(
    base: list[_SpeechRow], other: list[_SubtitleRow], offsets: Sequence[timedelta]
) -> list[float]: ...

# best_offset() reads base and other as coverage() does; its factors are floats or ints (a
# subclass that multiplies a timedelta its own way is refused at run time). Its result is a
# struct sequence, a tuple whose items are also read by name.
@final
class BestOffset(structseq[Any], tuple[timedelta, float, float, timedelta, timedelta,
                                       timedelta | None, float | None]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = (
            "offset",
            "coverage",
            "factor",
            "plateau_start",
            "plateau_end",
            "runner_up_offset",
            "runner_up_coverage",
        )
    @property
    def offset(self) -> timedelta: ...
    @property
    def coverage(self) -> float: ...
    @property
    def factor(self) -> float: ...
    @property
    def plateau_start(self) -> timedelta: ...
    @property
    def plateau_end(self) -> timedelta: ...
    @property
    def runner_up_offset(self) -> timedelta | None: ...
    @property
    def runner_up_coverage(self) -> float | None: ...
    @property
    def chance_gain(self) -> float | None: ...

FRAME_RATE_FACTORS: tuple[float, float, float, float, float, float, float]

def best_offset(
    base: list[_SpeechRow],
    other: list[_SubtitleRow],
    lo: timedelta,
    hi: timedelta,
    *,
    factors: Sequence[float] = ...,
    separation: timedelta = ...,
    factor_evidence: bool = ...,
) -> BestOffset: ...

# best_segments() reads base, other, lo and hi as best_offset() does; split_penalty is a float or
# an int (seconds, 0 or more). Each segment is (first, last, offset, rows): start-order
# positions, the offset and the row count.
@final
class BestSegments(structseq[Any], tuple[list[timedelta], list[tuple[int, int, timedelta, int]],
                                         float, float]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("offsets", "segments", "score", "coverage")
    @property
    def offsets(self) -> list[timedelta]: ...
    @property
    def segments(self) -> list[tuple[int, int, timedelta, int]]: ...
    @property
    def score(self) -> float: ...
    @property
    def coverage(self) -> float: ...

def best_segments(
    base: list[_SpeechRow],
    other: list[_SubtitleRow],
    lo: timedelta,
    hi: timedelta,
    split_penalty: float,
    *,
    factor: float = ...,
) -> BestSegments: ...
