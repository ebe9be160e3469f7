"""Writes the sample that the README runs corvela-align on (and offset_scan.py shows).

sample_speech.json stands in for what a voice-activity detector reports for a two-minute
clip: one [start, end] pair in seconds per stretch of speech. sample.srt holds subtitles timed
for that speech, each shown a little before the speech starts (lead-in) and kept a little after
it ends (linger), both drawn at random as a subtitler times them, but the whole file runs
SUBTITLE_DELAY seconds late, as when subtitles made for one cut of a video are played over
another. The aligner must find about -SUBTITLE_DELAY.

The output is deterministic: running this again rewrites both files byte for byte.
Usage: python3 examples/sample/make_sample.py [OUT_DIR]  (default: beside this script).
Needs pysubs2 (pip install ".[align]").
"""

import json
import random
import sys
from pathlib import Path
from typing import List, Tuple

import pysubs2

SUBTITLE_DELAY = 3.7
LEAD_IN = (0.0, 0.25)  # subtitle appears this long before the speech starts (range, seconds)
LINGER = (0.1, 0.8)  # and stays this long after it ends
HERE = Path(__file__).resolve().parent

LINES = [
    "Is the tide going out already?",
    "Give it an hour.\nThe rocks will show first.",
    "I left the lantern by the boat.",
    "Then we walk back in the dark.",
    "Listen. Do you hear the bell?",
    "That is the ferry, not the church.",
    "It is early tonight.",
    "Everything is early tonight.",
    "Hold the rope while I climb down.",
    "Careful, the steps are wet.",
    "Here. Take the map.",
    "North is the other way round.",
]


def speech_intervals(count: int, seed: int) -> List[Tuple[float, float]]:
    """Utterances of 1.2 to 4 s separated by pauses of 1 to 3 s, in hundredths of a second."""
    rng = random.Random(seed)
    intervals = []
    t = 1.0
    for _ in range(count):
        start = round(t, 2)
        end = round(start + rng.uniform(1.2, 4.0), 2)
        intervals.append((start, end))
        t = end + rng.uniform(1.0, 3.0)
    return intervals


def subtitles_for(speech: List[Tuple[float, float]], seed: int) -> pysubs2.SSAFile:
    rng = random.Random(seed)
    subs = pysubs2.SSAFile()
    for n, (start, end) in enumerate(speech):
        # The linger never runs into the next line's lead-in.
        next_start = speech[n + 1][0] if n + 1 < len(speech) else end + 5.0
        shown_end = min(end + rng.uniform(*LINGER), next_start - 0.3)
        subs.events.append(
            pysubs2.SSAEvent(
                start=round((start - rng.uniform(*LEAD_IN) + SUBTITLE_DELAY) * 1000),
                end=round((shown_end + SUBTITLE_DELAY) * 1000),
                text=LINES[n % len(LINES)].replace("\n", r"\N"),
            )
        )
    return subs


def main(out_dir: Path = HERE) -> None:
    speech = speech_intervals(count=30, seed=2024)
    rows = ",\n".join("  " + json.dumps([start, end]) for start, end in speech)
    (out_dir / "sample_speech.json").write_text("[\n" + rows + "\n]\n", encoding="utf-8")
    (out_dir / "sample.srt").write_text(subtitles_for(speech, seed=2025).to_string("srt"), encoding="utf-8")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else HERE)
