"""Times the whole corvela-align command on a long synthetic film, read in three forms.

The film is the end-to-end test's (tests/support/synthetic_film.py: espeak-ng sentences over steady
noise, subtitles with a random lead-in and linger) stretched to feature length: its thirty
sentences are spoken once and laid out again and again, about 14 cues a minute. The same sound
is written as an AAC Matroska file (48 kHz stereo, as a film comes), a 48 kHz stereo WAV and a
16 kHz mono WAV, so that the cost of decoding and resampling shows beside the detector's and
the scan's. Each form is aligned from subtitles shown LATE seconds late; the table gives the
wall time, the peak resident memory of the command and its start-time error against the truth.

    build/dev/bin/python benchmarks/bench_align.py [--minutes 100] [--repeat 3] [--keep DIR]
"""

import argparse
import json
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

import av
import numpy
import pysubs2

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
from synthetic_film import (  # type: ignore[import-not-found]  # noqa: E402
    LATE, NOISE_RMS, RATE, SENTENCES, shown_cues, spoken)

CUES_PER_MINUTE = 14
CHUNK_SECONDS = 30  # the film is made this much at a time, never whole in memory
FORMS = ("film.mkv", "film48.wav", "film16.wav")


@dataclass
class Film:
    length_s: float
    which: List[int]  # the sentence spoken at each cue
    speech: List[Tuple[float, float]]  # each cue's true speech start and end, seconds
    truth_ms: List[Tuple[int, int]]  # each cue's correct subtitle, milliseconds


def lay_out(lengths_s: Sequence[float], minutes: float, cues: int, seed: int) -> Film:
    """Sentences at random, with pauses drawn so that about `cues` of them fill the film."""
    rng = random.Random(seed)
    length = minutes * 60.0
    pause = length / cues - statistics.mean(lengths_s)
    if pause < 1.0:
        raise SystemExit(f"{cues} cues do not fit in {minutes} minutes with pauses of 1 s or more")
    which, speech = [], []
    t = 2.0
    while True:
        k = rng.randrange(len(lengths_s))
        end = t + lengths_s[k]
        if end > length - 2.0:
            break
        which.append(k)
        speech.append((t, end))
        t = end + rng.uniform(0.5 * pause, 1.5 * pause)
    truth = shown_cues(speech, rng)
    return Film(length, which, speech, truth)


def resampled(piece: numpy.ndarray, rate: int) -> numpy.ndarray:
    resampler = av.AudioResampler(format="flt", layout="mono", rate=rate)
    frame = av.AudioFrame.from_ndarray(piece[None, :], format="flt", layout="mono")
    frame.sample_rate = RATE
    frames = resampler.resample(frame) + resampler.resample(None)
    return numpy.concatenate([f.to_ndarray()[0] for f in frames])


def render(film: Film, pieces: Sequence[numpy.ndarray], rate: int, channels: int,
           seed: int) -> Iterator[numpy.ndarray]:
    """The film's sound at `rate`, CHUNK_SECONDS at a time, as float32 (frames, channels)."""
    noise = numpy.random.default_rng([seed, rate])
    starts = [round(start * rate) for start, _ in film.speech]
    total, step, first = round(film.length_s * rate), CHUNK_SECONDS * rate, 0
    for lo in range(0, total, step):
        hi = min(lo + step, total)
        chunk = noise.normal(0.0, NOISE_RMS, (hi - lo, channels)).astype(numpy.float32)
        while first < len(starts) and starts[first] + len(pieces[film.which[first]]) <= lo:
            first += 1
        n = first
        while n < len(starts) and starts[n] < hi:
            piece, s = pieces[film.which[n]], starts[n]
            a, b = max(s, lo), min(s + len(piece), hi)
            chunk[a - lo:b - lo] += piece[a - s:b - s, None]
            n += 1
        yield numpy.clip(chunk, -1.0, 1.0)  # PCM_16 would wrap, not clip


def wav_writer(path: Path, rate: int, channels: int) -> "wave.Wave_write":
    wav = wave.open(str(path), "wb")
    wav.setnchannels(channels)
    wav.setsampwidth(2)
    wav.setframerate(rate)
    return wav


def pcm16(chunk: numpy.ndarray) -> bytes:
    """(frames, channels) float samples, already clipped, as interleaved 16-bit PCM."""
    return (chunk * 32767).astype("<i2").tobytes()


