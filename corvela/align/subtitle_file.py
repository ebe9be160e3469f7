"""Reads a subtitle file in any format pysubs2 knows and writes it back retimed.

The text is decoded here, with the encoding given or detected, so that the corrected file is
written in the format and the encoding it was read in. pysubs2 keeps times as whole
milliseconds; the aligner works on timedelta, and corrected times go back to milliseconds.
"""

import re
import sys
from dataclasses import dataclass
from datetime import timedelta
from fractions import Fraction
from pathlib import Path
from typing import Callable, List, Optional, Tuple

import charset_normalizer
import pysubs2

from corvela.align.input_error import InputError, UsageError

MILLISECOND = timedelta(milliseconds=1)

# A line that says what is heard rather than what is said: wholly in brackets or parentheses
# ("[DOOR SLAMS]", "(laughs)", "- [MUSIC] (cheering)"), or sung (opening or closing with a
# music note, or between two '#').
SOUND_LINE = re.compile(r"""
    -?\s*(?:[\[(][^\])]*[\])]\s*)+
  | -?\s*[♪♫♬♩].* | .*[♪♫♬♩]\s*
  | \#.*\#
""", re.VERBOSE)


def is_speaker_label(line: str) -> bool:
    """A speaker's name alone: "JOHN:", "- OLD MAN:", "Narrator:", "Mr. Smith:". A line of
    speech may end with a colon too ("Listen to me:"), so only capitals or one or two
    capitalised words count."""
    if not line.endswith(":"):
        return False
    name = line[:-1].lstrip("- ").strip()
    words = name.split()
    if not 1 <= len(words) <= 3 or not all(word[0].isalpha() for word in words):
        return False
    return name.isupper() or (len(words) <= 2 and all(word[0].isupper() for word in words))


def is_sound_caption(text: str) -> bool:
    """Whether every line of a cue's plain text describes sound or music, or names a speaker
    alone: such a cue shows when nobody speaks, or says nothing of when they do."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return bool(lines) and all(SOUND_LINE.fullmatch(line) or is_speaker_label(line)
                               for line in lines)


@dataclass
class SubtitleFile:
    path: Path
    subs: pysubs2.SSAFile
    format: str  # pysubs2's name of the format, e.g. "srt", "ass", "vtt"
    encoding: str

    def weighed(self, weigh_all: bool = False) -> Tuple[List[pysubs2.SSAEvent], int]:
        """The events the alignment weighs, in file order: those that show text and do not end
        before they start, but for captions of sounds (all of them with weigh_all, or when
        nothing else would be weighed); with them, how many captions were left out."""
        cues = [e for e in self.subs.events if e.is_text and e.end >= e.start]
        spoken = cues if weigh_all else [e for e in cues if not is_sound_caption(e.plaintext)]
        if not spoken:
            spoken = cues
        return spoken, len(cues) - len(spoken)

    def inverted(self) -> int:
        """How many events with text end before they start."""
        return sum(e.is_text and e.end < e.start for e in self.subs.events)

    def retimed(self, factor: float, offset_of: Callable[[pysubs2.SSAEvent], timedelta]) -> int:
        """Applies `t * factor + offset_of(event)` to every event; returns how many starts fell
        below 0, which no subtitle format can hold and which are set to 0."""
        before_zero = 0
        for event in self.subs.events:
            offset = offset_of(event)
            event.start = corrected_ms(event.start, factor, offset)
            event.end = corrected_ms(event.end, factor, offset)
            if event.start < 0:
                before_zero += 1
                event.start = 0
            event.end = max(event.end, 0)
        return before_zero

    def text_in(self, format_: str, fps: Optional[float]) -> str:
        """The file in `format_`; frame-based formats need a frame rate, the one given or the
        one the input declared."""
        try:
            return self.subs.to_string(format_, fps=fps or self.subs.fps)
        except pysubs2.UnknownFPSError:
            raise UsageError(f"writing {format_} needs the frame rate: give it with --fps") \
                from None

    def encoded(self, text: str, encoding: str, target: str) -> bytes:
        try:
            return text.encode(encoding)
        except (UnicodeError, LookupError) as err:
            reason = getattr(err, "reason", None) or str(err)
            raise InputError(target, f"cannot write in {encoding}: {reason}") from None


def times_of(events: List[pysubs2.SSAEvent]) -> List[List[timedelta]]:
    """[start, end] of each event, as the search weighs them."""
    return [[timedelta(milliseconds=e.start), timedelta(milliseconds=e.end)] for e in events]


def corrected_ms(ms: int, factor: float, offset: timedelta) -> int:
    """The time scaled, then shifted (as best_offset weighs it), to the nearest millisecond;
    a time exactly halfway goes to the even millisecond."""
    moved = timedelta(milliseconds=ms) * factor + offset
    return round(Fraction(moved // timedelta(microseconds=1), 1000))


def read_bytes(path: Path) -> bytes:
    """The file's bytes; "-" is standard input."""
    try:
        return sys.stdin.buffer.read() if str(path) == "-" else path.read_bytes()
    except FileNotFoundError:
        raise InputError(path, "no such file") from None
    except OSError as err:
        raise InputError(path, f"cannot read: {err.strerror or err}") from None


def read_subtitles(path: Path, encoding: Optional[str] = None,
                   fps: Optional[float] = None) -> SubtitleFile:
    data = read_bytes(path)
    encoding = encoding or detect_encoding(path, data)
    try:
        text = data.decode(encoding)
    except LookupError:
        raise InputError(path, f"unknown encoding {encoding!r}") from None
    except UnicodeDecodeError as err:
        raise InputError(path, f"not valid {encoding} at byte {err.start}; "
                               "give the file's encoding with --encoding") from None
    except UnicodeError as err:  # a codec that cannot read files at all, e.g. "undefined"
        raise InputError(path, f"cannot be read as {encoding}: {err}") from None
    format_ = "unknown"
    try:
        format_ = pysubs2.formats.autodetect_format(text)
        # A frame-based file's own frame rate line comes first: --fps is for files without.
        try:
            subs = pysubs2.SSAFile.from_string(text, format_=format_)
        except pysubs2.UnknownFPSError:
            if fps is None:
                raise InputError(path, f"a {format_} file without its frame rate: "
                                       "give it with --fps") from None
            subs = pysubs2.SSAFile.from_string(text, format_=format_, fps=fps)
            subs.fps = fps
    except pysubs2.Pysubs2Error as err:
        raise InputError(path, f"not a subtitle file pysubs2 can read ({err})") from None
    except (ValueError, KeyError, IndexError) as err:
        raise InputError(path, f"malformed {format_} file: {err}") from None
    if not any(event.is_text for event in subs.events):
        raise InputError(path, "holds no subtitle with text")
    return SubtitleFile(path, subs, format_, encoding)


def detect_encoding(path: Path, data: bytes) -> str:
    if data.startswith(b"\xef\xbb\xbf"):
        return "utf-8-sig"  # keeps the mark in the corrected file too
    try:
        data.decode("utf-8")
        return "utf-8"
    except UnicodeDecodeError:
        pass
    guess = charset_normalizer.from_bytes(data).best()
    if guess is None:
        raise InputError(path, "cannot tell the text encoding; give it with --encoding")
    return guess.encoding
