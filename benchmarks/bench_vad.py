"""The speech detectors side by side: webrtcvad, Silero, and auto (webrtcvad, then Silero when
the answer is in doubt), through the whole corvela-align command.

1. Music: the clips of tests/support/music_clips.py (speech over a chord bed 12 dB below it,
   passages of music alone, door slams; subtitles 3.7 s late, captions included): per clip,
   the share of cues that start within 500 ms of the truth, the median error, and whether
   the command would refuse the result (doubts; the file is written with --force to score it).
2. Clean speech: the synthetic film of tests/support/synthetic_film.py, late and drifted
   subtitles: factor found and median error.
3. Time and memory: the 100-minute film of benchmarks/bench_align.py as an AAC Matroska file,
   each detector in turn, interleaved, --repeat times: wall time (median) and peak RSS (each
   process's own peak summed over the command and its worker; the largest run) and CPU time
   (user and system, over the command and its workers, with the measuring process's few
   percent: steadier than the wall time on a shared machine). A last row
   makes auto's answer doubtful (a search range that stops short of the true offset), so that
   Silero hears the film after webrtcvad: the cost of auto on a film with music.

    build/venv-align/bin/python benchmarks/bench_vad.py [--keep DIR] [--repeat 3] [--minutes 100]
"""

import argparse
import json
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

import pysubs2

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "support"))
import bench_align  # noqa: E402
from music_clips import make_clips  # type: ignore[import-not-found]  # noqa: E402
from synthetic_film import make_film  # type: ignore[import-not-found]  # noqa: E402

DETECTORS = ("webrtc", "silero", "auto")
# (label, extra arguments): the subtitles are 3.7 s late, so -3 s to 0 s leaves the best
# offsets at the range's end, in doubt.
LONG_RUNS = [(vad, ["--vad", vad]) for vad in DETECTORS] + [
    ("auto, in doubt", ["--vad", "auto", "--from", "-3", "--to", "0", "--force"])]


def aligned(command: Path, subtitles: Path, sound: Path, out: Path,
            vad: str) -> Tuple[Dict[str, object], float]:
    started = time.perf_counter()
    done = subprocess.run([str(command), str(subtitles), str(sound), "-o", str(out), "--json",
                           "--force", "--vad", vad], capture_output=True, text=True, check=False)
    wall = time.perf_counter() - started
    if done.returncode not in (0, 3):
        raise SystemExit(f"{vad} on {sound.name}: exit {done.returncode}: {done.stderr}")
    fields: Dict[str, object] = json.loads(done.stdout)
    return fields, wall


def start_errors(out: Path, truth_ms: Sequence[Tuple[int, int]]) -> List[int]:
    got = pysubs2.load(str(out))
    assert len(got) == len(truth_ms), (len(got), len(truth_ms))
    return [abs(event.start - start) for event, (start, _) in zip(got, truth_ms)]


def music(command: Path, folder: Path) -> None:
    clips = make_clips(folder)
    print("\n| detector | clip | within 500 ms | median error ms | refused | wall s |")
    print("| --- | --- | ---: | ---: | --- | ---: |")
    for vad in DETECTORS:
        for clip in clips:
            out = folder / "out.srt"
            fields, wall = aligned(command, clip.late, clip.sound, out, vad)
            errors = start_errors(out, clip.truth_ms)
            within = sum(e <= 500 for e in errors) / len(errors)
            print(f"| {vad} | {clip.sound.stem} | {within:.0%} | {statistics.median(errors):g} "
                  f"| {'yes' if fields['doubts'] else 'no'} | {wall:.2f} |")


def clean(command: Path, folder: Path) -> None:
    film = make_film(folder)
    print("\n| detector | subtitles | factor | median error ms | largest ms | refused |")
    print("| --- | --- | ---: | ---: | ---: | --- |")
    for vad in DETECTORS:
        for case in ("late", "drifted"):
            out = folder / "out.srt"
            fields, _ = aligned(command, getattr(film, case), film.sound, out, vad)
            errors = start_errors(out, film.truth_ms)
            print(f"| {vad} | {case} | {fields['factor']!r} | {statistics.median(errors):g} "
                  f"| {max(errors)} | {'yes' if fields['doubts'] else 'no'} |")


def long_film(command: Path, folder: Path, minutes: float, repeat: int, seed: int) -> None:
    cues = round(bench_align.CUES_PER_MINUTE * minutes)
    wanted = {"minutes": minutes, "cues": cues, "seed": seed}
    made = folder / "film.json"
    film = json.loads(made.read_text()) if made.exists() else {}
    names = ("film.mkv", "late.srt", "truth.srt")
    if film.get("made_from") != wanted or not all((folder / n).exists() for n in names):
        print(f"making the {minutes:g}-minute film in {folder}...")
        film = {"made_from": wanted, **bench_align.make_film(folder, minutes, cues, seed)}
        made.write_text(json.dumps(film))
    runs: Dict[str, List[bench_align.Run]] = {label: [] for label, _ in LONG_RUNS}
    errors: Dict[str, List[float]] = {}
    cpu: Dict[str, List[float]] = {label: [] for label, _ in LONG_RUNS}
    for n in range(repeat):
        for k, (label, extra) in enumerate(LONG_RUNS):
            out = folder / f"aligned-{k}.srt"
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            run = bench_align.run_once([str(command), str(folder / "late.srt"),
                                        str(folder / "film.mkv"), "-o", str(out), "--json",
                                        "--quiet", *extra], folder)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[label].append(after.ru_utime + after.ru_stime
                              - before.ru_utime - before.ru_stime)
            print(f"{label} run {n + 1}: exit {run.status}, {run.wall_s:.2f} s, "
                  f"CPU {cpu[label][-1]:.2f} s, "
                  f"{run.processes} process(es) summed {run.summed_kib / 1024:.0f} MB")
            if run.status not in ((3,) if "--force" in extra else (0,)):
                raise SystemExit(run.stderr)
            runs[label].append(run)
            errors[label] = [float(e) for e in
                             bench_align.start_errors_ms(out, folder / "truth.srt")]
    print(f"\n{film['length_s'] / 60:.0f}-minute film, MKV (AAC 48 kHz stereo), {film['cues']} "
          f"cues, {repeat} runs each")
    print("\n| detector | wall s (median) | against webrtc | CPU s (median) | against webrtc "
          "| peak RSS MB (summed) | median error ms |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    base = statistics.median(r.wall_s for r in runs["webrtc"])
    base_cpu = statistics.median(cpu["webrtc"])
    for label, _ in LONG_RUNS:
        wall = statistics.median(r.wall_s for r in runs[label])
        rss = max(r.summed_kib for r in runs[label]) / 1024
        used = statistics.median(cpu[label])
        print(f"| {label} | {wall:.2f} | {wall / base:.2f}x | {used:.2f} "
              f"| {used / base_cpu:.2f}x | {rss:.0f} | {statistics.median(errors[label]):g} |")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=100.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--command", type=Path,
                        default=Path(sys.executable).parent / "corvela-align")
    parser.add_argument("--keep", type=Path, metavar="DIR",
                        help="make the long film here and keep it; reuse it if already made")
    parser.add_argument("--skip-long", action="store_true", help="only the clips")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="corvela-vad-") as work:
        music(args.command, Path(work))
        clean(args.command, Path(work))
        if not args.skip_long:
            folder = args.keep or Path(work) / "long"
            folder.mkdir(parents=True, exist_ok=True)
            long_film(args.command, folder, args.minutes, args.repeat, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
