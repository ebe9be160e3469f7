"""Whole-call timings of corvela.core.algo.match against what a caller would otherwise write.

Run it with an interpreter that has corvela (the normal build), numpy and matplotlib installed:

    python benchmarks/bench_match.py [--pair-loop-only-python PATH] [--previous-python PATH]
                                     [--plot FILE] [--max-rows N] [--realistic-only]

--pair-loop-only-python names the interpreter of a second environment holding a build that uses
only the pair loop (`pip install . -C cmake.define.CORVELA_PAIR_LOOP_ONLY=ON`); its timings run in a
subprocess of that interpreter on the same data. scripts/bench-python.sh sets both
environments up and runs this script. --previous-python does the same for a build of an earlier
commit (scripts/bench-python.sh builds main's HEAD), so that a change is measured against the
engine choice it replaces in the same run.

What is timed, always the whole call including the conversion of the lists:
  corvela                 match() with exact floats and exact timedeltas (direct conversion)
  corvela, general conv.  the same values as a trivial timedelta subclass, so every bound goes
                          through a real total_seconds() call
  pair-loop-only build        both of the above on the build without the index
  previous build          match() of the earlier commit's build, same data
  walk-only floor         benchmarks/walk_floor.cpp (when installed): reads every row and item
                          of the same lists as the direct conversion does and writes both
                          tables, no kernel -- what no whole call can go below
  pure-Python oracle      tests/support/oracle.py: the rule pair_loop as plain Python loops
  NumPy outer min/max     list-to-array conversion, then sum(clip(min(ends) - max(starts), 0))

The realistic workload is 2,000 speech rows against 200 shifted copies of 1,500 subtitle rows
(one call per shift, as an aligner does); its time per call is averaged over the shifts, and
the rows of each list are cold in the caches when its call comes (one list timed over and over
is shown too, for reference). The scaling series uses N rows per side; slow peers are skipped
at large N. Every time is the minimum over repeats (timeit style), with garbage collection off
while timing; ratios compare figures of the same run.
"""

import argparse
import datetime
import json
import math
import os
import platform
import subprocess
import sys
import timeit
from datetime import timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests", "support"))

import oracle  # noqa: E402
from corvela.core.algo import match  # noqa: E402

SEED = 20261208
SPEECH_ROWS = 2000
SUBTITLE_ROWS = 1500
SHIFTS = 200
SCALING_ROWS = [100, 300, 1000, 3000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
# Largest rows per side at which each slow peer is still timed.
ORACLE_MAX_ROWS = 1000
NUMPY_MAX_ROWS = 3000
PAIR_LOOP_MAX_ROWS = 30_000


class GeneralDelta(timedelta):
    """Same values as timedelta; not the exact type, so match() calls total_seconds()."""


# --- workload ----------------------------------------------------------------------------------


class Rng:
    """A small LCG, so that both interpreters generate the same data on any version."""

    def __init__(self, seed):
        self.state = seed

    def uniform(self, low, high):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return low + (high - low) * ((self.state >> 11) / 2**53)


def speech_rows(count, rng):
    """Sorted speech segments of 0.3-8 s separated by 0.1-3 s pauses, in seconds (floats)."""
    rows = []
    t = 0.0
    for _ in range(count):
        t += rng.uniform(0.1, 3.0)
        duration = rng.uniform(0.3, 8.0)
        rows.append([t, t + duration])
        t += duration
    return rows


def subtitle_ms(count, rng):
    """Sorted subtitles of 1-6 s separated by 0.2-8 s, timed in whole milliseconds."""
    rows = []
    t = 0
    for _ in range(count):
        t += round(rng.uniform(200, 8000))
        duration = round(rng.uniform(1000, 6000))
        rows.append((t, t + duration))
        t += duration
    return rows


def as_deltas(rows_ms, shift_ms=0, kind=timedelta):
    return [[kind(milliseconds=s + shift_ms), kind(milliseconds=e + shift_ms)] for s, e in rows_ms]


def realistic_workload(kind=timedelta):
    rng = Rng(SEED)
    base = speech_rows(SPEECH_ROWS, rng)
    subs = subtitle_ms(SUBTITLE_ROWS, rng)
    # Shifts of -10 s to +9.9 s in 100 ms steps, as an aligner tries them.
    others = [as_deltas(subs, -10_000 + 100 * k, kind) for k in range(SHIFTS)]
    return base, others


def scaling_workload(rows, kind=timedelta):
    rng = Rng(SEED + rows)
    return speech_rows(rows, rng), as_deltas(subtitle_ms(rows, rng), 0, kind)


# --- peers -------------------------------------------------------------------------------------


def numpy_match(base, other):
    """What a NumPy user would write: every pair at once through outer min/max."""
    import numpy as np

    b = np.array(base, dtype=np.float64)
    o = np.array([[s.total_seconds(), e.total_seconds()] for s, e in other], dtype=np.float64)
    overlap = np.minimum.outer(b[:, 1], o[:, 1]) - np.maximum.outer(b[:, 0], o[:, 0])
    np.clip(overlap, 0.0, None, out=overlap)
    return float(overlap.sum() / (b[:, 1] - b[:, 0]).sum())


# --- timing ------------------------------------------------------------------------------------


def per_call(fn, args_list, repeat=5, min_time=0.2):
    """Minimum over `repeat` runs of the mean time of fn(*args) over args_list."""

    def run():
        for args in args_list:
            fn(*args)

    timer = timeit.Timer(run)
    number, elapsed = timer.autorange() if min_time > 0 else (1, None)
    if elapsed is not None and elapsed * repeat > 30:  # one slow call is enough per repeat
        repeat = max(2, min(repeat, int(30 / max(elapsed, 1e-9))))
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number / len(args_list)


def realistic_corvela_times():
    base, others = realistic_workload()
    _, general_others = realistic_workload(GeneralDelta)
    times = {
        "corvela": per_call(match, [(base, o) for o in others]),
        "general": per_call(match, [(base, o) for o in general_others], repeat=3),
        # For reference only: one shift over and over, so its rows stay in the CPU caches. With
        # 200 lists of 1,500 rows (some 60 MB of objects) every call reads its rows from memory.
        "cached": per_call(match, [(base, others[0])] * SHIFTS),
    }
    bits = [oracle.bits(match(base, o)) for o in others]
    assert bits == [oracle.bits(match(base, o)) for o in general_others]
    return times, bits, base, others


def scaling_corvela_times(rows):
    base, other = scaling_workload(rows)
    _, general = scaling_workload(rows, GeneralDelta)
    repeat = 5 if rows <= 100_000 else 3
    times = {
        "corvela": per_call(match, [(base, other)], repeat=repeat),
        "general": per_call(match, [(base, general)], repeat=repeat),
    }
    return times, oracle.bits(match(base, other))


def worker(args):
    """Runs in the pair-loop-only environment: the corvela timings only, as JSON on stdout."""
    out = {"module": sys.modules["corvela.core.algo"].__file__, "realistic": None, "scaling": {}}
    if args.worker_realistic:
        times, bits, _, _ = realistic_corvela_times()
        out["realistic"] = {"times": times, "bits": bits}
    for rows in args.worker_rows:
        times, bits = scaling_corvela_times(rows)
        out["scaling"][str(rows)] = {"times": times, "bits": bits}
    json.dump(out, sys.stdout)


def run_other_build(python, realistic, rows):
    command = [python, os.path.abspath(__file__), "--worker"]
    if realistic:
        command.append("--worker-realistic")
    command += ["--worker-rows"] + [str(r) for r in rows]
    # Run from outside the checkout so that the environment's installed build is the one loaded.
    done = subprocess.run(command, check=True, capture_output=True, text=True, cwd=os.sep)
    return json.loads(done.stdout)


# --- report ------------------------------------------------------------------------------------


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} logical CPUs, CPython {platform.python_version()}"


