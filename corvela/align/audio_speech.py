"""Finds the speech in a film or a recording with a frame detector (corvela.align.detectors:
webrtcvad or Silero), streaming.

PyAV (FFmpeg's libraries, carried by its wheels) demuxes and decodes one audio stream of any
container FFmpeg reads (MKV, MP4, WebM, AVI, WAV, FLAC, MP3, Opus...), and FFmpeg's filters mix
it down to mono at 16 kHz, which keeps all of speech's band and is a rate both detectors take,
in the detector's sample format. Audio goes through a second at a time and is never kept: what
grows with the film is only a byte per detector frame (30 or 32 ms) of decisions, which become
stretches of speech in corvela.align.smoothing.

A long film is heard as two halves, each by a detector of its own; the second half's starts
half a minute early, so that its detector's state (webrtcvad's adaptive noise estimate,
Silero's memory) has settled when its frames begin, and keeps the first half's frame grid. On
two cores the second half is heard by a worker process at the same time (decoding holds the
interpreter lock, so threads would take turns; the worker is this module run as a program),
and gives the same bytes as when heard after the first.
"""

import os
import signal
import subprocess
import sys
from itertools import chain
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

import av

from corvela.align.detectors import RATE, frame_ms, make
from corvela.align.input_error import InputError
from corvela.align.smoothing import speech_runs

# A sentence keeps pauses of up to 0.3 s between its words; a stretch of speech lasts at least
# 0.15 s, below which a detection is a click or a breath.
BRIDGE_MS = 300
SHORTEST_MS = 150

# Films at least this long are heard in two halves on two cores.
SPLIT_SECONDS = 600.0
WARM_UP_MS = 30_000


def filters(sample_format: str) -> List[Tuple[str, str]]:
    """Mixed down first, so the resampler filters one channel; whole seconds out, never
    padded."""
    return [("aformat", "sample_fmts=fltp:channel_layouts=mono"), ("aresample", str(RATE)),
            ("aformat", f"sample_fmts={sample_format}"), ("asetnsamples", f"n={RATE}:p=0")]

# Called with the share of the audio heard so far, from 0 to 1.
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


class Mixer:
    """FFmpeg's filter graph from decoded frames of one format to 16 kHz mono seconds.
    Decoded frames are pushed one by one (a film's codec gives one every 20 ms or so) and the
    output is drained about once a second of input, since each empty pull costs an exception."""

    def __init__(self, frame: "av.AudioFrame", sample_format: str = "s16") -> None:
        self.graph = av.filter.Graph()
        self.source = self.graph.add_abuffer(
            format=frame.format.name, sample_rate=frame.sample_rate, layout=frame.layout.name,
            time_base=frame.time_base)
        last = self.source
        for name, arguments in filters(sample_format):
            step = self.graph.add(name, arguments)
            last.link_to(step)
            last = step
        self.sink = self.graph.add("abuffersink")
        last.link_to(self.sink)
        self.graph.configure()
        self.rate = frame.sample_rate
        self.pushed = 0

    def push(self, frame: Optional["av.AudioFrame"]) -> bool:
        """False when the frame's format is not the graph's (a stream may change midway)."""
        try:
            self.source.push(frame)
        except av.ArgumentError:
            return False
        if frame is not None:
            self.pushed += frame.samples
        return True

    def drain(self, at_end: bool = False) -> Iterator["av.AudioFrame"]:
        if not at_end and self.pushed < self.rate:
            return
        self.pushed = 0
        while True:
            try:
                frame = self.sink.pull()
            except (av.BlockingIOError, av.EOFError):
                return
            assert isinstance(frame, av.AudioFrame)
            yield frame


