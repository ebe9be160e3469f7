"""Makes short clips of speech under music, with times known exactly, for the speech
detectors' end-to-end test and benchmark.

Each clip is two minutes: sentences of the synthetic film (tests/support/synthetic_film.py,
espeak-ng) over a bed of chords 12 dB below the speech, two passages of music alone where the
bed swells to the speech's level, and three door slams (loud broadband bursts) in pauses. Its
subtitles caption the passages "[MUSIC]" and the slams "[DOOR SLAMS]", and time each sentence
as synthetic_film.shown_cues does; the file written is shown LATE seconds late. The chords are
sums of harmonics on a pitch, which is what a frame detector listening for voicing hears as a
voice. Deterministic for a given espeak-ng and seed.

    python3 tests/support/music_clips.py OUT_DIR
"""

import random
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import List, Sequence, Tuple

import numpy
import pysubs2

from synthetic_film import LATE, NOISE_RMS, RATE, SENTENCES, shown_cues, spoken, write_wav

SECONDS = 120.0
BED_DB = -12.0  # the chord bed against the speech, RMS to RMS
CHORD_SECONDS = 2.0
# Triads on C, A minor, F and G (Hz of the root, and the chord's intervals in semitones).
CHORDS = [(130.81, (0, 4, 7)), (110.0, (0, 3, 7)), (87.31, (0, 4, 7)), (98.0, (0, 4, 7))]
PASSAGES = 2
PASSAGE_SECONDS = (8.0, 12.0)
SLAMS = 3
SEEDS = (1, 2, 3)


@dataclass
class Clip:
    sound: Path
    late: Path  # the subtitles, captions included, shown LATE seconds late
    truth_ms: List[Tuple[int, int]]  # each cue's correct time in the file's order, milliseconds
    texts: List[str]


def chord_bed(length: int, rng: "numpy.random.Generator") -> "numpy.ndarray":
    """Chords of four harmonics per note, a bass an octave down, changing every CHORD_SECONDS
    with 20 ms fades, at an RMS of one."""
    t = numpy.arange(length) / RATE
    bed = numpy.zeros(length, dtype="float64")
    step = round(CHORD_SECONDS * RATE)
    fade = numpy.minimum(1.0, numpy.minimum(numpy.arange(step), numpy.arange(step)[::-1])
                         / (0.02 * RATE))
    for lo in range(0, length, step):
        root, intervals = CHORDS[int(rng.integers(len(CHORDS)))]
        hi = min(lo + step, length)
        part = numpy.zeros(hi - lo)
        for pitch in [root / 2] + [root * 2 ** (i / 12) for i in intervals]:
            for harmonic in range(1, 5):
                part += numpy.sin(2 * numpy.pi * pitch * harmonic * t[lo:hi]
                                  + rng.uniform(0, 2 * numpy.pi)) / harmonic
        bed[lo:hi] = part * fade[:hi - lo]
    result: numpy.ndarray = (bed / numpy.sqrt(numpy.mean(bed ** 2))).astype("float32")
    return result


def slam(rng: "numpy.random.Generator", peak: float) -> "numpy.ndarray":
    """A door slam: a thump and a crack of noise, decaying over 0.3 s."""
    n = round(0.3 * RATE)
    t = numpy.arange(n) / RATE
    thump = numpy.sin(2 * numpy.pi * 60 * t) * numpy.exp(-t / 0.06)
    crack = rng.normal(0.0, 1.0, n) * numpy.exp(-t / 0.03)
    sound = thump + crack
    result: numpy.ndarray = (sound * peak / numpy.abs(sound).max()).astype("float32")
    return result