LABELS = {
    "corvela": "corvela",
    "cached": "corvela, one subtitle list repeated (in cache)",
    "general": "corvela, general conversion (timedelta subclass)",
    "previous": "previous build (engine choice before this change)",
    "floor": "walk-only floor (conversion without the kernel)",
    "pair_loop": "pair-loop-only build",
    "pair_loop_general": "pair-loop-only build, general conversion",
    "oracle": "pure-Python oracle",
    "numpy": "NumPy outer min/max",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pair-loop-only-python", help="interpreter of the pair-loop-only environment")
    parser.add_argument("--previous-python", help="interpreter of the earlier build's environment")
    parser.add_argument("--realistic-only", action="store_true", help="skip the scaling series")
    parser.add_argument("--plot", default=os.path.join(HERE, "scaling.png"))
    parser.add_argument("--max-rows", type=int, default=SCALING_ROWS[-1])
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--worker-realistic", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--worker-rows", type=int, nargs="*", default=[], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return

    print(f"machine: {machine()}")
    print(f"date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC")
    print(f"module: {sys.modules['corvela.core.algo'].__file__}")
    rows_series = [r for r in SCALING_ROWS if r <= args.max_rows]

    pair_loop = None
    if args.pair_loop_only_python:
        pair_loop_rows = [r for r in rows_series if r <= PAIR_LOOP_MAX_ROWS]
        pair_loop = run_other_build(args.pair_loop_only_python, True, pair_loop_rows)
        print(f"pair-loop-only module: {pair_loop['module']}")

    previous = None
    if args.previous_python:
        previous = run_other_build(args.previous_python, True, [])
        print(f"previous module: {previous['module']}")

    # Realistic workload.
    times, bits, base, others = realistic_corvela_times()
    if previous is not None:
        assert previous["realistic"]["bits"] == bits, "previous build disagrees"
        times["previous"] = previous["realistic"]["times"]["corvela"]
    try:
        from corvela_walk_floor import walk

        times["floor"] = per_call(walk, [(base, o) for o in others])
    except ImportError:
        print("walk-only floor not installed: its row is skipped")
    if pair_loop is not None:
        # The two builds must agree bit for bit on every shift.
        assert pair_loop["realistic"]["bits"] == bits, "pair-loop-only build disagrees"
        times["pair_loop"] = pair_loop["realistic"]["times"]["corvela"]
        times["pair_loop_general"] = pair_loop["realistic"]["times"]["general"]
    times["oracle"] = per_call(oracle.match, [(base, o) for o in others[:2]], repeat=3, min_time=0)
    assert oracle.bits(oracle.match(base, others[0])) == bits[0]
    try:
        import numpy  # noqa: F401

        times["numpy"] = per_call(numpy_match, [(base, o) for o in others[:20]], repeat=3)
        assert abs(numpy_match(base, others[0]) - match(base, others[0])) < 1e-12
    except ImportError:
        print("numpy not installed: its peer is skipped")

    print()
    print(f"Whole match() call, {SPEECH_ROWS:,} speech rows x {SUBTITLE_ROWS:,} subtitle rows "
          f"(timedelta), mean over {SHIFTS} shifted subtitle lists:")
    print()
    print("| implementation | time per call | relative to corvela |")
    print("|---|---:|---:|")
    for key in ("corvela", "previous", "floor", "cached", "general", "pair_loop", "pair_loop_general",
                "oracle", "numpy"):
        if key in times:
            ratio = times[key] / times["corvela"]
            print(f"| {LABELS[key]} | {fmt_time(times[key])} | {ratio:,.1f}x |")
    print()
    for key, target in (("pair_loop_general", 30), ("oracle", 1000), ("numpy", 100)):
        if key in times:
            ratio = times[key] / times["corvela"]
            verdict = "met" if ratio >= target else "NOT met"
            print(f"target: {target:,}x faster than {LABELS[key]}: {ratio:,.1f}x, {verdict}")

    if "previous" in times:
        ratio = times["previous"] / times["corvela"]
        print(f"target: 1.5x faster than the previous build, cold: {ratio:.2f}x, "
              f"{'met' if ratio >= 1.5 else 'NOT met'}")
    if "floor" in times:
        ratio = times["corvela"] / times["floor"]
        print(f"target: within 1.8x of the walk-only floor (moonshot 1.5x): {ratio:.2f}x, "
              f"{'met' if ratio <= 1.8 else 'NOT met'}")
    if args.realistic_only:
        return

    # Scaling series.
    scaling = {}
    for rows in rows_series:
        row_times, row_bits = scaling_corvela_times(rows)
        if pair_loop is not None and str(rows) in pair_loop["scaling"]:
            entry = pair_loop["scaling"][str(rows)]
            assert entry["bits"] == row_bits, f"pair-loop-only build disagrees at {rows} rows"
            row_times["pair_loop"] = entry["times"]["corvela"]
            row_times["pair_loop_general"] = entry["times"]["general"]
        if rows <= ORACLE_MAX_ROWS or rows <= NUMPY_MAX_ROWS:
            base, other = scaling_workload(rows)
            if rows <= ORACLE_MAX_ROWS:
                row_times["oracle"] = per_call(oracle.match, [(base, other)], repeat=3)
            if rows <= NUMPY_MAX_ROWS and "numpy" in times:
                row_times["numpy"] = per_call(numpy_match, [(base, other)], repeat=3)
        scaling[rows] = row_times
        print(f"  {rows:>9,} rows per side: " +
              ", ".join(f"{k} {fmt_time(v)}" for k, v in row_times.items()), flush=True)

    keys = [k for k in LABELS if any(k in t for t in scaling.values())]
    print()
    print("Whole match() call against rows per side (sorted realistic input; '-': not timed):")
    print()
    print("| rows per side | " + " | ".join(LABELS[k] for k in keys) + " |")
    print("|---:|" + "---:|" * len(keys))
    for rows, row_times in scaling.items():
        print(f"| {rows:,} | " + " | ".join(fmt_time(row_times.get(k)) for k in keys) + " |")
    print()
    sizes = [r for r in scaling if r >= 10_000]
    for low, high in zip(sizes, sizes[1:]):
        # Growth per doubling of the rows, from the step between two sizes: 2.0 is linear.
        growth = (scaling[high]["corvela"] / scaling[low]["corvela"]) ** (
            math.log(2) / math.log(high / low))
        print(f"corvela, {low:,} -> {high:,} rows per side: x{growth:.2f} per doubling")

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"machine": machine(), "realistic": times,
                       "scaling": {str(k): v for k, v in scaling.items()}}, out, indent=1)
    plot(scaling, keys, args.plot)


def plot(scaling, keys, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    fig, ax = plt.subplots(figsize=(7.5, 5))
    markers = {"corvela": "o", "general": "s", "pair_loop": "^", "pair_loop_general": "v",
               "oracle": "D", "numpy": "x"}
    for key in keys:
        points = [(rows, t[key]) for rows, t in scaling.items() if key in t]
        ax.loglog([p[0] for p in points], [p[1] for p in points], marker=markers[key],
                  label=LABELS[key])
    ax.set_xlabel("rows per side (speech rows = subtitle rows)")
    ax.set_ylabel("time per match() call [s]")
    ax.set_title("Whole match() call, sorted realistic input")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


if __name__ == "__main__":
    main()