def subtitles(film: Film, shift_ms: int) -> pysubs2.SSAFile:
    subs = pysubs2.SSAFile()
    for (start, end), k in zip(film.truth_ms, film.which):
        subs.events.append(pysubs2.SSAEvent(start=start + shift_ms, end=end + shift_ms,
                                            text=SENTENCES[k]))
    return subs


def make_film(folder: Path, minutes: float, cues: int, seed: int) -> Dict[str, object]:
    if shutil.which("espeak-ng") is None:
        raise SystemExit("espeak-ng is missing: run scripts/install-system-deps.sh")
    with tempfile.TemporaryDirectory() as work:
        pieces = [spoken(text, Path(work)) for text in SENTENCES]
    film = lay_out([len(p) / RATE for p in pieces], minutes, cues, seed)
    at48 = [resampled(p, 48000) for p in pieces]
    with wav_writer(folder / "film48.wav", 48000, 2) as wav, \
            av.open(str(folder / "film.mkv"), "w") as mkv:
        stream = mkv.add_stream("aac", rate=48000, layout="stereo")
        for chunk in render(film, at48, 48000, 2, seed):
            wav.writeframes(pcm16(chunk))
            frame = av.AudioFrame.from_ndarray(numpy.ascontiguousarray(chunk.T),
                                               format="fltp", layout="stereo")
            frame.sample_rate = 48000
            mkv.mux(stream.encode(frame))
        mkv.mux(stream.encode(None))
    at16 = [resampled(p, 16000) for p in pieces]
    with wav_writer(folder / "film16.wav", 16000, 1) as wav:
        for chunk in render(film, at16, 16000, 1, seed):
            wav.writeframes(pcm16(chunk))
    subtitles(film, round(LATE * 1000)).save(str(folder / "late.srt"))
    subtitles(film, 0).save(str(folder / "truth.srt"))
    return {"length_s": film.length_s, "cues": len(film.truth_ms)}


# Linux keeps, in a process's peak RSS, the peak of the memory image that exec replaced: a
# command started straight from this script would count the film generator's peak as its own.
# So a small fresh Python starts the command and measures it; its own image is a few MB.
# wait4 gives the largest peak among the command and the processes it waited for, not their
# sum; the command hears a long film's second half in a worker process, so the measurer also
# reads every descendant's own peak (VmHWM) from /proc while they run and sums them: an upper
# bound of what they held at once.
MEASURE = """
import os, sys, time

def peak_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0

def descendants(root):
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as stat:
                    parents[int(name)] = int(stat.read().rpartition(")")[2].split()[1])
            except (OSError, ValueError, IndexError):
                pass
    found, todo = set(), [root]
    while todo:
        pid = todo.pop()
        for child, parent in parents.items():
            if parent == pid and child not in found:
                found.add(child)
                todo.append(child)
    return found

started = time.perf_counter()
peaks = {}
try:
    pid = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ)
    while True:
        done, status, usage = os.wait4(pid, os.WNOHANG)
        if done:
            break
        for each in descendants(pid) | {pid}:
            peaks[each] = max(peaks.get(each, 0), peak_kib(each))
        time.sleep(0.02)
    code, rss = os.waitstatus_to_exitcode(status), usage.ru_maxrss
except OSError as err:
    print(f"cannot run {sys.argv[2]}: {err}", file=sys.stderr)
    code, rss = 127, 0
wall = time.perf_counter() - started
peaks[pid] = max(peaks.get(pid, 0), rss)
with open(sys.argv[1], "w") as out:
    out.write(f"{code} {wall} {rss} {sum(peaks.values())} {len(peaks)}")
"""


@dataclass
class Run:
    status: int
    wall_s: float
    rss_kib: int  # from wait4: the largest peak of the command and what it waited for
    summed_kib: int  # every process's own peak, summed
    processes: int
    stderr: str


def run_once(argv: List[str], folder: Path) -> Run:
    measured = folder / "measured.txt"
    with tempfile.TemporaryFile() as err:
        subprocess.run([sys.executable, "-I", "-c", MEASURE, str(measured), *argv],
                       stdout=subprocess.DEVNULL, stderr=err, check=True)
        err.seek(0)
        stderr = err.read().decode(errors="replace")
    code, wall, rss, summed, processes = measured.read_text().split()
    return Run(int(code), float(wall), int(rss), int(summed), int(processes), stderr)