def mono_seconds(container: "av.container.InputContainer", stream: "av.AudioStream",
                 progress: Optional[Progress] = None,
                 length: Optional[float] = None, sample_format: str = "s16",
                 sample_bytes: int = 2) -> Iterator[Tuple[Optional[int], bytes]]:
    """The stream from where the container stands, as (position, samples): the position of
    the first sample on the film's 16 kHz clock, when the stream says it, and a second or less
    of samples in `sample_format`, each `sample_bytes` long."""
    clock = round(start_time(container) * RATE)
    mixer: Optional[Mixer] = None

    def out(frames: Iterator["av.AudioFrame"]) -> Iterator[Tuple[Optional[int], bytes]]:
        for frame in frames:
            position = None if frame.pts is None else frame.pts - clock
            yield position, bytes(memoryview(frame.planes[0])[:frame.samples * sample_bytes])

    # The last packet of the stream is empty and flushes the decoder.
    for packet in container.demux(stream):
        for frame in packet.decode():
            if mixer is None or not mixer.push(frame):
                if mixer is not None:
                    mixer.push(None)
                    yield from out(mixer.drain(at_end=True))
                mixer = Mixer(frame, sample_format)
                mixer.push(frame)
            ready = mixer.pushed >= mixer.rate
            yield from out(mixer.drain())
            if ready and progress is not None and length and frame.time is not None:
                progress(min(frame.time / length, 1.0))
    if mixer is not None:
        mixer.push(None)
        yield from out(mixer.drain(at_end=True))


