# Checked by mypy --strict, never run: what the stub of corvela.core.scan must accept and refuse.
# Lines marked "type: ignore[...]" must stay errors.
from datetime import timedelta
from typing import List, Mapping, Tuple

from typing_extensions import assert_type

from corvela.core.scan import coverage

speech: List[Tuple[int, float]] = [(0, 10.0)]
subtitles: List[List[timedelta]] = [[timedelta(seconds=2), timedelta(seconds=5)]]
offsets = [timedelta(seconds=s) for s in range(-3, 4)]

assert_type(coverage(speech, subtitles, offsets), List[float])
assert_type(coverage(base=speech, other=subtitles, offsets=tuple(offsets)), List[float])
mapping_rows: List[Mapping[int, timedelta]] = [{0: timedelta(0), 1: timedelta(seconds=1)}]
coverage(speech, mapping_rows, offsets)

coverage(tuple(speech), subtitles, offsets)  # type: ignore[arg-type]
coverage(speech, [[2.0, 5.0]], offsets)  # type: ignore[type-var]
coverage(speech, subtitles, [1.5])  # type: ignore[list-item]
coverage(speech, subtitles)  # type: ignore[call-arg]
