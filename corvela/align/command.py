"""corvela-align SUBTITLES SPEECH -o OUTPUT: the command line around best_offset.

Exit statuses: 0 the corrected file is written; 1 an input cannot be used (or an output cannot
be written); 2 the command line is wrong; 3 the result is in doubt (see report.doubts), so the
corrected file is not written unless --force, and then the status is still 3; 130 interrupted.
"""

import argparse
import re
import sys
import warnings
from contextlib import ExitStack
from datetime import timedelta
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import pysubs2

from corvela.align import detectors, reference, report, segments
from corvela.align.audio_speech import speech_in_audio
from corvela.align.input_error import InputError, UsageError
from corvela.align.output_file import STDIO, PendingOutput, refuse_overlaps
from corvela.align.progress import progress_bar
from corvela.align.speech_file import read_speech, speech_json
from corvela.align.subtitle_file import SubtitleFile, read_subtitles, times_of
from corvela.core.scan import FRAME_RATE_FACTORS, best_offset

OK, BAD_INPUT, USAGE, DOUBTFUL, INTERRUPTED = 0, 1, 2, 3, 130
# argparse takes "-1e9" for an option; these options' values may be any number of seconds.
NUMBER_OPTIONS = {"--from", "--to"}
NUMBER = re.compile(r"-[0-9.]")


def version() -> str:
    try:
        from importlib.metadata import version as installed
        return installed("corvela")
    except Exception:  # run from a source tree that was never installed
        return "unknown"


def offset_seconds(text: str) -> timedelta:
    try:
        return timedelta(seconds=float(text))
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a finite number of seconds: {text!r}") from None


def penalty_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"not a number of seconds >= 0: {text!r}")
    return value


def frame_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value < 1000:
        raise argparse.ArgumentTypeError(f"not a frame rate: {text!r}")
    return value


def glue_negative_numbers(argv: Sequence[str]) -> List[str]:
    glued: List[str] = []
    for arg in argv:
        if glued and glued[-1] in NUMBER_OPTIONS and NUMBER.match(arg):
            glued[-1] = f"{glued[-1]}={arg}"
        else:
            glued.append(arg)
    return glued


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="corvela-align",
        description="Shift (and, for a frame-rate mismatch, stretch) a subtitle file so that "
                    "it covers the speech of its film, and write the corrected file.",
        epilog="Exit status: 0 written; 1 an input cannot be used; 2 a wrong command line; "
               "3 the result is in doubt and was not written (written with --force); "
               "130 interrupted.")
    p.add_argument("subtitles", type=Path,
                   help="subtitle file (SRT, ASS, VTT, MicroDVD, ...); - reads standard input")
    p.add_argument("speech", type=Path,
                   help="the film or its sound (any file FFmpeg reads), a correctly timed "
                        "subtitle file, or a .json list of [start, end] seconds of speech")
    p.add_argument("-o", "--output", type=Path, required=True,
                   help="corrected subtitle file, in the format its extension names (else the "
                        "input's); - writes standard output")
    p.add_argument("--encoding", help="the subtitle file's encoding (default: detected)")
    p.add_argument("--output-encoding", help="the corrected file's encoding (default: the "
                                             "input's)")
    p.add_argument("--fps", type=frame_rate,
                   help="frame rate of frame-based subtitles (MicroDVD) that do not state it")
    p.add_argument("--from", dest="lo", type=offset_seconds, metavar="SECONDS",
                   help="earliest offset to try (default: the whole film, from the earliest "
                        "offset at which a cue can meet speech)")
    p.add_argument("--to", dest="hi", type=offset_seconds, metavar="SECONDS",
                   help="latest offset to try (default: the whole film, to the latest offset "
                        "at which a cue can meet speech)")
    p.add_argument("--no-drift", action="store_true",
                   help="only shift; do not try the frame-rate factors")
    p.add_argument("--split-penalty", type=penalty_seconds, default=segments.SPLIT_PENALTY,
                   metavar="SECONDS",
                   help="for subtitles made for another cut: the seconds of covered speech a "
                        "change of offset along the file must gain (default "
                        f"{segments.SPLIT_PENALTY:g}; lower splits more readily)")
    p.add_argument("--no-splits", action="store_true",
                   help="one offset for the whole file")
    p.add_argument("--audio-stream", type=int, metavar="N",
                   help="the film's audio stream to listen to, from 0 (default: FFmpeg's "
                        "choice)")
    p.add_argument("--reference-stream", type=int, metavar="N",
                   help="take the speech from the film's text subtitle track N (from 0), "
                        "correctly timed, instead of its sound")
    p.add_argument("--save-speech", type=Path, metavar="FILE.json",
                   help="also write the speech intervals used, as JSON")
    p.add_argument("--vad", choices=detectors.CHOICES, default="auto",
                   help="the speech detector for sound: webrtc (fast; music can fool it), "
                        "silero (a small neural model, slower) or auto (default: webrtc, and "
                        "silero again when the result is in doubt)")
    p.add_argument("--vad-aggressiveness", type=int, choices=range(4), default=2,
                   help="webrtcvad's mode for sound, 0 (keeps most) to 3 (default 2)")
    p.add_argument("--weigh-all", action="store_true",
                   help="weigh captions of sounds and music ([DOOR SLAMS], (laughs), lines in "
                        "music notes, a speaker's name alone) as speech; by default they are "
                        "left out of the weighing and shifted with the rest")
    p.add_argument("--force", action="store_true",
                   help="write the corrected file even when the result is in doubt")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary; warnings and errors only")
    p.add_argument("--version", action="version", version=f"corvela-align {version()}")
    return p


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    p = parser()
    args = p.parse_args(glue_negative_numbers(sys.argv[1:] if argv is None else argv))
    if args.lo is not None and args.hi is not None and not args.lo <= args.hi:
        p.error("need --from <= --to")
    for name in ("audio_stream", "reference_stream"):
        if getattr(args, name) is not None and getattr(args, name) < 0:
            p.error(f"--{name.replace('_', '-')} counts from 0")
    if str(args.speech) == STDIO:
        p.error("SPEECH cannot be standard input")
    if args.save_speech is not None and str(args.save_speech) == STDIO:
        p.error("--save-speech needs a file")
    return args


