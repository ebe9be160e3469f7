"""Speech taken from correctly timed subtitles: a subtitle file, or a text subtitle track of a
film. Each cue that shows text is a stretch of speech; cues without a duration, and in a file
captions of sounds and music, are left out."""

from pathlib import Path
from typing import List, Optional, Tuple

import av

from corvela.align.audio_speech import open_media, start_time
from corvela.align.input_error import InputError
from corvela.align.subtitle_file import read_subtitles, times_of

# Subtitle codecs that carry pictures: their cues have no text and often no end.
PICTURE_CODECS = {"hdmv_pgs_subtitle", "dvd_subtitle", "dvb_subtitle", "dvb_teletext", "xsub"}


def speech_in_subtitles(path: Path, fps: Optional[float] = None) -> List[Tuple[float, float]]:
    shown = times_of(read_subtitles(path, fps=fps).weighed()[0])
    return usable(path, [(s.total_seconds(), e.total_seconds()) for s, e in shown])


def speech_in_track(path: Path, index: int) -> List[Tuple[float, float]]:
    with open_media(path) as container:
        streams = container.streams.subtitles
        if not 0 <= index < len(streams):
            raise InputError(path, f"has {len(streams)} subtitle track(s); --reference-stream "
                                   "counts them from 0")
        stream = streams[index]
        name = stream.codec_context.name
        if name in PICTURE_CODECS:
            raise InputError(path, f"subtitle track {index} holds pictures ({name}), not text")
        clock = start_time(container)
        cues = []
        try:
            for packet in container.demux(stream):
                if packet.pts is None or not packet.duration or packet.time_base is None:
                    continue
                # Decoding drops the empty cues some containers use to clear the screen.
                if any(getattr(sub, "dialogue", b"").strip() for sub in packet.decode()):
                    start = float(packet.pts * packet.time_base) - clock
                    cues.append((start, start + float(packet.duration * packet.time_base)))
        except av.FFmpegError as err:
            raise InputError(path, f"cannot read subtitle track {index} "
                                   f"({err.strerror or err})") from None
    return usable(path, cues)


def usable(path: Path, cues: List[Tuple[float, float]]) -> List[Tuple[float, float]]:
    speech = [(start, end) for start, end in cues if end > start]
    if not speech:
        raise InputError(path, "holds no cue with a duration to use as speech")
    return speech
