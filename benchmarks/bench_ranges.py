"""best_offset over growing ranges, up to the whole film: time and memory.

    python benchmarks/bench_ranges.py [--repeat N] [--previous DIR] [--segments]

Two tables, each case in a child process of its own that reports the best time of N calls and
the process's peak resident memory:

  film      a film of sentences (tests/support/films.py: 1,386 sentences over 150 minutes, as a
            detector hears them) and its own subtitles 75 s late; searched over +-60 s, +-10
            minutes and the whole film (every offset at which a subtitle can meet speech), with
            factor 1 and with the seven FRAME_RATE_FACTORS, factor evidence on
  unrelated bench_match.py's 1,500 speech rows against 1,500 subtitles that belong to
            another film: no offset stands out, the hardest case for skipping offsets; +-60 s,
            +-10 minutes and +-1 hour

With --segments, best_segments at the command's penalty (2 s) instead, on `film`, on `cut`
(bench_segments.py's 100-minute film, cut at 40 %: two lags) and on `unrelated`, over +-60 s,
+-10 minutes and the whole film (+-1 hour for `unrelated`).

With --previous DIR (a folder holding an earlier build's corvela package) every case also runs
on that build, and the ratio is this build's time over the earlier one's. --large N runs only
bench_match.py's tables with N rows a side over +-60 s, on this build alone (10**6 rows need
some 20 GB by the whole curve).
"""

import argparse
import os
import random
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "tests", "support")
CASES = [("film", "60"), ("film", "600"), ("film", "whole"), ("film", "whole x7"),
         ("unrelated", "60"), ("unrelated", "600"), ("unrelated", "3600"),
         ("unrelated", "3600 x7")]
SEGMENT_CASES = [("film", "60 seg"), ("film", "600 seg"), ("film", "whole seg"),
                 ("cut", "60 seg"), ("cut", "600 seg"), ("cut", "whole seg"),
                 ("unrelated", "60 seg"), ("unrelated", "600 seg"), ("unrelated", "3600 seg")]


def tables(kind, rows=1500):
    from datetime import timedelta

    if kind == "film":
        sys.path.insert(0, SUPPORT)
        from films import heard, sentences, shown_cues, timed_for

        rng = random.Random(3)
        speech = sentences(150, rng)
        truth = shown_cues(speech, rng)
        return heard(speech, rng), timed_for(truth, 1.0, 75.0)
    sys.path.insert(0, HERE)
    if kind == "cut":
        from bench_segments import film

        base, other, _ = film(20261209)
        return base, other
    from bench_match import Rng, speech_rows, subtitle_ms

    rng = Rng(1)
    base = speech_rows(rows, rng)
    return base, [[timedelta(milliseconds=s + 4321), timedelta(milliseconds=e + 4321)]
                  for s, e in subtitle_ms(rows, rng)]


def child(kind, reach, repeat, rows):
    import gc
    from datetime import timedelta

    from corvela.core.scan import FRAME_RATE_FACTORS, best_offset, best_segments

    base, other = tables(kind, rows)
    factors = FRAME_RATE_FACTORS if reach.endswith("x7") else (1.0,)
    segments = reach.endswith("seg")
    reach = reach.split()[0]
    if reach == "whole":
        last_cue = max(e for _, e in other).total_seconds()
        first_cue = min(s for s, _ in other).total_seconds()
        lo = timedelta(seconds=min(s for s, _ in base) - last_cue)
        hi = timedelta(seconds=max(e for _, e in base) - first_cue)
    else:
        lo, hi = timedelta(seconds=-int(reach)), timedelta(seconds=int(reach))
    gc.disable()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        if segments:
            found = best_segments(base, other, lo, hi, 2.0)
        else:
            found = best_offset(base, other, lo, hi, factors=factors, factor_evidence=True)
        best = min(best, time.perf_counter() - start)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    if segments:  # the answer in two words: its segments and its score's bits
        print(best, peak, len(found.segments), found.score.hex())
    else:
        print(best, peak, found.offset.total_seconds(), found.factor)


def measured(kind, reach, repeat, path, rows=1500):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    done = subprocess.run([sys.executable, __file__, "--child", kind, reach, "--repeat",
                           str(repeat), "--large", str(rows)], env=env, capture_output=True,
                          text=True, check=True)
    seconds, peak, offset, factor = done.stdout.split()
    return float(seconds), float(peak), offset, factor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--previous", help="folder holding an earlier build's corvela package")
    parser.add_argument("--large", type=int, help="rows a side of the large tables")
    parser.add_argument("--segments", action="store_true", help="time best_segments instead")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.repeat, args.large or 1500)
        return
    if args.large:
        seconds, peak, offset, _ = measured("unrelated", "60", 1, "", args.large)
        print(f"{args.large:,} rows a side, +-60 s: {seconds:.1f} s, peak {peak:,.0f} MB, "
              f"offset {offset} s")
        return
    call = "best_segments, penalty 2 s" if args.segments else "best_offset"
    print(f"{call}, best of {args.repeat}; peak memory of the whole process")
    for kind, reach in SEGMENT_CASES if args.segments else CASES:
        now = measured(kind, reach, args.repeat, os.environ.get("PYTHONPATH", ""))
        line = (f"{kind:>9} {reach:>9}  {now[0] * 1e3:9,.1f} ms  {now[1]:6,.0f} MB  "
                + (f"{now[2]} segments, score {float.fromhex(now[3]):,.3f} s" if args.segments
                 else f"offset {now[2]} s, factor {now[3]}"))
        if args.previous:
            then = measured(kind, reach, args.repeat, args.previous)
            assert then[2:] == now[2:], (then, now)
            line += (f"  | before {then[0] * 1e3:9,.1f} ms {then[1]:6,.0f} MB, "
                     f"{now[0] / then[0]:.3f}x")
        print(line, flush=True)


if __name__ == "__main__":
    main()
