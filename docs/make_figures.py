"""Draws the pictures in README.md into docs/.

    python3 docs/make_figures.py

coverage.png shows what match() adds up on a small case; offset_scan.png is the coverage
curve around the offset best_offset chooses for the shipped sample, with its plateau, as
examples/offset_scan.py draws it; different_cut.png, the offsets corvela-align finds along a
film for the subtitles of another cut, against the true ones. Needs the package installed with
the 'examples' and 'films' extras (pip install ".[examples,films]").
"""

import importlib
import subprocess
import sys
from datetime import timedelta
from pathlib import Path
from typing import List, Tuple

from matplotlib.figure import Figure

from corvela.core.algo import match

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent

SPEECH: List[Tuple[float, float]] = [(0.0, 8.0), (12.0, 20.0)]
SUBTITLES: List[Tuple[float, float]] = [(1.0, 4.0), (3.0, 6.0), (8.0, 12.0), (18.0, 22.0)]
# Which subtitles share a lane: the first two overlap, so the second sits below.
LANES = [0, 1, 0, 0]

SPEECH_COLOR = "#5a9e4b"
SUBTITLE_COLOR = "#4878b0"
COUNTED_COLOR = "#e08a2c"


def counted_depth() -> List[Tuple[float, float, int]]:
    """Stretches of speech time and how many times each is counted in the sum."""
    cuts = sorted({t for s in SPEECH for t in s} | {t for s in SUBTITLES for t in s})
    spans = []
    for lo, hi in zip(cuts, cuts[1:]):
        mid = (lo + hi) / 2
        if any(s <= mid <= e for s, e in SPEECH):
            depth = sum(s <= mid <= e for s, e in SUBTITLES)
            if depth:
                spans.append((lo, hi, depth))
    return spans


def coverage_figure(path: Path) -> None:
    result = match(
        [list(s) for s in SPEECH],
        [[timedelta(seconds=a), timedelta(seconds=b)] for a, b in SUBTITLES],
    )
    fig = Figure(figsize=(8.0, 3.4), layout="constrained")
    ax = fig.add_subplot()
    speech_y, lane_y, counted_y, h = 3.2, (2.1, 1.5), 0.55, 0.45

    for n, (s, e) in enumerate(SPEECH):
        ax.broken_barh([(s, e - s)], (speech_y, h), color=SPEECH_COLOR)
        ax.text((s + e) / 2, speech_y + h / 2, f"speech {n + 1}: {e - s:g} s",
                ha="center", va="center", color="white", fontsize=9, weight="bold")
    for n, ((s, e), lane) in enumerate(zip(SUBTITLES, LANES)):
        y = lane_y[lane]
        ax.broken_barh([(s, e - s)], (y, h), color=SUBTITLE_COLOR)
        ax.text((s + e) / 2, y + h / 2, f"subtitle {n + 1}", ha="center", va="center",
                color="white", fontsize=8.5)
    for lo, hi, depth in counted_depth():
        ax.broken_barh([(lo, hi - lo)], (counted_y, h), color=COUNTED_COLOR,
                       alpha=0.4 if depth == 1 else 1.0)
        ax.text((lo + hi) / 2, counted_y + h / 2, "×2" if depth > 1 else f"{hi - lo:g} s",
                ha="center", va="center", fontsize=8.5, weight="bold" if depth > 1 else None)

    def note(x: float, y: float, text: str, va: str = "top") -> None:
        ax.text(x, y, text, ha="center", va=va, fontsize=8.5, color="0.25")

    note(3.5, counted_y - 0.12, "3–4 s lies under subtitles 1 and 2:\ncounted twice")
    note(10.0, counted_y + h / 2, "subtitle 3 only touches\nthe speech: adds 0 s", va="center")
    note(20.0, counted_y - 0.12, "20–22 s is outside\nthe speech: not counted")

    ax.set_yticks([speech_y + h / 2, (lane_y[0] + lane_y[1] + h) / 2, counted_y + h / 2],
                  ["speech\n(base)", "subtitles\n(other)", "counted"])
    ax.tick_params(axis="y", length=0)
    ax.set_xlim(-0.5, 24.5)
    ax.set_ylim(-0.3, 3.75)
    ax.set_xticks(range(0, 25, 2))
    ax.set_xlabel("time (s)")
    for side in ("top", "right", "left"):
        ax.spines[side].set_visible(False)
    ax.grid(True, axis="x", alpha=0.25)
    ax.set_title(f"match(speech, subtitles) = (3 + 3 + 0 + 2) / (8 + 8) = {result:g}",
                 fontsize=11)
    fig.savefig(path, dpi=110)