def output_format(args: argparse.Namespace, subtitles: SubtitleFile) -> str:
    if str(args.output) != STDIO:
        try:
            return str(pysubs2.formats.get_format_identifier(args.output.suffix.lower()))
        except pysubs2.Pysubs2Error:
            pass
    return subtitles.format


def is_subtitle_file(path: Path) -> bool:
    suffix = path.suffix.lower()
    return suffix != ".json" and suffix in pysubs2.formats.FILE_EXTENSION_TO_FORMAT_IDENTIFIER


def heard(args: argparse.Namespace) -> bool:
    """Whether the speech comes from the sound, through a detector."""
    return (args.reference_stream is None and args.speech.suffix.lower() != ".json"
            and not is_subtitle_file(args.speech))


def load_speech(args: argparse.Namespace, quiet: bool,
                vad: str = "webrtc") -> List[Tuple[float, float]]:
    if heard(args):
        label = args.speech.name + (" (Silero)" if vad == "silero" else "")
        with progress_bar(label, quiet) as advance:
            return speech_in_audio(args.speech, args.vad_aggressiveness, args.audio_stream,
                                   advance, vad)
    if args.reference_stream is not None:
        return reference.speech_in_track(args.speech, args.reference_stream)
    if args.speech.suffix.lower() == ".json":
        return read_speech(args.speech)
    return reference.speech_in_subtitles(args.speech, args.fps)


def save_speech(outputs: Dict[str, Optional[PendingOutput]],
                speech: List[Tuple[float, float]]) -> None:
    saved = outputs["speech"]
    if saved is not None:
        saved.commit(speech_json(speech).encode("utf-8"))


def search_range(lo: Optional[timedelta], hi: Optional[timedelta], rows: List[List[float]],
                 cues: List[List[timedelta]],
                 factors: Sequence[float]) -> Tuple[timedelta, timedelta]:
    """--from and --to (lo, hi), each by default the whole film's end: the earliest and the
    latest offset at which a cue, scaled by any of the factors, can meet any speech (and a
    millisecond more, for the rounding of the seconds)."""
    bounds = [t for row in rows for t in row]
    starts = [cue[0] for cue in cues]
    ends = [cue[1] for cue in cues]
    slack = timedelta(milliseconds=1)
    if lo is None:
        lo = timedelta(seconds=min(bounds)) - max(max(ends) * f for f in factors) - slack
    if hi is None:
        hi = timedelta(seconds=max(bounds)) - min(min(starts) * f for f in factors) + slack
    return lo, hi