def start_errors_ms(output: Path, truth: Path) -> numpy.ndarray:
    got, want = pysubs2.load(str(output)), pysubs2.load(str(truth))
    if len(got) != len(want):
        raise SystemExit(f"{output}: {len(got)} cues, expected {len(want)}")
    errors: numpy.ndarray = numpy.abs(numpy.array([e.start for e in got])
                                      - numpy.array([e.start for e in want]))
    return errors


def version_line(command: Path) -> str:
    try:
        done = subprocess.run([str(command), "--version"], capture_output=True, text=True,
                              timeout=120)
    except OSError as err:
        return f"(cannot run: {err})"
    lines = (done.stdout or done.stderr).strip().splitlines()
    return lines[0] if done.returncode == 0 and lines else "(no --version)"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=100.0, help="film length (default 100)")
    parser.add_argument("--cues", type=int,
                        help=f"about how many cues (default {CUES_PER_MINUTE} a minute)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=3, help="runs of each form (default 3)")
    parser.add_argument("--command", type=Path,
                        default=Path(sys.executable).parent / "corvela-align",
                        help="the corvela-align to time (default: beside this Python)")
    parser.add_argument("--keep", type=Path, metavar="DIR",
                        help="make the film here and keep it; reuse it if already made")
    parser.add_argument("--quiet-flag", action="store_true", help="also pass --quiet")
    args = parser.parse_args(argv)
    cues = args.cues or round(CUES_PER_MINUTE * args.minutes)

    temporary = None
    if args.keep is None:
        temporary = tempfile.TemporaryDirectory(prefix="corvela-bench-")
        folder = Path(temporary.name)
    else:
        folder = args.keep
        folder.mkdir(parents=True, exist_ok=True)
    wanted = {"minutes": args.minutes, "cues": cues, "seed": args.seed}
    made = folder / "film.json"
    names = FORMS + ("late.srt", "truth.srt")
    film = json.loads(made.read_text()) if made.exists() else {}
    if film.get("made_from") == wanted and all((folder / n).exists() for n in names):
        print(f"reusing the film in {folder}")
    else:
        started = time.perf_counter()
        film = {"made_from": wanted, **make_film(folder, args.minutes, cues, args.seed)}
        made.write_text(json.dumps(film))  # last, so a half-made film is never reused
        print(f"made the film in {folder} in {time.perf_counter() - started:.1f} s")

    extra = ["--quiet"] if args.quiet_flag else []
    runs: Dict[str, List[Run]] = {form: [] for form in FORMS}
    failed: Dict[str, Run] = {}
    errors: Dict[str, numpy.ndarray] = {}
    for n in range(args.repeat):  # interleaved, so a slow spell of the machine hits every form
        for form in FORMS:
            if form in failed:
                continue
            output = folder / f"aligned-{Path(form).stem}.srt"
            run = run_once([str(args.command), str(folder / "late.srt"), str(folder / form),
                            "-o", str(output), "--json", *extra], folder)
            print(f"{form} run {n + 1}: exit {run.status}, {run.wall_s:.2f} s, "
                  f"wait4 RSS {run.rss_kib / 1024:.0f} MB, "
                  f"{run.processes} process(es) summed {run.summed_kib / 1024:.0f} MB")
            if run.status != 0:
                print(run.stderr, end="", file=sys.stderr)
                failed[form] = run
                continue
            runs[form].append(run)
            errors[form] = start_errors_ms(output, folder / "truth.srt")

    print(f"\nfilm: {film['length_s'] / 60:.1f} min, {film['cues']} cues, "
          f"subtitles shown {LATE} s late")
    print(f"command: {args.command}: {version_line(args.command)}\n")
    print(f"| input form | wall s (median of {args.repeat}) | peak RSS MB (summed) "
          f"| median error ms | p90 error ms |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for form in FORMS:
        if form in failed:
            last = (failed[form].stderr.strip().splitlines() or ["(no message)"])[-1]
            print(f"| {form} | failed (exit {failed[form].status}): {last} | | | |")
            continue
        wall = statistics.median(r.wall_s for r in runs[form])
        rss = max(r.summed_kib for r in runs[form]) / 1024
        median, p90 = numpy.median(errors[form]), numpy.percentile(errors[form], 90)
        print(f"| {form} | {wall:.2f} | {rss:.0f} | {median:.0f} | {p90:.0f} |")
    if temporary is not None:
        temporary.cleanup()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
