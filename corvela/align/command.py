"""corvela-align SUBTITLES SPEECH -o OUTPUT: the command line around best_offset."""

import argparse
import sys
from datetime import timedelta
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

from corvela.align import report
from corvela.align.audio_speech import speech_in_audio
from corvela.align.input_error import InputError
from corvela.align.speech_file import read_speech, write_speech
from corvela.align.subtitle_file import read_subtitles
from corvela.core.scan import FRAME_RATE_FACTORS, best_offset


def offset_seconds(text: str) -> timedelta:
    try:
        return timedelta(seconds=float(text))
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a finite number of seconds: {text!r}") from None


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="corvela-align",
        description="Shift (and, for a frame-rate mismatch, stretch) a subtitle file so that "
                    "it covers the speech of its recording, and write the corrected file.")
    parser.add_argument("subtitles", type=Path, help="subtitle file (SRT, ASS, VTT, ...)")
    parser.add_argument("speech", type=Path,
                        help="speech as a .json list of [start, end] seconds, or a sound file "
                             "(WAV, FLAC, ...) whose speech a voice-activity detector finds")
    parser.add_argument("-o", "--output", type=Path, required=True,
                        help="corrected subtitle file, in the input's format and encoding")
    parser.add_argument("--encoding", help="the subtitle file's encoding (default: detected)")
    parser.add_argument("--from", dest="lo", type=offset_seconds,
                        default=timedelta(seconds=-60), metavar="SECONDS",
                        help="earliest offset to try (default -60)")
    parser.add_argument("--to", dest="hi", type=offset_seconds,
                        default=timedelta(seconds=60), metavar="SECONDS",
                        help="latest offset to try (default 60)")
    parser.add_argument("--no-drift", action="store_true",
                        help="only shift; do not try the frame-rate factors")
    parser.add_argument("--save-speech", type=Path, metavar="FILE.json",
                        help="also write the speech intervals used, as JSON")
    parser.add_argument("--vad-aggressiveness", type=int, choices=range(4), default=2,
                        help="webrtcvad's mode for sound files, 0 (keeps most) to 3 (default 2)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    args = parser.parse_args(argv)
    if not args.lo <= args.hi:
        parser.error("need --from <= --to")
    return args


def load_speech(args: argparse.Namespace) -> List[Tuple[float, float]]:
    if args.speech.suffix.lower() == ".json":
        return read_speech(args.speech)
    return speech_in_audio(args.speech, args.vad_aggressiveness)


def run(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        subtitles = read_subtitles(args.subtitles, args.encoding)
        speech = load_speech(args)
        if args.save_speech is not None:
            try:
                write_speech(args.save_speech, speech)
            except OSError as err:
                raise InputError(args.save_speech, f"cannot write: {err.strerror}") from None
        lo, hi = args.lo, args.hi
        found = best_offset([list(row) for row in speech], subtitles.shown(), lo, hi,
                            factors=(1.0,) if args.no_drift else FRAME_RATE_FACTORS)
        before_zero = subtitles.retimed(found.factor, found.offset)
        subtitles.save(args.output)
    except InputError as err:
        print(f"corvela-align: {err}", file=sys.stderr)
        return 1
    except OverflowError:
        print("corvela-align: a retimed subtitle leaves the range of times; "
              "narrow --from/--to", file=sys.stderr)
        return 1
    fields = report.summary(found, lo, hi, before_zero)
    if args.json:
        print(report.as_json({**fields, "output": str(args.output)}))
    else:
        print(report.as_text(fields))
        print(f"written:  {args.output}")
        for warning in fields["warnings"]:
            print(f"corvela-align: warning: {warning}", file=sys.stderr)
    return 0
