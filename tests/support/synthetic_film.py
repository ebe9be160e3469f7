"""Makes a film's sound and its subtitles with times known exactly, for the aligner's
end-to-end test.

Thirty sentences are spoken by espeak-ng (the Debian package) and laid, with pauses of 2 to
12 s (about five minutes in all, long enough for a 0.1 % drift to show), over steady noise.
Each sentence's true start and end come from the pieces themselves:
the first and last sample of its synthesised speech above a hundredth of its peak. The correct
subtitle of a sentence appears a little before it (lead-in) and stays a little after it
(linger), each drawn at random as a subtitler would time them; two wrong files are written:
one shown LATE seconds late, one made for the film at 25 frames per second where this one
runs at 23.976 (1.0427 times slower), and also shifted: over five minutes a change of rate
that a shift by chance cannot pass for (a 1.001 change needs about half an hour). Deterministic for a given espeak-ng.

    python3 tests/support/synthetic_film.py OUT_DIR
"""

import random
import subprocess
import sys
import tempfile
import wave
from dataclasses import dataclass
from pathlib import Path
from typing import List, Tuple

import numpy
import pysubs2

from films import shown_cues  # noqa: F401  (the film makers' callers take it from here)

RATE = 22050  # espeak-ng's own rate; the aligner resamples it for the detector
LATE = 3.7
DRIFT = 25 / 23.976
DRIFT_SHIFT = -1.8
NOISE_RMS = 0.01

SENTENCES = [
    "Is the tide going out already?",
    "Give it an hour, the rocks will show first.",
    "I left the lantern by the boat.",
    "Then we walk back in the dark.",
    "Listen. Do you hear the bell?",
    "That is the ferry, not the church.",
    "It is early tonight.",
    "Everything is early tonight.",
    "Hold the rope while I climb down.",
    "Careful, the steps are wet.",
    "Here, take the map.",
    "North is the other way round.",
    "We should have brought more water.",
    "There is a spring behind the chapel.",
    "Nobody has used it for years.",
    "Then we will be the first.",
    "The wind is turning to the west.",
    "Rain before morning, I would say.",
    "Do you still have the key to the hut?",
    "It is under the third stone.",
    "Somebody has moved the stones.",
    "Then somebody knows we are coming.",
    "Keep your voice down.",
    "The light in the window just went out.",
    "Wait here until I call you.",
    "How long do I wait?",
    "Count to five hundred, slowly.",
    "And if you do not call?",
    "Then you go back to the boat alone.",
    "I will not leave without you.",
]


@dataclass
class Film:
    sound: Path
    late: Path  # the subtitles shown LATE seconds late
    drifted: Path  # the subtitles timed for a DRIFT times slower film, shifted by DRIFT_SHIFT
    truth_ms: List[Tuple[int, int]]  # the correct subtitle of each sentence, milliseconds
    speech: List[Tuple[float, float]]  # each sentence's true start and end, seconds


def spoken(text: str, work: Path) -> "numpy.ndarray":
    """The sentence as espeak-ng says it, cut to the samples above a hundredth of its peak."""
    wav = work / "sentence.wav"
    subprocess.run(["espeak-ng", "-v", "en", "-s", "165", "-w", str(wav), text], check=True)
    with wave.open(str(wav)) as sound:
        assert sound.getframerate() == RATE, sound.getframerate()
        pcm = sound.readframes(sound.getnframes())
    samples = numpy.frombuffer(pcm, dtype="<i2").astype("float32") / 32768
    loud = numpy.flatnonzero(numpy.abs(samples) > 0.01 * numpy.abs(samples).max())
    return samples[loud[0]:loud[-1] + 1]


def write_wav(path: Path, samples: "numpy.ndarray", rate: int) -> None:
    """Mono float samples in [-1, 1] as a 16-bit WAV."""
    with wave.open(str(path), "wb") as sound:
        sound.setnchannels(1)
        sound.setsampwidth(2)
        sound.setframerate(rate)
        sound.writeframes((numpy.clip(samples, -1, 1) * 32767).astype("<i2").tobytes())


def subtitles(cues_ms: List[Tuple[int, int]]) -> pysubs2.SSAFile:
    subs = pysubs2.SSAFile()
    for n, (start, end) in enumerate(cues_ms):
        text = SENTENCES[n % len(SENTENCES)]
        subs.events.append(pysubs2.SSAEvent(start=start, end=end, text=text))
    return subs


def other_cut(truth_ms: List[Tuple[int, int]], cuts: List[Tuple[float, float]],
              late: float = 2.0) -> Tuple[List[Tuple[int, int]], List[bool]]:
    """The subtitles of another cut of the film, in milliseconds: one that holds, after each
    fraction `f` of the cues, a scene of `length` seconds (cuts = [(f, length), ...]) that this
    film lacks, with two cues of its own; the whole file shown `late` seconds late. Returns the
    cues in order and, for each, whether it has a true time here (a removed scene's cues do
    not)."""
    cues, scored = [], []
    delay = late
    at = {round(f * len(truth_ms)): length for f, length in cuts}
    for n, (start, end) in enumerate(truth_ms):
        if n in at:
            gap = (truth_ms[n - 1][1] + start) / 2 + delay * 1000
            for lead, last in ((0.8, 2.6), (3.4, 5.9)):
                cues.append((round(gap + lead * 1000), round(gap + last * 1000)))
                scored.append(False)
            delay += at[n]
        cues.append((start + round(delay * 1000), end + round(delay * 1000)))
        scored.append(True)
    return cues, scored


def make_film(out_dir: Path, seed: int = 7) -> Film:
    rng = random.Random(seed)
    pieces, speech = [], []
    t = 2.0
    with tempfile.TemporaryDirectory() as work:
        for text in SENTENCES:
            piece = spoken(text, Path(work))
            start = round(t * RATE)
            pieces.append((start, piece))
            speech.append((start / RATE, (start + len(piece)) / RATE))
            t = (start + len(piece)) / RATE + rng.uniform(2.0, 12.0)
    total = pieces[-1][0] + len(pieces[-1][1]) + 2 * RATE
    noise = numpy.random.default_rng(seed).normal(0.0, NOISE_RMS, total).astype("float32")
    for start, piece in pieces:
        noise[start:start + len(piece)] += piece
    sound = out_dir / "film.wav"
    write_wav(sound, noise, RATE)

    truth = shown_cues(speech, rng)
    late = out_dir / "late.srt"
    subtitles([(s + round(LATE * 1000), e + round(LATE * 1000)) for s, e in truth]).save(str(late))
    drifted = out_dir / "drifted.srt"
    subtitles([(round(s * DRIFT + DRIFT_SHIFT * 1000), round(e * DRIFT + DRIFT_SHIFT * 1000))
               for s, e in truth]).save(str(drifted))
    return Film(sound, late, drifted, truth, speech)


if __name__ == "__main__":
    film = make_film(Path(sys.argv[1]))
    print(f"wrote {film.sound}, {film.late}, {film.drifted}")
