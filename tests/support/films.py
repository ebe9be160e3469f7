"""Film-sized tables: sorted speech and subtitles with realistic lengths and gaps; sentence
times and the subtitles a subtitler would time for them."""

import random
from datetime import timedelta
from typing import List, Tuple


def film(rng, speech_rows, subtitle_rows):
    base, t = [], 0.0
    for _ in range(speech_rows):
        t += rng.uniform(0.1, 3.0)
        length = rng.uniform(0.3, 8.0)
        base.append([t, t + length])
        t += length
    other, ms = [], 0
    for _ in range(subtitle_rows):
        ms += rng.randrange(200, 8000)
        length = rng.randrange(1000, 6000)
        other.append((timedelta(milliseconds=ms), timedelta(milliseconds=ms + length)))
        ms += length
    return base, other


def sentences(minutes: float, rng: random.Random) -> List[Tuple[float, float]]:
    """The times of the sentences of a film without its sound: 1-3 s of speech each, pauses
    of 1-8 s."""
    speech: List[Tuple[float, float]] = []
    t = 2.0
    while t < minutes * 60:
        length = rng.uniform(1.0, 3.0)
        speech.append((t, t + length))
        t += length + rng.uniform(1.0, 8.0)
    return speech


def shown_cues(speech: List[Tuple[float, float]], rng: random.Random) -> List[Tuple[int, int]]:
    """Each sentence's correct subtitle in milliseconds, timed as a subtitler would: a lead-in
    of 0-0.25 s, a linger of 0.1-0.8 s, never past the next sentence's start."""
    truth = []
    for n, (start, end) in enumerate(speech):
        next_start = speech[n + 1][0] if n + 1 < len(speech) else end + 5.0
        shown_end = min(end + rng.uniform(0.1, 0.8), next_start - 0.2)
        truth.append((round((start - rng.uniform(0.0, 0.25)) * 1000), round(shown_end * 1000)))
    return truth


def heard(speech: List[Tuple[float, float]], rng: random.Random) -> List[List[float]]:
    """The sentences as a speech detector finds them: each edge off by a tenth of a second or
    so, the end later rather than earlier."""
    rows = [[s + rng.gauss(0.0, 0.08), e + rng.gauss(0.1, 0.1)] for s, e in speech]
    return [row for row in rows if row[1] > row[0]]


def timed_for(truth_ms: List[Tuple[int, int]], rate: float, late: float) -> List[List[timedelta]]:
    """The subtitles of a film whose clock runs `rate` times this one's, `late` seconds late."""
    return [[timedelta(milliseconds=round(t * rate + late * 1000)) for t in cue]
            for cue in truth_ms]


def sentence_film(minutes: float, rate: float, how: str, seed: int, late: float = 3.7):
    """Speech and subtitles of a film of sentences, the subtitles made for a clock running
    `rate` times this one's and `late` seconds late, and whether each cue is a caption of a
    sound. The
    speech is the sentences' true times, or as a detector hears them; "lossy" is heard too,
    with a fifth of the cues lost and captions of sounds, where nobody speaks, in their
    place."""
    rng = random.Random(seed)
    speech = sentences(minutes, rng)
    truth = shown_cues(speech, rng)
    cues = [(start, end, False) for start, end in truth]
    if how == "lossy":
        gaps = [(a[1] + 300, b[0] - 300) for a, b in zip(truth, truth[1:])]
        captions = [(a, min(b, a + 2000), True) for a, b in rng.sample(gaps, len(gaps) // 6)
                    if b - a > 500]
        cues = sorted([cue for cue in cues if rng.random() > 0.2] + captions)
    rows = [list(row) for row in speech] if how == "true" else heard(speech, rng)
    return rows, timed_for([cue[:2] for cue in cues], rate, late), [cue[2] for cue in cues]


def undoes(factor: float, rate: float) -> bool:
    """Whether the factor found undoes the rate a file was made at: exactly 1 for 1, else the
    factor nearest 1 / rate or, for 25/23.976, its neighbour 24/25 (0.1 % apart, which a few
    minutes cannot tell apart)."""
    return factor == 1.0 if rate == 1.0 else abs(factor * rate - 1.0) < 0.0011
