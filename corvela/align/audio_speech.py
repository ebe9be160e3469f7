"""Finds the speech in a film or a recording with webrtcvad, streaming.

PyAV (FFmpeg's libraries, carried by its wheels) demuxes and decodes one audio stream of any
container FFmpeg reads (MKV, MP4, WebM, AVI, WAV, FLAC, MP3, Opus...), and FFmpeg's resampler
mixes it down to 16-bit mono at 16 kHz, which keeps all of speech's band and is a rate the
detector takes. Decoded audio goes through in pieces of a few thousand samples and is never
kept: what grows with the film is only the list of speech stretches. The 30 ms frame decisions
become stretches in corvela.align.smoothing.
"""

from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

import av
import webrtcvad  # type: ignore[import-untyped]

from corvela.align.input_error import InputError
from corvela.align.smoothing import speech_runs

RATE = 16000
FRAME_MS = 30
FRAME_BYTES = RATE * FRAME_MS // 1000 * 2  # 16-bit mono
# A sentence keeps pauses of up to 0.3 s between its words; a stretch of speech lasts at least
# 0.15 s, below which a detection is a click or a breath.
BRIDGE_MS = 300
SHORTEST_MS = 150

# Called with the seconds of audio decoded so far.
Progress = Callable[[float], None]


def open_media(path: Path) -> "av.container.InputContainer":
    if not path.exists():
        raise InputError(path, "no such file")
    try:
        return av.open(str(path))
    except av.FFmpegError as err:
        raise InputError(path, f"not a film or sound file FFmpeg can read "
                               f"({err.strerror or err})") from None
    except OSError as err:
        raise InputError(path, f"cannot read: {err.strerror or err}") from None


def media_duration(container: "av.container.InputContainer",
                   stream: Optional["av.stream.Stream"] = None) -> Optional[float]:
    """The length in seconds the container states, if it states one."""
    if stream is not None and stream.duration is not None and stream.time_base is not None:
        return float(stream.duration * stream.time_base)
    if container.duration is not None:
        return container.duration / av.time_base
    return None


def audio_stream(container: "av.container.InputContainer", path: Path,
                 index: Optional[int]) -> "av.AudioStream":
    streams = container.streams.audio
    if not streams:
        raise InputError(path, "holds no audio stream")
    if index is None:
        # FFmpeg's choice: the stream marked default, else the one it would play.
        best = container.streams.best("audio")
        return best if isinstance(best, av.AudioStream) else streams[0]
    if not 0 <= index < len(streams):
        raise InputError(path, f"has {len(streams)} audio stream(s); --audio-stream "
                               f"counts them from 0")
    return streams[index]


def start_time(container: "av.container.InputContainer") -> float:
    """Where the film's clock starts: players show subtitles counted from there (an MPEG-TS
    film, for one, starts its clock at a second or more)."""
    start = container.start_time
    return 0.0 if start is None else start / av.time_base


def pcm_frames(path: Path, stream_index: Optional[int], first: List[float],
               progress: Optional[Progress] = None) -> Iterator[bytes]:
    """The audio as 16 kHz 16-bit mono, in detector frames of FRAME_MS (the last, partial one
    dropped); appends to `first` the film time of the first sample."""
    with open_media(path) as container:
        stream = audio_stream(container, path, stream_index)
        clock = start_time(container)
        resampler = av.AudioResampler(format="s16", layout="mono", rate=RATE)
        pending = bytearray()
        try:
            for packet in container.demux(stream):
                # The last packet of the stream is empty and flushes the decoder.
                for frame in packet.decode():
                    if not first:
                        first.append(0.0 if frame.time is None else frame.time - clock)
                    for out in resampler.resample(frame):
                        pending += memoryview(out.planes[0])[:out.samples * 2]
                    if progress is not None and frame.time is not None:
                        progress(frame.time)
                whole = len(pending) - len(pending) % FRAME_BYTES
                for k in range(0, whole, FRAME_BYTES):
                    yield bytes(pending[k:k + FRAME_BYTES])
                del pending[:whole]
        except av.FFmpegError as err:
            raise InputError(path, f"cannot decode its audio ({err.strerror or err})") from None
        for out in resampler.resample(None):
            pending += memoryview(out.planes[0])[:out.samples * 2]
        for k in range(0, len(pending) - FRAME_BYTES + 1, FRAME_BYTES):
            yield bytes(pending[k:k + FRAME_BYTES])


def speech_in_audio(path: Path, aggressiveness: int = 2, stream_index: Optional[int] = None,
                    progress: Optional[Progress] = None) -> List[Tuple[float, float]]:
    vad = webrtcvad.Vad(aggressiveness)
    first: List[float] = []
    frames = pcm_frames(path, stream_index, first, progress)
    voiced = (vad.is_speech(frame, RATE) for frame in frames)
    runs = speech_runs(voiced, FRAME_MS, bridge_ms=BRIDGE_MS, shortest_ms=SHORTEST_MS)
    if not runs:
        raise InputError(path, "the voice-activity detector found no speech")
    return [(start + first[0], end + first[0]) for start, end in runs]