def offset_scan_figure(path: Path) -> None:
    subprocess.run(
        [sys.executable, str(ROOT / "examples" / "offset_scan.py"), "--plot", str(path)],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def different_cut_figure(path: Path) -> None:
    """A 10-minute film of 140 lines and the subtitles of a cut with two more scenes (7.5 s
    after 30 % of the lines, 12 s after 70 %), all 2 s late; the speech is the lines' true
    times. Each cue's offset as the command finds it, against the one that puts it right."""
    import random

    sys.path.insert(0, str(ROOT / "tests" / "support"))
    # The tests' own film maker, found at run time: it is no part of the package.
    synthetic_film = importlib.import_module("synthetic_film")
    other_cut, shown_cues = synthetic_film.other_cut, synthetic_film.shown_cues

    from corvela.align import segments
    from corvela.core.scan import FRAME_RATE_FACTORS

    rng = random.Random(3)
    speech: List[Tuple[float, float]] = []
    t = 2.0
    while len(speech) < 140:
        speech.append((t, t + rng.uniform(1.0, 3.0)))
        t = speech[-1][1] + rng.uniform(1.0, 5.5)
    truth = shown_cues(speech, rng)
    cues_ms, scored = other_cut(truth, [(0.3, 7.5), (0.7, 12.0)])
    cues = [[timedelta(milliseconds=s), timedelta(milliseconds=e)] for s, e in cues_ms]
    split = segments.split(speech, cues, list(range(1, len(cues) + 1)), timedelta(seconds=-60),
                           timedelta(seconds=60), segments.SPLIT_PENALTY, FRAME_RATE_FACTORS)
    at, true, found = [], [], []
    kept = iter(truth)
    for (start, _), real, offset in zip(cues_ms, scored, split.offsets):
        moved = (timedelta(milliseconds=start) * split.factor + offset).total_seconds()
        if real:
            right = next(kept)[0] / 1000
            at.append(right / 60)
            true.append(right - start / 1000)
            found.append(moved - start / 1000)
    fig = Figure(figsize=(8.0, 3.2), layout="constrained")
    ax = fig.add_subplot()
    ax.step(at, true, where="mid", color="0.6", linewidth=6, alpha=0.5,
            label="true offset of each line")
    ax.plot(at, found, "o", markersize=3, color=SUBTITLE_COLOR, label="offset found")
    ax.set_xlabel("time in the film (minutes)")
    ax.set_ylabel("offset (s)")
    ax.grid(True, alpha=0.25)
    ax.legend(loc="lower left", fontsize=8.5, frameon=False)
    within = sum(abs(f - r) <= 0.5 for f, r in zip(found, true)) / len(found)
    ax.set_title(f"Subtitles of a cut with two more scenes: {len(split.segments)} segments, "
                 f"{within:.1%} of the lines within 0.5 s", fontsize=11)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    fig.savefig(path, dpi=110)


def main() -> None:
    coverage_figure(DOCS / "coverage.png")
    offset_scan_figure(DOCS / "offset_scan.png")
    different_cut_figure(DOCS / "different_cut.png")


if __name__ == "__main__":
    main()
