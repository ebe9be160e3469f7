"""The figures behind corvela-align's rule for a result in doubt (exit status 3).

On synthetic films (tests/support/synthetic_film.py: espeak-ng speech over noise, true cue times),
the detector's speech is aligned with the film's own subtitles, shifted or drifted, and with
subtitles that do not belong: another film's (the same sentences at other times), and the
film's own shifted beyond the range. The rule's coverage and margin thresholds must lie
between the two groups.

    python benchmarks/refusal_rule.py [--films N]
"""

import argparse
import sys
import tempfile
from datetime import timedelta
from pathlib import Path
from typing import List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))

from synthetic_film import make_film  # type: ignore[import-not-found]  # noqa: E402

from corvela.align.audio_speech import speech_in_audio  # noqa: E402
from corvela.align.report import LOW_COVERAGE, SMALL_MARGIN, margin_of  # noqa: E402
from corvela.core.scan import FRAME_RATE_FACTORS, best_offset  # noqa: E402

RANGE = timedelta(seconds=60)


Rows = List[List[timedelta]]


def cues(truth: List[Tuple[int, int]], shift_s: float, scale: float = 1.0) -> Rows:
    move = timedelta(seconds=shift_s)
    return [[timedelta(milliseconds=s) * scale + move, timedelta(milliseconds=e) * scale + move]
            for s, e in truth]


def row(kind: str, speech: List[Tuple[float, float]],
        other: Rows) -> Tuple[str, float, float, bool]:
    found = best_offset([list(r) for r in speech], other, -RANGE, RANGE,
                        factors=FRAME_RATE_FACTORS)
    edge = found.plateau_start == -RANGE or found.plateau_end == RANGE
    margin = margin_of(found)
    return kind, found.coverage, -1.0 if margin is None else margin, edge


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--films", type=int, default=4)
    args = ap.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as work:
        films = []
        for seed in range(7, 7 + args.films):
            folder = Path(work, str(seed))
            folder.mkdir()
            films.append(make_film(folder, seed=seed))
        for n, film in enumerate(films):
            speech = speech_in_audio(film.sound)
            rows.append(row("own, 3.7 s late", speech, cues(film.truth_ms, 3.7)))
            rows.append(row("own, drifted 1.001", speech, cues(film.truth_ms, -1.8, 1.001)))
            rows.append(row("own, 40 s early", speech, cues(film.truth_ms, -40)))
            other = films[(n + 1) % len(films)]
            rows.append(row("another film's", speech, cues(other.truth_ms, 0)))
            rows.append(row("own, 75 s late", speech, cues(film.truth_ms, 75)))
    print(f"thresholds: coverage below {LOW_COVERAGE:.0%}, margin below {SMALL_MARGIN:.0%}, "
          "or the best offsets at the range's edge\n")
    print(f"{len(films)} films of 5 minutes, range -60 s to +60 s, the frame-rate factors\n")
    print("| subtitles | coverage | margin | at the edge | in doubt |")
    print("|---|---:|---:|---:|---:|")
    for kind in dict.fromkeys(r[0] for r in rows):
        mine = [r for r in rows if r[0] == kind]
        cov, mar = [r[1] for r in mine], [r[2] for r in mine]
        doubt = sum(c < LOW_COVERAGE or 0 <= m < SMALL_MARGIN or e for _, c, m, e in mine)
        print(f"| {kind} | {min(cov):.1%}-{max(cov):.1%} | {min(mar):.1%}-{max(mar):.1%} "
              f"| {sum(r[3] for r in mine)} | {doubt} of {len(mine)} |")


if __name__ == "__main__":
    main()
