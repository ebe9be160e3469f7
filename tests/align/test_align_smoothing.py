"""From per-frame detector decisions to stretches of speech (corvela.align.smoothing)."""

import pytest

from corvela.align.smoothing import speech_runs

X, _ = True, False


@pytest.mark.parametrize(
    "voiced, bridge_ms, shortest_ms, expected",
    [
        ([], 30, 0, []),
        ([_, _, _], 30, 0, []),
        ([X, X, X], 0, 0, [(0.0, 0.09)]),
        # A pause of exactly bridge_ms is filled, one frame more is not.
        ([X, _, X], 30, 0, [(0.0, 0.09)]),
        ([X, _, _, X], 30, 0, [(0.0, 0.03), (0.09, 0.12)]),
        ([X, _, _, X], 60, 0, [(0.0, 0.12)]),
        # Bridging comes first: two short bursts joined by a short pause make one stretch.
        ([_, X, _, X, _, _, _], 30, 90, [(0.03, 0.12)]),
        # A lone burst shorter than shortest_ms is dropped, one that long is kept.
        ([X, _, _, _, X, X, X], 30, 90, [(0.12, 0.21)]),
        ([X, X, X, _, _, _, X, X], 30, 90, [(0.0, 0.09)]),
        # Leading and trailing silence do not move the edges.
        ([_, _, X, X, _, _], 30, 0, [(0.06, 0.12)]),
    ],
)
def test_runs_of_30_ms_frames(voiced, bridge_ms, shortest_ms, expected):
    assert speech_runs(voiced, 30, bridge_ms=bridge_ms, shortest_ms=shortest_ms) == expected


@pytest.mark.parametrize("frame_ms", [10, 20, 30])
def test_ten_frame_pause_is_bridged_at_every_frame_length(frame_ms):
    # In seconds, 10 * 0.03 > 0.3: counting in milliseconds keeps the edge where it is said.
    voiced = [X] + [_] * 10 + [X]
    assert len(speech_runs(voiced, frame_ms, bridge_ms=10 * frame_ms, shortest_ms=0)) == 1
    assert len(speech_runs(voiced, frame_ms, bridge_ms=10 * frame_ms - 1, shortest_ms=0)) == 2
