"""Subtitles made for another cut of the film: different offsets along the file.

corvela.core.scan.best_segments gives each weighed cue an offset, keeping the file's order;
this module chooses the frame-rate factor by it, gives the cues left out of the weighing their
offsets, and judges each segment as the command judges a whole file.
"""

from bisect import bisect_right
from dataclasses import dataclass, field
from datetime import timedelta
from typing import List, Optional, Sequence, Tuple

from corvela.align import report
from corvela.core.scan import BestOffset, BestSegments, best_offset, best_segments, coverage

Rows = List[List[timedelta]]
Speech = Sequence[Tuple[float, float]]

# The seconds of covered speech a change of offset must gain: above what splitting a correctly
# cut film gains by chance (benchmarks/split_penalty.py).
SPLIT_PENALTY = 2.0


@dataclass
class Segment:
    """A run of cues, in start order, that share one offset."""

    cues: List[int]  # the weighed cues' numbers (file order of the weighed cues), start order
    first: int  # the numbers in the file, from 1, of its first and last cue in start order
    last: int
    offset: timedelta
    start: timedelta  # where the segment lies in the film once corrected
    end: timedelta
    coverage: float  # of the speech within [start, end] by the segment's cues
    doubts: List[str] = field(default_factory=list)


@dataclass
class Split:
    factor: float
    offsets: List[timedelta]  # one per weighed cue, file order
    coverage: float  # match() of the speech by every weighed cue at its offset
    segments: List[Segment]


def start_order(cues: Rows, factor: float) -> List[int]:
    """The cues in the order the search takes them: by scaled start, equal starts in file
    order."""
    return sorted(range(len(cues)), key=lambda i: (cues[i][0] * factor, i))


def speech_within(speech: Speech, start: float, end: float) -> List[List[float]]:
    """The speech rows cut to [start, end] (seconds), those that meet it."""
    return [[max(s, start), min(e, end)] for s, e in speech if s < end and e > start]


def chosen(rows: List[List[float]], cues: Rows, lo: timedelta, hi: timedelta, penalty: float,
           factors: Sequence[float]) -> Tuple[float, BestSegments]:
    """The factor whose segments score best, and best_segments' answer for it. Scores within
    best_offset's tolerance tie, and a tie goes to the factor nearest 1, then to the first: so
    a film of another cut is not taken for a drifted one, as one offset over it can be, and a
    drifted film is not cut into pieces, which costs a penalty for every piece."""
    found = [(factor, best_segments(rows, cues, lo, hi, penalty, factor=factor))
             for factor in factors]
    top = max(split.score for _, split in found)
    tolerance = 1e-9 + 1e-12 * abs(top)
    return min((item for item in found if top - item[1].score <= tolerance),
               key=lambda item: abs(item[0] - 1.0))


def runs(order: List[int], offsets: List[timedelta]) -> List[List[int]]:
    """The runs of equal offsets along the start order."""
    found: List[List[int]] = []
    for i in order:
        if found and offsets[found[-1][-1]] == offsets[i]:
            found[-1].append(i)
        else:
            found.append([i])
    return found


def judged(speech: Speech, cues: Rows, numbers: List[int], in_file: List[int],
           offset: timedelta, factor: float, lo: timedelta, hi: timedelta) -> Segment:
    """The segment of cues `numbers` at `offset`, with its coverage and its doubts: those of
    the command's rule for a whole file, applied to these cues against the speech they lie
    on once corrected. A segment whose cues cover no speech at all holds lines this film lacks:
    no rule can judge it, and it says so among the warnings instead."""
    scaled = [[cues[i][0] * factor, cues[i][1] * factor] for i in numbers]
    start = min(s for s, _ in scaled) + offset
    end = max(e for _, e in scaled) + offset
    base = speech_within(speech, start.total_seconds(), end.total_seconds())
    base = [row for row in base if row[1] > row[0]]
    first, last = in_file[numbers[0]], in_file[numbers[-1]]
    if not base:
        return Segment(numbers, first, last, offset, start, end, 0.0)
    value = coverage(base, scaled, [offset])[0]
    if value == 0.0:
        return Segment(numbers, first, last, offset, start, end, value)
    own = best_offset(base, [cues[i] for i in numbers], lo, hi, factors=(factor,))
    return Segment(numbers, first, last, offset, start, end, value, report.doubts(own, lo, hi))


def split(speech: Speech, cues: Rows, in_file: List[int], lo: timedelta, hi: timedelta,
          penalty: float, factors: Sequence[float], whole: Optional[BestOffset] = None) -> Split:
    """The file split where its offset changes; in_file[i] is the number in the file of
    weighed cue i. One segment when no change pays. The frame rate is judged over the whole
    file first (`whole`, best_offset with factor evidence over `factors`, found here when not
    given): the segments choose only between its factor and 1, since splits could otherwise
    pass for a change of rate and a change of rate for splits."""
    rows = [list(row) for row in speech]
    if whole is None:
        whole = best_offset(rows, cues, lo, hi, factors=factors, factor_evidence=True)
    candidates = (1.0,) if whole.factor == 1.0 else (1.0, whole.factor)
    factor, found = chosen(rows, cues, lo, hi, penalty, candidates)
    order = start_order(cues, factor)
    offsets = list(found.offsets)
    parts = [judged(speech, cues, run, in_file, offsets[run[0]], factor, lo, hi)
             for run in runs(order, offsets)]
    return Split(factor, offsets, found.coverage, parts)


def whole(cues: Rows, in_file: List[int], found: BestOffset) -> Segment:
    """The whole file as one segment at best_offset's answer, judged by the caller."""
    order = start_order(cues, found.factor)
    start = min(s * found.factor for s, _ in cues) + found.offset
    end = max(e * found.factor for _, e in cues) + found.offset
    return Segment(order, in_file[order[0]], in_file[order[-1]], found.offset, start, end,
                   found.coverage)


def offset_of_start(segments: List[Segment], cues: Rows, start: timedelta) -> timedelta:
    """The offset for a cue left out of the weighing that starts at `start`: its segment's,
    the one whose span of starts (from its first cue's start to the next segment's) holds
    it; before the first segment, the first's."""
    firsts = [min(cues[i][0] for i in segment.cues) for segment in segments]
    return segments[max(bisect_right(firsts, start) - 1, 0)].offset
