"""best_offset when subtitle lengths spread as real ones do, against fixed lengths.

    python benchmarks/bench_lengths.py [--rows N] [--repeat N] [--previous DIR]

Speech is N rows (bench_match.py's generator: 0.3-8 s with pauses of 0.1-3 s) and the
subtitles N rows laid one after another with pauses of 0.2-8 s, 4.321 s late, their lengths
drawn three ways:

  fixed        2.5 s each
  log-normal   median 2.5 s, sigma 0.59: 12 % are longer than twice the median, a few last
               tens of seconds
  zero-length  three rows in four last 0 s, the rest log-normal

What is timed is best_offset(base, other, -1 s, 1 s), the minimum over repeats, each case in a
child process of its own, which also reports its peak resident memory. With --previous DIR
(a folder holding an earlier build's corvela package) every case runs on both builds side by
side, alternating, and the ratio is this build's time over the earlier one's.
"""

import argparse
import math
import os
import random
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
KINDS = ("fixed", "log-normal", "zero-length")


def tables(kind, rows, seed=5):
    from datetime import timedelta

    sys.path.insert(0, HERE)
    from bench_match import Rng, speech_rows

    base = speech_rows(rows, Rng(seed))
    rng = random.Random(seed)
    other, ms = [], 4321
    for _ in range(rows):
        ms += rng.randrange(200, 8000)
        length = round(1000 * rng.lognormvariate(math.log(2.5), 0.59))
        if kind == "fixed":
            length = 2500
        elif kind == "zero-length" and rng.random() < 0.75:
            length = 0
        other.append([timedelta(milliseconds=ms), timedelta(milliseconds=ms + length)])
        ms += length
    return base, other


def child(kind, rows, repeat):
    """Runs in the child: times the call, prints seconds and peak memory in MB."""
    import gc
    import time
    from datetime import timedelta

    from corvela.core.scan import best_offset

    base, other = tables(kind, rows)
    gc.disable()
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        best_offset(base, other, timedelta(seconds=-1), timedelta(seconds=1))
        best = min(best, time.perf_counter() - start)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{best} {peak}")


def measured(kind, rows, repeat, path):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    done = subprocess.run([sys.executable, __file__, "--child", kind, "--rows", str(rows),
                           "--repeat", str(repeat)], env=env, capture_output=True, text=True,
                          check=True)
    seconds, peak = map(float, done.stdout.split())
    return seconds, peak


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--previous", help="folder holding an earlier build's corvela package")
    parser.add_argument("--child", choices=KINDS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rows, args.repeat)
        return
    builds = {"this build": os.environ.get("PYTHONPATH", "")}
    if args.previous:
        builds["previous"] = args.previous
    print(f"{args.rows:,} speech and subtitle rows, best_offset over +-1 s, "
          f"best of {args.repeat}")
    found = {}
    for kind in KINDS:
        for name, path in builds.items():
            found[kind, name] = measured(kind, args.rows, args.repeat, path)
    for name in builds:
        fixed = found["fixed", name][0]
        for kind in KINDS:
            seconds, peak = found[kind, name]
            line = (f"{name:>11}  {kind:<11} {seconds * 1e3:9,.0f} ms  {seconds / fixed:6.2f}x "
                    f"fixed  peak {peak:,.0f} MB")
            if name == "this build" and args.previous:
                line += f"  ({seconds / found[kind, 'previous'][0]:.3f}x the previous build)"
            print(line)


if __name__ == "__main__":
    main()