def detector_frames(seconds: Iterator[Tuple[Optional[int], bytes]], origin: int,
                    frame_samples: int = 480,
                    sample_bytes: int = 2) -> Iterator[Tuple[int, bytes]]:
    """(index, frame) of the detector's frames; frame k starts at sample
    origin + frame_samples * k of the film's clock. The first second's position places the
    frames on that grid."""
    frame_bytes = frame_samples * sample_bytes
    rest = b""
    index: Optional[int] = None
    for position, samples in seconds:
        if index is None:
            ahead = 0 if position is None else position - origin
            index = -(-ahead // frame_samples)
            samples = samples[sample_bytes * (index * frame_samples - ahead):]
        rest += samples
        whole = len(rest) - len(rest) % frame_bytes
        for k in range(0, whole, frame_bytes):
            yield index, rest[k:k + frame_bytes]
            index += 1
        rest = rest[whole:]


def decisions(path: Path, stream_index: Optional[int], aggressiveness: int,
              origin: Optional[int] = None, first_frame: int = 0,
              progress: Optional[Progress] = None, parallel: bool = False,
              vad: str = "webrtc") -> Tuple[int, bytearray]:
    """The grid's origin (the first sample heard, unless given) and a byte per frame of the
    detector named `vad` from `first_frame` on: 1 for speech. Hearing from `first_frame` starts
    WARM_UP_MS early, so that the detector's state (webrtcvad's noise estimate, Silero's
    memory) has settled. A whole film of SPLIT_SECONDS or more is heard as two halves, the
    second from its own start so, and with `parallel` by a worker process while this one hears
    the first: the bytes are the same either way."""
    detector = make(vad, aggressiveness)
    frame_samples = detector.frame_samples
    voiced = bytearray()
    worker: Optional[Half] = None
    stop_frame: Optional[int] = None
    with CtrlC() as ctrl_c, open_media(path) as container:
        stream = audio_stream(container, path, stream_index)
        length = media_duration(container)
        if origin is not None:
            at = (origin + (first_frame - WARM_UP_MS // detector.frame_ms) * frame_samples) / RATE
            container.seek(max(0, int((at + start_time(container)) * av.time_base)),
                           backward=True)
        split = origin is None and length is not None and length >= SPLIT_SECONDS
        try:
            seconds = mono_seconds(container, stream, progress,
                                   length / 2 if split and length else length,
                                   detector.sample_format, detector.sample_bytes)
            first = next(seconds, None)
            if first is None:
                return 0 if origin is None else origin, voiced
            if origin is None:
                origin = first[0] or 0
            elif first[0] is None:
                raise InputError(path, "its audio has no timestamps to resume from")
            if split and length is not None:
                stop_frame = int(length / 2 * 1000) // detector.frame_ms
                if parallel and first[0] is not None:
                    worker = Half(path, stream_index, aggressiveness, origin, stop_frame, vad)
            for index, frame in detector_frames(chain([first], seconds), origin, frame_samples,
                                                detector.sample_bytes):
                if ctrl_c.caught:
                    raise KeyboardInterrupt
                if stop_frame is not None and index >= stop_frame:
                    break
                speech = detector(frame)
                if index >= first_frame:
                    voiced.append(speech)
            if stop_frame is not None:
                voiced.extend(bytes(max(stop_frame - len(voiced), 0)))
                del voiced[stop_frame:]
                voiced += (worker.result(ctrl_c) if worker is not None else
                           decisions(path, stream_index, aggressiveness, origin, stop_frame,
                                     vad=vad)[1])
        except av.FFmpegError as err:
            if worker is not None:
                worker.stop()
            raise InputError(path, f"cannot decode its audio ({err.strerror or err})") from None
        except BaseException:
            if worker is not None:
                worker.stop()
            raise
    return origin, voiced


class CtrlC:
    """Ctrl-C during the audio pass, noted by a handler of our own and raised between frames:
    PyAV can lose a KeyboardInterrupt raised while its own code runs Python."""

    def __init__(self) -> None:
        self.caught = False
        self.previous: object = None

    def __enter__(self) -> "CtrlC":
        try:
            current = signal.getsignal(signal.SIGINT)
            if current is signal.default_int_handler:
                self.previous = signal.signal(signal.SIGINT, self.note)
        except ValueError:  # not the main thread: signals are not ours to take
            pass
        return self

    def note(self, number: int, frame: object) -> None:
        self.caught = True

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, signal.default_int_handler)
            if self.caught and exc[0] is None:
                raise KeyboardInterrupt


class Half:
    """The second half of a film, heard by a worker process: this module run by the same
    interpreter (a fresh one, so that nothing of the caller's program is imported again). It
    writes a byte per frame to its standard output, or one line of trouble to its error stream."""

    def __init__(self, path: Path, stream_index: Optional[int], aggressiveness: int,
                 origin: int, first_frame: int, vad: str) -> None:
        self.path = path
        here = str(Path(__file__).resolve().parents[2])  # the folder that holds corvela
        env = {**os.environ, "PYTHONSAFEPATH": "1",
               "PYTHONPATH": os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))}
        self.process = subprocess.Popen(
            [sys.executable, "-m", __name__, str(path), str(stream_index), str(aggressiveness),
             str(origin), str(first_frame), vad],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def result(self, ctrl_c: CtrlC) -> bytes:
        """The worker's decisions; on Ctrl-C the caller stops it."""
        while True:
            try:
                out, err = self.process.communicate(timeout=0.05)
                break
            except subprocess.TimeoutExpired:
                if ctrl_c.caught:
                    raise KeyboardInterrupt from None
        if self.process.returncode != 0:
            lines = err.decode("utf-8", "replace").strip().splitlines()
            raise InputError(self.path, lines[-1] if lines else "the worker hearing the second "
                             f"half ended with status {self.process.returncode}")
        return out

    def stop(self) -> None:
        self.process.kill()
        self.process.communicate()


def hear_half(argv: List[str]) -> int:
    """The worker's side: the parent answers Ctrl-C and stops it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    path, stream, aggressiveness, origin, first_frame, vad = argv
    try:
        _, voiced = decisions(Path(path), None if stream == "None" else int(stream),
                              int(aggressiveness), int(origin), int(first_frame), vad=vad)
    except InputError as err:
        print(err.problem, file=sys.stderr)
        return 1
    sys.stdout.buffer.write(voiced)
    return 0


def speech_in_audio(path: Path, aggressiveness: int = 2, stream_index: Optional[int] = None,
                    progress: Optional[Progress] = None,
                    vad: str = "webrtc") -> List[Tuple[float, float]]:
    two_cores = (os.cpu_count() or 1) >= 2 and path.is_file()
    origin, voiced = decisions(path, stream_index, aggressiveness, progress=progress,
                               parallel=two_cores, vad=vad)
    runs = speech_runs(map(bool, voiced), frame_ms(vad), bridge_ms=BRIDGE_MS,
                       shortest_ms=SHORTEST_MS)
    if not runs:
        raise InputError(path, "the voice-activity detector found no speech")
    return [(start + origin / RATE, end + origin / RATE) for start, end in runs]


if __name__ == "__main__":
    sys.exit(hear_half(sys.argv[1:]))
