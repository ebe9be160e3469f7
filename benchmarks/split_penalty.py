"""Calibrates corvela-align's default split penalty on synthetic films.

A split penalty is the covered speech, in seconds, that a change of offset along the file must
gain. Too low, and a correctly cut film is split where the subtitler's timing or the detector
wanders; too high, and a film of another cut keeps one offset. For films of several lengths
and seeds (bench_align.py's: espeak-ng sentences over noise, with the subtitler's lead-in and
linger), with speech from the true sentence times and from the detector, this prints for each
penalty of a grid:
- correctly cut subtitles (shown late; and made for the film at 25 frames per second against
  23.976, shifted): how many of the films are split at all;
- subtitles of another cut (one scene of 7.5 s removed after 40 % of the cues; two scenes of
  7.5 s and 12 s after 30 % and 70 %; each removed scene's two cues left in the file): the
  share of the other cues whose corrected start lies within 500 ms of the truth and their
  median error, the worst film's of each.

    build/dev/bin/python benchmarks/split_penalty.py [--minutes 10 100] [--seeds 3]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
from datetime import timedelta
from pathlib import Path
from typing import Dict, List, Sequence, Tuple

import json

import pysubs2

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_align import (  # noqa: E402
    CUES_PER_MINUTE, RATE, SENTENCES, lay_out, pcm16, render, resampled, spoken, wav_writer)

from corvela.align import segments  # noqa: E402
from corvela.align.command import search_range  # noqa: E402
from corvela.core.scan import FRAME_RATE_FACTORS, best_offset  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
from synthetic_film import LATE, DRIFT, DRIFT_SHIFT, other_cut  # noqa: E402

PENALTIES = (0.5, 1.0, 1.5, 2.0, 3.0)
CUTS = {"one scene": [(0.4, 7.5)], "two scenes": [(0.3, 7.5), (0.7, 12.0)]}

Rows = List[List[timedelta]]


def rows_of(cues_ms: Sequence[Tuple[int, int]]) -> Rows:
    return [[timedelta(milliseconds=s), timedelta(milliseconds=e)] for s, e in cues_ms]


def films(minutes: Sequence[float], seeds: int, work: Path) -> List[Dict[str, object]]:
    """Each film's truth and its speech: the true sentence times and the detector's."""
    with tempfile.TemporaryDirectory() as scratch:
        pieces = [spoken(text, Path(scratch)) for text in SENTENCES]
    at16 = [resampled(p, 16000) for p in pieces]
    made = []
    for length in minutes:
        for seed in range(1, seeds + 1):
            film = lay_out([len(p) / RATE for p in pieces], length, round(length * CUES_PER_MINUTE),
                           seed)
            folder = work / f"{length:g}min-{seed}"
            folder.mkdir()
            with wav_writer(folder / "film16.wav", 16000, 1) as wav:
                for chunk in render(film, at16, 16000, 1, seed):
                    wav.writeframes(pcm16(chunk))
            truth = folder / "truth.srt"
            subs = pysubs2.SSAFile()
            for start, end in film.truth_ms:
                subs.events.append(pysubs2.SSAEvent(start=start, end=end, text="-"))
            subs.save(str(truth))
            detected = folder / "speech.json"
            subprocess.run([str(Path(sys.executable).parent / "corvela-align"), "-q", str(truth),
                            str(folder / "film16.wav"), "-o", str(folder / "unused.srt"),
                            "--save-speech", str(detected), "--force"], check=False)
            made.append({"name": folder.name, "truth_ms": film.truth_ms,
                         "speech": {"true": [list(row) for row in film.speech],
                                    "detected": json.loads(detected.read_text())}})
            print(f"made {folder.name}: {len(film.truth_ms)} cues", flush=True)
    return made


def segments_at(speech: List[List[float]], cues: Rows, penalty: float) -> segments.Split:
    """The command's split of the file, with its frame-rate factors and default range, the
    whole film."""
    lo, hi = search_range(None, None, speech, cues, FRAME_RATE_FACTORS)
    whole = best_offset(speech, cues, lo, hi, factors=FRAME_RATE_FACTORS, factor_evidence=True)
    return segments.split(speech, cues, list(range(1, len(cues) + 1)),
                          lo, hi, penalty, FRAME_RATE_FACTORS,
                          whole)


def errors_ms(cues_ms, scored, truth_ms, split: segments.Split) -> List[float]:
    """Each scored cue's corrected start less the truth's, in milliseconds, absolute."""
    errors = []
    truths = iter(truth_ms)
    for (start, _), kept, offset in zip(cues_ms, scored, split.offsets):
        if kept:
            fixed = timedelta(milliseconds=start) * split.factor + offset
            errors.append(abs(fixed.total_seconds() * 1000 - next(truths)[0]))
    return errors


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, nargs="+", default=[10.0, 100.0])
    parser.add_argument("--seeds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        made = films(args.minutes, args.seeds, Path(work))
    print(f"\n{len(made)} films; penalty in seconds of covered speech")
    print(f"{'penalty':>8} {'source':>9} {'correct films split':>20} "
          + " ".join(f"{name + ': within 500 ms, median':>34}" for name in CUTS))
    for penalty in PENALTIES:
        for source in ("true", "detected"):
            split_correct = 0
            worst = {name: 1.0 for name in CUTS}
            median = {name: 0.0 for name in CUTS}
            for film in made:
                truth = film["truth_ms"]
                speech = film["speech"][source]
                late = [(s + round(LATE * 1000), e + round(LATE * 1000)) for s, e in truth]
                drifted = [(round(s * DRIFT + DRIFT_SHIFT * 1000),
                            round(e * DRIFT + DRIFT_SHIFT * 1000)) for s, e in truth]
                for cues in (late, drifted):
                    split = segments_at(speech, rows_of(cues), penalty)
                    split_correct += len(split.segments) > 1
                for name, cuts in CUTS.items():
                    cues, scored = other_cut(truth, cuts)
                    split = segments_at(speech, rows_of(cues), penalty)
                    errors = errors_ms(cues, scored, truth, split)
                    worst[name] = min(worst[name], sum(e <= 500 for e in errors) / len(errors))
                    median[name] = max(median[name], statistics.median(errors))
            print(f"{penalty:8.1f} {source:>9} {split_correct:>13} of {2 * len(made):<3} "
                  + " ".join(f"{worst[name]:25.1%} {median[name]:6.0f} ms" for name in CUTS),
                  flush=True)


if __name__ == "__main__":
    main()
