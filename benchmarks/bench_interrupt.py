"""Ctrl-C during a long coverage() or best_offset() call: how soon it stops, and what the
checks for it cost.

    python benchmarks/bench_interrupt.py [--previous-python PATH] [--rounds N]

Delay: the main thread starts a long call (coverage over 10**6 offsets, best_offset with 1,000
factors, each about 30 s when left alone) and a timer thread sends SIGINT to the process at a
random moment 0.2-1.0 s in; the delay is from the signal to the KeyboardInterrupt caught
around the call. Ten signals a call.

Cost: the 200-offset film scan of bench_scan.py and the +-60 s search of bench_best_offset.py,
called from the main thread (the one that looks for signals), timed in this build and, with
--previous-python, in the interpreter of an environment holding the build before the checks
(scripts/bench-python.sh shows how to make one from a commit with git archive). The two are run
in alternating rounds; each figure is the minimum over the rounds, and the ratios compare
figures of this one run.
"""

import argparse
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import threading
import time
from datetime import timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def long_call(name):
    from corvela.core.scan import best_offset, coverage
    import bench_best_offset
    import bench_scan

    if name == "coverage":
        base, other = bench_scan.film(1)
        offsets = [timedelta(microseconds=k) for k in range(10**6)]
        return lambda: coverage(base, other, offsets)
    base, other = bench_best_offset.film(1)
    lo, hi = bench_best_offset.LO, bench_best_offset.HI
    return lambda: best_offset(base, other, lo, hi, factors=[1.0] * 1000)


def delays(name, count, rng):
    call = long_call(name)
    out = []
    for _ in range(count):
        sent = []

        def interrupt():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(rng.uniform(0.2, 1.0), interrupt)
        timer.start()
        try:
            call()
            raise SystemExit("the call ended before the signal came")
        except KeyboardInterrupt:
            out.append(time.perf_counter() - sent[0])
        timer.join()
    return out


def worker_times(repeat):
    """Run in each build's interpreter: the best times of the two whole calls, in seconds."""
    from corvela.core.scan import best_offset, coverage
    import bench_best_offset
    import bench_scan

    base, other = bench_scan.film(1)
    scan = bench_scan.best_time(lambda: coverage(base, other, bench_scan.OFFSETS), repeat)
    base, other = bench_best_offset.film(1)
    lo, hi = bench_best_offset.LO, bench_best_offset.HI
    search = bench_scan.best_time(lambda: best_offset(base, other, lo, hi), repeat)
    return {"coverage, 200 offsets": scan, "best_offset, +-60 s": search}


def run_worker(python, repeat):
    proc = subprocess.run([python, os.path.abspath(__file__), "--worker", str(repeat)],
                          capture_output=True, text=True, check=True, cwd="/")
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--previous-python", help="interpreter of the earlier build's environment")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--signals", type=int, default=10)
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker is not None:
        print(json.dumps(worker_times(args.worker)))
        return
    print("CPython %s" % sys.version.split()[0])
    rng = random.Random(7)
    for name in ("coverage", "best_offset"):
        got = delays(name, args.signals, rng)
        print("%-12s Ctrl-C delay over %d signals: median %.1f ms, max %.1f ms"
              % (name, len(got), 1e3 * statistics.median(got), 1e3 * max(got)))
    builds = {"this build": sys.executable}
    if args.previous_python:
        builds["previous build"] = args.previous_python
    best = {}
    for _ in range(args.rounds):
        for label, python in builds.items():
            for call, seconds in run_worker(python, 20).items():
                key = (label, call)
                best[key] = min(best.get(key, float("inf")), seconds)
    for call in ("coverage, 200 offsets", "best_offset, +-60 s"):
        line = "%-22s this build %.3f ms" % (call, 1e3 * best[("this build", call)])
        if args.previous_python:
            previous = best[("previous build", call)]
            line += ", previous build %.3f ms, ratio %.3f" % (
                1e3 * previous, best[("this build", call)] / previous)
        print(line)


if __name__ == "__main__":
    main()