def lay_out(lengths: Sequence[int], rng: random.Random) -> List[Tuple[str, int, int]]:
    """(kind, first sample, one past the last) of each event in time order: "speech" with the
    sentence's number, "music" for a passage, "slam" for a door."""
    events: List[Tuple[str, int, int]] = []
    passages_at = set(rng.sample(range(3, 14), PASSAGES))
    t, n, gap = 2.0, 0, 0
    end = SECONDS - 4.0
    while True:
        if gap in passages_at:
            length = rng.uniform(*PASSAGE_SECONDS)
            if t + length > end:
                break
            events.append(("music", round(t * RATE), round((t + length) * RATE)))
            t += length + rng.uniform(1.0, 2.0)
        k = n % len(SENTENCES)
        if t * RATE + lengths[k] > end * RATE:
            break
        start = round(t * RATE)
        events.append((f"speech {k}", start, start + lengths[k]))
        t = (start + lengths[k]) / RATE + rng.uniform(1.5, 4.5)
        n += 1
        gap += 1
    # Slams in the middle of pauses of two seconds or more between sentences.
    pauses = [(a[2], b[1]) for a, b in zip(events, events[1:])
              if a[0].startswith("speech") and b[0].startswith("speech")
              and b[1] - a[2] >= 2 * RATE]
    for lo, hi in rng.sample(pauses, min(SLAMS, len(pauses))):
        middle = (lo + hi) // 2
        events.append(("slam", middle, middle + round(0.3 * RATE)))
    return sorted(events, key=lambda event: event[1])


def make_clip(out_dir: Path, pieces: Sequence["numpy.ndarray"], seed: int) -> Clip:
    rng = random.Random(seed)
    noise = numpy.random.default_rng(seed)
    events = lay_out([len(p) for p in pieces], rng)
    total = round(SECONDS * RATE)
    speech_rms = float(numpy.sqrt(numpy.mean(numpy.concatenate(pieces) ** 2)))
    level = numpy.full(total, speech_rms * 10 ** (BED_DB / 20), dtype="float32")
    sound = noise.normal(0.0, NOISE_RMS, total).astype("float32")
    for kind, lo, hi in events:
        if kind == "music":  # the bed swells to the speech's level and back over half a second
            ramp = numpy.minimum(1.0, numpy.minimum(numpy.arange(hi - lo),
                                                    numpy.arange(hi - lo)[::-1]) / (0.5 * RATE))
            level[lo:hi] *= 10 ** (-BED_DB / 20 * ramp)
        elif kind == "slam":
            sound[lo:hi] += slam(noise, min(0.9, 6 * speech_rms))
        else:
            sound[lo:hi] += pieces[int(kind.split()[1])]
    sound += chord_bed(total, noise) * level
    path = out_dir / f"music{seed}.wav"
    write_wav(path, sound / max(1.0, float(numpy.abs(sound).max())), RATE)

    said = [(lo / RATE, hi / RATE) for kind, lo, hi in events if kind.startswith("speech")]
    cues = iter(shown_cues(said, rng))
    truth, texts = [], []
    for kind, lo, hi in events:
        if kind.startswith("speech"):
            truth.append(next(cues))
            texts.append(SENTENCES[int(kind.split()[1])])
        else:  # a caption shown with its sound, and a second past a slam
            shown_end = max(hi / RATE + 0.7, lo / RATE + 1.0)
            truth.append((round(lo / RATE * 1000), round(shown_end * 1000)))
            texts.append("[MUSIC]" if kind == "music" else "[DOOR SLAMS]")
    late = out_dir / f"music{seed}.srt"
    shift = round(LATE * 1000)
    subtitles(texts, [(s + shift, e + shift) for s, e in truth]).save(str(late))
    return Clip(path, late, truth, texts)


def subtitles(texts: Sequence[str], cues_ms: Sequence[Tuple[int, int]]) -> pysubs2.SSAFile:
    subs = pysubs2.SSAFile()
    for text, (start, end) in zip(texts, cues_ms):
        subs.events.append(pysubs2.SSAEvent(start=start, end=end, text=text))
    return subs


def make_clips(out_dir: Path, seeds: Sequence[int] = SEEDS) -> List[Clip]:
    with tempfile.TemporaryDirectory() as work:
        pieces = [spoken(text, Path(work)) for text in SENTENCES]
    return [make_clip(out_dir, pieces, seed) for seed in seeds]


if __name__ == "__main__":
    for clip in make_clips(Path(sys.argv[1])):
        print(f"wrote {clip.sound}, {clip.late}")