def align(args: argparse.Namespace, outputs: Dict[str, Optional[PendingOutput]],
          say: Callable[[str], None]) -> int:
    subtitles = read_subtitles(args.subtitles, args.encoding, args.fps)
    format_ = output_format(args, subtitles)
    encoding = args.output_encoding or subtitles.encoding
    subtitles.text_in(format_, args.fps)  # a missing frame rate is known before the work
    subtitles.encoded("", encoding, str(args.output))  # so is an unknown encoding
    quiet = args.quiet or not sys.stderr.isatty()
    vad = detectors.first(args.vad, say) if heard(args) else ""
    speech = load_speech(args, quiet, vad)

    events, captions = subtitles.weighed(args.weigh_all)
    cues = times_of(events)
    number = {id(event): n for n, event in enumerate(subtitles.subs.events, 1)}
    in_file = [number[id(event)] for event in events]
    inverted = subtitles.inverted()
    if not cues:
        save_speech(outputs, speech)
        say(f"corvela-align: {args.subtitles}: no usable cue: every cue with text ends "
            "before it starts; nothing written")
        return DOUBTFUL
    rows = [list(row) for row in speech]
    factors = (1.0,) if args.no_drift else FRAME_RATE_FACTORS
    lo, hi = search_range(args.lo, args.hi, rows, cues, factors)
    found = best_offset(rows, cues, lo, hi, factors=factors, factor_evidence=True)
    again = detectors.again(args.vad, vad, bool(report.doubts(found, lo, hi)), say)
    if again is not None:  # music may have fooled webrtcvad: Silero hears the film again
        speech = load_speech(args, quiet, again)
        rows = [list(row) for row in speech]
        lo, hi = search_range(args.lo, args.hi, rows, cues, factors)
        found = best_offset(rows, cues, lo, hi, factors=factors, factor_evidence=True)
    save_speech(outputs, speech)
    split = None
    if not args.no_splits:
        split = segments.split(speech, cues, in_file, lo, hi, args.split_penalty, factors,
                               found)
        if len(split.segments) == 1:
            if split.factor != found.factor:
                found = best_offset(rows, cues, lo, hi, factors=(split.factor,))
            split = None
    if split is not None:
        parts = split.segments
        own = {id(event): offset for event, offset in zip(events, split.offsets)}

        def offset_of(event: pysubs2.SSAEvent) -> timedelta:
            if id(event) in own:
                return own[id(event)]
            return segments.offset_of_start(parts, cues, timedelta(milliseconds=event.start))
        factor = split.factor
    else:
        def offset_of(event: pysubs2.SSAEvent) -> timedelta:
            return found.offset
        factor = found.factor
    try:
        before_zero = subtitles.retimed(factor, offset_of)
    except OverflowError:
        raise InputError(args.subtitles, "a retimed cue leaves the range of times; "
                                         "narrow --from/--to") from None
    if split is not None:
        fields = report.split_summary(split.factor, split.coverage, parts, before_zero,
                                      inverted, captions)
        doubts = fields["doubts"] = [f"segment {n} (cues {report.cue_range(part)}): {doubt}"
                                     for n, part in enumerate(parts, 1)
                                     for doubt in part.doubts]
    else:
        fields = report.summary(found, lo, hi, before_zero, inverted, captions,
                                segments.whole(cues, in_file, found))
        doubts = fields["doubts"] = report.doubts(found, lo, hi)
    corrected = subtitles.encoded(subtitles.text_in(format_, args.fps), encoding,
                                  str(args.output))
    to_stdout = str(args.output) == STDIO
    if doubts and not args.force:
        for doubt in doubts:
            say(f"corvela-align: doubtful: {doubt}")
        say("corvela-align: nothing written; " + report.ADVICE)
        status = DOUBTFUL
    else:
        out = outputs["output"]
        if out is None:
            sys.stdout.buffer.write(corrected)
            sys.stdout.flush()
        else:
            out.commit(corrected)
        for doubt in doubts:
            say(f"corvela-align: doubtful: {doubt}; written anyway (--force)")
        status = DOUBTFUL if doubts else OK

    if not args.quiet or args.json:
        show = say if to_stdout else print
        fields["output"] = None if to_stdout or (doubts and not args.force) else str(args.output)
        show(report.as_json(fields) if args.json else report.as_text(fields))
    for warning in fields["warnings"]:
        say(f"corvela-align: warning: {warning}")
    return status


def run(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    outputs: Dict[str, Optional[PendingOutput]] = {"output": None, "speech": None}

    def say(line: str) -> None:
        print(line, file=sys.stderr)

    with ExitStack() as cleanup:
        # Nothing a library warns about is for the user as it stands: what matters is said
        # by the command itself.
        cleanup.enter_context(warnings.catch_warnings())
        warnings.simplefilter("ignore")
        try:
            refuse_overlaps({"-o": args.output, "--save-speech": args.save_speech},
                            {"the subtitle input": args.subtitles, "the speech input": args.speech})
            if str(args.output) != STDIO:
                outputs["output"] = PendingOutput(args.output)
            if args.save_speech is not None:
                outputs["speech"] = PendingOutput(args.save_speech)
            status = align(args, outputs, say)
            sys.stdout.flush()  # a closed pipe shows here, not at the interpreter's exit
            return status
        except UsageError as err:
            parser().print_usage(sys.stderr)
            say(f"corvela-align: error: {err}")
            return USAGE
        except InputError as err:
            say(f"corvela-align: {err}")
            return BAD_INPUT
        except KeyboardInterrupt:
            return INTERRUPTED
        except BrokenPipeError:
            quiet_stdout()
            say("corvela-align: standard output was closed before the end")
            return BAD_INPUT
        finally:
            for pending in outputs.values():
                if pending is not None:
                    pending.discard()
    raise AssertionError("unreachable")


def quiet_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's final flush of a closed
    pipe does not print a second error."""
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
