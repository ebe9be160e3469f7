"""Draws the pictures in README.md into docs/.

    python3 docs/make_figures.py

coverage.png shows what match() adds up on a small case; offset_scan.png is the coverage
curve around the offset best_offset chooses for the shipped sample, with its plateau, as
examples/offset_scan.py draws it. Needs the package installed with the 'examples' extra
(pip install ".[examples]").
"""

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


def main() -> None:
    coverage_figure(DOCS / "coverage.png")
    offset_scan_figure(DOCS / "offset_scan.png")


if __name__ == "__main__":
    main()
