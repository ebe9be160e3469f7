"""Turns a voice-activity detector's per-frame decisions into stretches of speech.

A detector decides frame by frame (10-30 ms); its raw runs break inside words and fire on
clicks. Pauses of at most `bridge_ms` are filled first, so a sentence stays one stretch, then
stretches shorter than `shortest_ms` are dropped as noise. Everything is counted in whole
milliseconds, so no rounding decides whether a pause is bridged; a stretch's start and end are
frame edges.
"""

from typing import Iterable, List, Tuple


def speech_runs(
    voiced: Iterable[bool], frame_ms: int, *, bridge_ms: int, shortest_ms: int
) -> List[Tuple[float, float]]:
    """[(start, end)] in seconds; frame k covers [k * frame_ms, (k + 1) * frame_ms) ms."""
    runs: List[List[int]] = []  # [first frame, one past the last frame]
    for k, is_voiced in enumerate(voiced):
        if not is_voiced:
            continue
        if runs and (k - runs[-1][1]) * frame_ms <= bridge_ms:
            runs[-1][1] = k + 1
        else:
            runs.append([k, k + 1])
    return [(a * frame_ms / 1000, b * frame_ms / 1000)
            for a, b in runs if (b - a) * frame_ms >= shortest_ms]
