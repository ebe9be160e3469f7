"""Show the coverage curve around the offset corvela-align would choose.

Reads the files as corvela-align does (corvela.align), asks corvela.core.scan.best_offset for
the offset and the frame-rate factor, then corvela.core.scan.coverage for the share of the
speech covered at offsets around it, with the subtitles scaled by that factor: a short table,
and with --plot a picture with the plateau and the chosen offset marked.

    python3 examples/offset_scan.py                      # the sample in examples/sample/
    python3 examples/offset_scan.py film.srt speech.json --plot curve.png

Needs the 'examples' extra: pip install ".[examples]" (the aligner's readers, and matplotlib).
"""

import argparse
import sys
from datetime import timedelta
from pathlib import Path
from typing import List, Optional, Sequence

from corvela.align.input_error import InputError
from corvela.align.speech_file import read_speech
from corvela.align.subtitle_file import read_subtitles, times_of
from corvela.core.scan import FRAME_RATE_FACTORS, BestOffset, best_offset, coverage

SAMPLE = Path(__file__).resolve().parent / "sample"
BAR_WIDTH = 40
TABLE_ROWS = 19  # evenly spaced offsets in the printed table, the plateau's added
PLOT_POINTS = 601  # offsets in the picture
SPAN = timedelta(seconds=3)  # shown on each side of the plateau


def curve_around(found: BestOffset, points: int) -> List[timedelta]:
    """`points` evenly spaced offsets from SPAN before the plateau to SPAN after it, with the
    plateau's ends and the chosen offset among them."""
    first = found.plateau_start - SPAN
    step = (found.plateau_end + SPAN - first) / (points - 1)
    marked = {found.plateau_start, found.offset, found.plateau_end}
    grid = {first + k * step for k in range(points)}
    # A grid offset a hair from a marked one would print as the same row.
    grid = {t for t in grid if all(abs(t - m) > step / 4 for m in marked)}
    return sorted(grid | marked)


def print_table(offsets: Sequence[timedelta], curve: Sequence[float], found: BestOffset) -> None:
    top = max(curve)
    print("offset (s)  coverage")
    for offset, value in zip(offsets, curve):
        bar = "#" * round(BAR_WIDTH * max(value, 0.0) / top) if top > 0 else ""
        mark = ("  <- chosen" if offset == found.offset
                else "  plateau" if found.plateau_start <= offset <= found.plateau_end else "")
        print(f"{offset.total_seconds():10.3f}  {value:8.4f}  {bar}{mark}")


def plot(path: Path, offsets: Sequence[timedelta], curve: Sequence[float], found: BestOffset,
         title: str) -> None:
    # Imported here so that the table works without matplotlib.
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7.5, 3.6), layout="constrained")
    ax = fig.add_subplot()
    ax.axvspan(found.plateau_start.total_seconds(), found.plateau_end.total_seconds(),
               color="tab:green", alpha=0.2, label="plateau")
    ax.plot([o.total_seconds() for o in offsets], [100 * c for c in curve], color="tab:blue",
            linewidth=1.5, label="coverage")
    chosen = found.offset.total_seconds()
    ax.axvline(chosen, color="tab:red", linestyle="--", linewidth=1)
    ax.annotate(f"chosen: {chosen:+.3f} s ({100 * found.coverage:.1f} %)",
                xy=(chosen, 100 * found.coverage), xytext=(8, 6), textcoords="offset points",
                color="tab:red", va="bottom")
    drift = "" if found.factor == 1.0 else f", times × {found.factor:.6g}"
    ax.set_xlabel(f"offset applied to every subtitle (s){drift}")
    ax.set_ylabel("speech time covered (%)")
    ax.set_title(title)
    ax.set_ylim(0, 1.15 * max(max(curve) * 100, 1.0))
    ax.legend(loc="lower right")
    ax.grid(True, alpha=0.3)
    fig.savefig(path, dpi=100)


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="The coverage curve around the best offset.")
    parser.add_argument("subtitles", nargs="?", type=Path, help="subtitle file (default: the sample)")
    parser.add_argument("speech", nargs="?", type=Path, help="JSON list of [start, end] seconds")
    parser.add_argument("--no-drift", action="store_true", help="only shift, factor 1")
    parser.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the curve to FILE.png")
    args = parser.parse_args(argv)
    if (args.subtitles is None) != (args.speech is None):
        parser.error("give both a subtitle file and a speech JSON file, or neither")
    if args.subtitles is None:
        args.subtitles = SAMPLE / "sample.srt"
        args.speech = SAMPLE / "sample_speech.json"
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        shown = times_of(read_subtitles(args.subtitles).weighed()[0])
        speech = [list(row) for row in read_speech(args.speech)]
    except InputError as err:
        print(f"offset_scan: {err}", file=sys.stderr)
        return 1
    found = best_offset(speech, shown, timedelta(seconds=-60), timedelta(seconds=60),
                        factors=(1.0,) if args.no_drift else FRAME_RATE_FACTORS)
    scaled = [[s * found.factor, e * found.factor] for s, e in shown]
    offsets = curve_around(found, TABLE_ROWS)
    print_table(offsets, coverage(speech, scaled, offsets), found)
    print(f"chosen offset: {found.offset.total_seconds():+.3f} s, factor {found.factor!r}, "
          f"{100 * found.coverage:.1f} % of the speech time covered")
    if args.plot is not None:
        offsets = curve_around(found, PLOT_POINTS)
        plot(args.plot, offsets, coverage(speech, scaled, offsets), found,
             f"Coverage around the chosen offset: {args.subtitles.name}")
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
