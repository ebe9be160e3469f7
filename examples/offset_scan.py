"""Find how far a subtitle file is out of step with the speech it belongs to.

Given subtitles (an SRT file) and the stretches of time in which somebody is speaking (a JSON
list of [start, end] pairs in seconds, as a voice-activity detector reports them), shift every
subtitle by each candidate offset in turn and measure what share of the speech time the shifted
subtitles cover: corvela.core.scan.coverage does the whole scan in one call, with the bits that
corvela.core.algo.match gives for each shifted list. The offset with the highest coverage is the
one to apply to the subtitle file.

    python3 examples/offset_scan.py                      # the sample in examples/sample/
    python3 examples/offset_scan.py film.srt speech.json --from -30 --to 30 --step 0.1
    python3 examples/offset_scan.py --plot curve.png     # also draw the coverage curve

Needs the 'examples' extra: pip install ".[examples]" (pysubs2 reads the SRT file, matplotlib
draws the plot).
"""

import argparse
import json
import math
import sys
from datetime import timedelta
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import pysubs2

from corvela.core.scan import coverage

SAMPLE = Path(__file__).resolve().parent / "sample"
BAR_WIDTH = 40

Interval = Tuple[float, float]


def load_subtitles(path: Path) -> List[Tuple[int, int]]:
    """The shown intervals of the file's subtitles, in milliseconds, in file order."""
    subs = pysubs2.load(str(path), format_="srt")
    return [(event.start, event.end) for event in subs.events if event.is_text]


def load_speech(path: Path) -> List[Interval]:
    rows = json.loads(path.read_text(encoding="utf-8"))
    if not isinstance(rows, list):
        raise ValueError(f"{path}: expected a JSON list of [start, end] pairs")
    speech = []
    for n, row in enumerate(rows):
        if not (isinstance(row, list) and len(row) == 2 and all(_is_number(x) for x in row)):
            raise ValueError(f"{path}: item {n} is not a [start, end] pair of numbers: {row!r}")
        start, end = float(row[0]), float(row[1])
        if not (math.isfinite(start) and math.isfinite(end) and start <= end):
            raise ValueError(f"{path}: item {n} is not an interval: {row!r}")
        speech.append((start, end))
    return speech


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def scan(
    speech: List[Interval], subtitles: List[Tuple[int, int]], offsets_ms: Sequence[int]
) -> List[float]:
    """Coverage of the speech by the subtitles shifted by each offset (milliseconds)."""
    timed = [(timedelta(milliseconds=s), timedelta(milliseconds=e)) for s, e in subtitles]
    return coverage(speech, timed, [timedelta(milliseconds=offset) for offset in offsets_ms])


def best_offset(offsets_ms: Sequence[int], curve: Sequence[float]) -> int:
    """The offset of highest coverage; among equally good ones, the smallest change."""
    top = max(curve)
    return min((o for o, c in zip(offsets_ms, curve) if c == top), key=abs)


def print_curve(offsets_ms: Sequence[int], curve: Sequence[float], best: int) -> None:
    top = max(curve)
    print("offset (s)  coverage")
    for offset, coverage in zip(offsets_ms, curve):
        bar = "#" * round(BAR_WIDTH * max(coverage, 0.0) / top) if top > 0 else ""
        mark = "  <- best" if offset == best else ""
        print(f"{offset / 1000:10.2f}  {coverage:8.4f}  {bar}{mark}")


def plot_curve(
    path: Path, offsets_ms: Sequence[int], curve: Sequence[float], best: int, title: str
) -> None:
    # Imported here so that the text report works without matplotlib.
    from matplotlib.figure import Figure

    seconds = [o / 1000 for o in offsets_ms]
    fig = Figure(figsize=(7.5, 3.6), layout="constrained")
    ax = fig.add_subplot()
    ax.plot(seconds, [100 * c for c in curve], color="tab:blue", marker=".", linewidth=1.5)
    best_coverage = 100 * curve[list(offsets_ms).index(best)]
    ax.axvline(best / 1000, color="tab:red", linestyle="--", linewidth=1)
    ax.annotate(
        f"best: {best / 1000:+.2f} s ({best_coverage:.1f} %)",
        xy=(best / 1000, best_coverage),
        xytext=(8, 4),
        textcoords="offset points",
        color="tab:red",
        va="bottom",
    )
    ax.set_xlabel("offset applied to every subtitle (s)")
    ax.set_ylabel("speech time covered (%)")
    ax.set_title(title)
    # Room above the peak for its label; coverage passes 100 % where subtitles overlap.
    ax.set_ylim(0, 1.15 * max(max(curve) * 100, 1.0))
    ax.grid(True, alpha=0.3)
    fig.savefig(path, dpi=110)


def shown(path: Path) -> str:
    """The path as the user would type it from here."""
    try:
        return str(path.resolve().relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def seconds_to_ms(text: str) -> int:
    return round(float(text) * 1000)


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Scan subtitle offsets for the best coverage of the speech."
    )
    parser.add_argument("subtitles", nargs="?", type=Path, help="SRT file (default: the sample)")
    parser.add_argument("speech", nargs="?", type=Path, help="JSON list of [start, end] seconds")
    parser.add_argument("--from", dest="first", type=seconds_to_ms, default=-10000,
                        metavar="SECONDS", help="first offset to try (default -10)")
    parser.add_argument("--to", dest="last", type=seconds_to_ms, default=10000,
                        metavar="SECONDS", help="last offset to try (default 10)")
    parser.add_argument("--step", type=seconds_to_ms, default=500, metavar="SECONDS",
                        help="distance between offsets (default 0.5, at least 0.001)")
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the curve to FILE.png")
    args = parser.parse_args(argv)
    if (args.subtitles is None) != (args.speech is None):
        parser.error("give both an SRT file and a speech JSON file, or neither")
    if args.subtitles is None:
        args.subtitles = SAMPLE / "sample.srt"
        args.speech = SAMPLE / "sample_speech.json"
    if args.step <= 0 or args.last < args.first:
        parser.error("need --step > 0 and --from <= --to")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        subtitles = load_subtitles(args.subtitles)
        speech = load_speech(args.speech)
    except (OSError, ValueError, pysubs2.Pysubs2Error) as err:
        print(f"offset_scan: {err}", file=sys.stderr)
        return 1
    # coverage() would refuse an empty list too; without speech time every ratio is NaN or
    # infinite. Say so plainly instead.
    speech_total = sum(end - start for start, end in speech)
    if not subtitles or speech_total <= 0:
        print("offset_scan: need at least one subtitle and some speech time", file=sys.stderr)
        return 1

    offsets = range(args.first, args.last + 1, args.step)
    curve = scan(speech, subtitles, offsets)
    best = best_offset(offsets, curve)

    print(f"subtitles: {shown(args.subtitles)} ({len(subtitles)} shown)")
    print(f"speech:    {shown(args.speech)} ({len(speech)} intervals, {speech_total:.2f} s)")
    print_curve(offsets, curve, best)
    direction = "earlier" if best < 0 else "later"
    coverage = curve[offsets.index(best)]
    print(
        f"best offset: {best / 1000:+.3f} s (show every subtitle {abs(best) / 1000:.3f} s "
        f"{direction}); {100 * coverage:.1f} % of the speech time is then covered"
    )
    if args.plot is not None:
        plot_curve(args.plot, offsets, curve, best, f"Subtitle offset scan: {args.subtitles.name}")
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
