"""Finds the speech in a recording with webrtcvad.

The detector takes 16-bit mono PCM at 8, 16, 32 or 48 kHz in frames of 10, 20 or 30 ms. The
audio is read with soundfile (WAV, FLAC, Ogg...), mixed down to mono and resampled with soxr to
16 kHz, which keeps all of speech's band; the frame decisions become stretches of speech in
corvela.align.smoothing.
"""

from pathlib import Path
from typing import List, Tuple

import numpy
import soundfile  # type: ignore[import-untyped]
import soxr  # type: ignore[import-untyped]
import webrtcvad  # type: ignore[import-untyped]

from corvela.align.input_error import InputError
from corvela.align.smoothing import speech_runs

RATE = 16000
FRAME_MS = 30
# A sentence keeps pauses of up to 0.3 s between its words; a stretch of speech lasts at least
# 0.15 s, below which a detection is a click or a breath.
BRIDGE_MS = 300
SHORTEST_MS = 150


def read_mono(path: Path) -> "numpy.ndarray":
    """The recording as float samples at RATE, channels averaged."""
    try:
        samples, rate = soundfile.read(str(path), dtype="float32", always_2d=True)
    except (OSError, RuntimeError, soundfile.LibsndfileError) as err:
        raise InputError(path, f"not a sound file soundfile can read ({err})") from None
    if samples.shape[0] == 0:
        raise InputError(path, "holds no audio")
    mono: "numpy.ndarray" = samples.mean(axis=1)
    if rate != RATE:
        mono = soxr.resample(mono, rate, RATE)
    return mono


def speech_in_audio(path: Path, aggressiveness: int = 2) -> List[Tuple[float, float]]:
    samples = read_mono(path)
    pcm = (numpy.clip(samples, -1.0, 1.0) * 32767).astype("<i2").tobytes()
    vad = webrtcvad.Vad(aggressiveness)
    step = RATE * FRAME_MS // 1000 * 2  # bytes per frame
    voiced = [vad.is_speech(pcm[k:k + step], RATE)
              for k in range(0, len(pcm) - step + 1, step)]
    speech = speech_runs(voiced, FRAME_MS, bridge_ms=BRIDGE_MS, shortest_ms=SHORTEST_MS)
    if not speech:
        raise InputError(path, "the voice-activity detector found no speech")
    return speech
