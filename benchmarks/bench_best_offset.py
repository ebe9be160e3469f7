"""The best offset over +-60 s: best_offset() against a 10 ms grid scan.

    python benchmarks/bench_best_offset.py [--repeat N] [--loop-repeat N]

One film is 1,500 speech rows (floats) and 1,500 subtitle rows (timedelta, millisecond times),
both sorted and mostly without overlaps (the workload of bench_match.py). What is timed is the
whole search, from the caller's lists to the answer:

  best_offset     best_offset(base, other, -60 s, 60 s): every microsecond, exactly
  loop, tuples    max over 12,001 offsets 10 ms apart of match(base, [(s + o, e + o) ...]),
                  the fastest Python loop around match (bench_scan.py)
  coverage        max of coverage(base, other, the same 12,001 offsets)

and the same with the seven FRAME_RATE_FACTORS (the grid scans once per factor, on the
subtitles scaled in Python). Every time is the minimum over repeats with garbage collection
off; ratios compare figures of this one run. best_offset's answer is checked first: its
coverage must be match's bits there and at least the grid's best.
"""

import argparse
import gc
import os
import platform
import sys
from datetime import timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_match import Rng, speech_rows, subtitle_ms  # noqa: E402
from bench_scan import best_time  # noqa: E402
from corvela.core.algo import match  # noqa: E402
from corvela.core.scan import FRAME_RATE_FACTORS, best_offset, coverage  # noqa: E402

LO, HI = timedelta(seconds=-60), timedelta(seconds=60)
GRID = [timedelta(milliseconds=-60_000 + 10 * k) for k in range(12_001)]


def film(seed):
    rng = Rng(seed)
    base = speech_rows(1500, rng)
    # The subtitles 4.321 s late against the speech.
    other = [[timedelta(milliseconds=s + 4321), timedelta(milliseconds=e + 4321)]
             for s, e in subtitle_ms(1500, rng)]
    return base, other


def scaled(other, factor):
    return [[s * factor, e * factor] for s, e in other]


def loop_tuples(base, other, factors):
    best = None
    for factor in factors:
        rows = scaled(other, factor)
        for o in GRID:
            value = match(base, [(s + o, e + o) for s, e in rows])
            if best is None or value > best[0]:
                best = (value, o, factor)
    return best


def grid_coverage(base, other, factors):
    best = None
    for factor in factors:
        values = coverage(base, scaled(other, factor), GRID)
        value = max(values)
        if best is None or value > best[0]:
            best = (value, GRID[values.index(value)], factor)
    return best


def exact(base, other, factors):
    return best_offset(base, other, LO, HI, factors=factors)


def fmt(seconds):
    return f"{seconds * 1e3:,.1f} ms" if seconds < 10 else f"{seconds:,.1f} s"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--loop-repeat", type=int, default=2)
    args = parser.parse_args(argv)

    base, other = film(20261208)
    for factors in ((1.0,), FRAME_RATE_FACTORS):
        got = exact(base, other, factors)
        due = match(base, [[s * got.factor + got.offset, e * got.factor + got.offset]
                           for s, e in other])
        if got.coverage.hex() != due.hex():
            sys.exit("best_offset's coverage is not match's bits")
        if got.coverage < grid_coverage(base, other, factors)[0]:
            sys.exit("best_offset found less than the grid")

    rows = []
    gc.disable()
    try:
        for label, factors in (("factor 1", (1.0,)), ("7 frame-rate factors", FRAME_RATE_FACTORS)):
            times = {
                "best_offset": best_time(lambda: exact(base, other, factors), args.repeat),
                "coverage, 10 ms grid": best_time(lambda: grid_coverage(base, other, factors),
                                                  max(1, args.repeat // 5)),
                "loop around match, 10 ms grid": best_time(
                    lambda: loop_tuples(base, other, factors), args.loop_repeat),
            }
            rows.append((label, times))
    finally:
        gc.enable()

    print(f"CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.2f}, {args.repeat} repeats "
          f"({args.loop_repeat} for the match loop)")
    got = exact(base, other, (1.0,))
    print(f"best_offset: offset {got.offset.total_seconds():+.6f} s, coverage {got.coverage:.6f}, "
          f"plateau {got.plateau_start.total_seconds():+.6f} .. "
          f"{got.plateau_end.total_seconds():+.6f} s")
    for label, times in rows:
        print(f"\n1,500 x 1,500 rows, +-60 s, {label}")
        print("| implementation | time | relative to best_offset |")
        print("|---|---:|---:|")
        for name, seconds in times.items():
            print(f"| {name} | {fmt(seconds)} | {seconds / times['best_offset']:,.0f}× |")


if __name__ == "__main__":
    main()
