# Checked by mypy --strict, never run: what the stub of corvela.core.algo must accept and refuse.
# Lines marked "type: ignore[...]" must stay errors; mypy's warn_unused_ignores reports them if
# the stub starts accepting them.
from datetime import timedelta
from fractions import Fraction
from typing import List, Mapping, Optional, Sequence, Tuple

from typing_extensions import assert_type

from corvela.core.algo import match

speech: List[List[float]] = [[0.0, 10.0]]
subtitles: List[Tuple[timedelta, timedelta]] = [(timedelta(seconds=2), timedelta(seconds=5))]

assert_type(match(speech, subtitles), float)
assert_type(match(base=speech, other=subtitles), float)
assert_type(match(speech, other=subtitles), float)
assert_type(match(None, None), float)
assert_type(match([], []), float)

# Rows of any subscriptable type, numbers of any kind float() takes.
int_rows: List[Tuple[int, int]] = [(0, 10)]
mixed_rows: List[Sequence[float]] = [[0, 1.5, 99.0], (2.0, 3.0)]
mapping_rows: List[Mapping[int, Fraction]] = [{0: Fraction(1, 2), 1: Fraction(3, 2)}]
bool_rows: List[List[bool]] = [[False, True]]
match(int_rows, subtitles)
match(mixed_rows, subtitles)
match(mapping_rows, subtitles)
match(bool_rows, subtitles)


class Frames:
    """A duration counted in video frames: anything with total_seconds() will do."""

    def __init__(self, count: int) -> None:
        self.count = count

    def total_seconds(self) -> float:
        return self.count / 25


frame_rows: List[List[Frames]] = [[Frames(0), Frames(50)]]
match(speech, frame_rows)

maybe_speech: Optional[List[List[float]]] = None
match(maybe_speech, subtitles)

# Refused: not a list, numbers where durations belong, durations where numbers belong,
# strings, keys that are not integers.
match((speech[0],), subtitles)  # type: ignore[arg-type]
match(speech, tuple(subtitles))  # type: ignore[arg-type]
match(speech, [[1.0, 2.0]])  # type: ignore[type-var]
match(subtitles, subtitles)  # type: ignore[type-var]
match([["0", "10"]], subtitles)  # type: ignore[type-var]
match([{"start": 0.0, "end": 1.0}], subtitles)  # type: ignore[type-var]
match(speech)  # type: ignore[call-arg]
match(speech, subtitles, speech)  # type: ignore[call-arg]
match(speech, subtitles, extra=1)  # type: ignore[call-arg]

# Literals take their types from the call.
assert_type(match([[0.0, 10.0]], [[timedelta(seconds=2), timedelta(seconds=5)]]), float)
assert_type(match([(0, 10.5), [1, 2]], [[timedelta(0), timedelta(1)]]), float)
