"""The 200-offset film scan: the best Python loop around match() against scan.coverage().

    python benchmarks/bench_scan.py [--repeat N]

One film is 2,000 speech rows (floats) and 1,500 subtitle rows (timedelta, millisecond times);
the scan tries 200 offsets from -10 s to +9.9 s, 0.1 s apart, as an aligner does. What is timed
is the whole scan, from the caller's lists to the list of 200 coverages:

  loop, lists    [match(base, [[s + o, e + o] for s, e in other]) for o in offsets]
  loop, tuples   the same with tuple rows (the fastest Python loop found)
  coverage       coverage(base, other, offsets)

and, for the interpreter lock, two films scanned one after the other in one thread against the
same two scans in two threads at once (wall time). Every time is the minimum over repeats with
garbage collection off; ratios compare figures of this one run. coverage() is checked to give
the loop's bits on every offset before anything is timed.
"""

import argparse
import gc
import os
import platform
import sys
import threading
import time
from datetime import timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_match import Rng, speech_rows, subtitle_ms  # noqa: E402
from corvela.core.algo import match  # noqa: E402
from corvela.core.scan import coverage  # noqa: E402

OFFSETS = [timedelta(milliseconds=-10_000 + 100 * k) for k in range(200)]


def film(seed):
    rng = Rng(seed)
    base = speech_rows(2000, rng)
    other = [[timedelta(milliseconds=s), timedelta(milliseconds=e)]
             for s, e in subtitle_ms(1500, rng)]
    return base, other


def loop_lists(base, other, offsets):
    return [match(base, [[s + o, e + o] for s, e in other]) for o in offsets]


def loop_tuples(base, other, offsets):
    return [match(base, [(s + o, e + o) for s, e in other]) for o in offsets]


def scan(base, other, offsets):
    return coverage(base, other, offsets)


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def two_films(fn, films, threaded):
    def run():
        if not threaded:
            for base, other in films:
                fn(base, other, OFFSETS)
            return
        threads = [threading.Thread(target=fn, args=(base, other, OFFSETS))
                   for base, other in films]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return run


def fmt(seconds):
    return f"{seconds * 1e3:.2f} ms"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args(argv)

    films = [film(20261208), film(20261209)]
    base, other = films[0]
    due = [v.hex() for v in loop_lists(base, other, OFFSETS)]
    for fn in (loop_tuples, scan):
        if [v.hex() for v in fn(base, other, OFFSETS)] != due:
            sys.exit(f"{fn.__name__} does not give the loop's bits")

    gc.disable()
    try:
        single = {name: best_time(lambda fn=fn: fn(base, other, OFFSETS), args.repeat)
                  for name, fn in (("loop, lists", loop_lists), ("loop, tuples", loop_tuples),
                                   ("coverage", scan))}
        pair = {(name, threaded): best_time(two_films(fn, films, threaded), args.repeat)
                for name, fn in (("loop, tuples", loop_tuples), ("coverage", scan))
                for threaded in (False, True)}
    finally:
        gc.enable()

    print(f"CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.2f}, {args.repeat} repeats")
    loop = min(single["loop, lists"], single["loop, tuples"])
    print("\nOne film, 200 offsets (whole scan)")
    print("| implementation | time per scan | speed-up over the best loop |")
    print("|---|---:|---:|")
    for name, seconds in single.items():
        print(f"| {name} | {fmt(seconds)} | {loop / seconds:.1f}× |")
    print("\nTwo films, one after the other in one thread against one thread each (wall time)")
    print("| implementation | 1 thread | 2 threads | 1 thread / 2 threads |")
    print("|---|---:|---:|---:|")
    for name in ("loop, tuples", "coverage"):
        one, two = pair[(name, False)], pair[(name, True)]
        print(f"| {name} | {fmt(one)} | {fmt(two)} | {one / two:.2f}× |")


if __name__ == "__main__":
    main()
