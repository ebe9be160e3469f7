# Checked by mypy --strict, never run: what the stub of corvela.core.scan must accept and refuse.
# Lines marked "type: ignore[...]" must stay errors.
from datetime import timedelta
from typing import List, Mapping, Optional, Tuple

from typing_extensions import assert_type

from corvela.core.scan import (FRAME_RATE_FACTORS, BestOffset, BestSegments, best_offset,
                                best_segments, coverage)

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

found = best_offset(speech, subtitles, timedelta(seconds=-3), timedelta(seconds=3))
assert_type(found, BestOffset)
assert_type(found.offset, timedelta)
assert_type(found.runner_up_coverage, Optional[float])
offset, value, factor, *_ = found
assert_type(value, float)
best_offset(speech, subtitles, timedelta(0), timedelta(1), factors=FRAME_RATE_FACTORS,
            separation=timedelta(seconds=2))
best_offset(speech, subtitles, timedelta(0), timedelta(1), factors=[1, 1.5])
judged = best_offset(speech, subtitles, timedelta(0), timedelta(1), factor_evidence=True)
assert_type(judged.chance_gain, Optional[float])

best_offset(speech, subtitles, timedelta(0), timedelta(1), (1.0,))  # type: ignore[call-arg]
best_offset(speech, subtitles, 0.0, timedelta(1))  # type: ignore[arg-type]
best_offset(speech, subtitles, timedelta(0), timedelta(1), factors=["1"])  # type: ignore[list-item]

segmented = best_segments(speech, subtitles, timedelta(seconds=-3), timedelta(seconds=3), 0.5)
assert_type(segmented, BestSegments)
assert_type(segmented.offsets, List[timedelta])
first, last, shift, rows = segmented.segments[0]
assert_type(shift, timedelta)
best_segments(speech, subtitles, timedelta(0), timedelta(1), 2, factor=FRAME_RATE_FACTORS[1])

best_segments(speech, subtitles, timedelta(0), timedelta(1), 0.5, 1.0)  # type: ignore[call-arg]
best_segments(speech, subtitles, timedelta(0), timedelta(1))  # type: ignore[call-arg]
