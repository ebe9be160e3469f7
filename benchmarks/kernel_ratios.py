"""Summarises a Google Benchmark JSON file of benchmarks/kernels.cpp as a Markdown table.

For every shape and size: the median and minimum time of each engine over the repetitions, the
pair-loop-to-index, pair-loop-to-sweep, pair-loop-to-dispatch and index-to-sweep ratios (of
minima, the figure least disturbed by other load), and, for the doubling series of sorted realistic input (one table, and eight shifted copies
in turn), time(2N) / time(N).
"""
import json
import sys
from collections import defaultdict


def main(path):
    with open(path) as f:
        data = json.load(f)
    times = defaultdict(dict)  # (shape, size) -> engine -> {"median": us, "min": us}
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"])
        engine, shape, size = name.split("/")[:3]
        aggregate = b.get("aggregate_name")
        if b.get("run_type") == "aggregate" and aggregate not in ("median", "min"):
            continue
        slot = times[(shape, size)].setdefault(engine, {})
        value = b["cpu_time"]  # microseconds; CPU time, as other work may share the machine
        if aggregate:
            slot[aggregate] = value
        else:  # a single run: both figures are that run
            slot["median"] = value
            slot["min"] = min(value, slot.get("min", value))
    rows_of = lambda size: tuple(int(x) for x in size.split("x"))

    def fmt(us):
        if us is None:
            return "-"
        if us >= 1e6:
            return "%.2f s" % (us / 1e6)
        if us >= 1e3:
            return "%.2f ms" % (us / 1e3)
        return "%.3f us" % us

    print("| shape | speech x subtitles | pair loop median | index median | sweep median "
          "| dispatch median | pair loop/index (min) | pair loop/sweep (min) "
          "| pair loop/dispatch (min) | index/sweep (min) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for (shape, size) in sorted(times, key=lambda k: (k[0], rows_of(k[1]))):
        e = times[(shape, size)]
        get = lambda engine, agg: e.get(engine, {}).get(agg)
        pair_loop_min = get("pair_loop", "min")
        ratio = lambda engine: ("%.1fx" % (pair_loop_min / get(engine, "min"))
                                if pair_loop_min and get(engine, "min") else "-")
        index_min, sweep_min = get("index", "min"), get("sweep", "min")
        print("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            shape, size, fmt(get("pair_loop", "median")), fmt(get("index", "median")),
            fmt(get("sweep", "median")), fmt(get("dispatch", "median")), ratio("index"),
            ratio("sweep"), ratio("dispatch"),
            "%.1fx" % (index_min / sweep_min) if index_min and sweep_min else "-"))

    for scaled in ("realistic", "realistic_shifted"):
        series = sorted((rows_of(size)[0], e["dispatch"]["min"])
                        for (shape, size), e in times.items()
                        if shape == scaled and rows_of(size)[0] == rows_of(size)[1]
                        and rows_of(size)[0] >= 10000 and "dispatch" in e)
        by_n = dict(series)
        print()
        print("| N (%s, N x N) | dispatch min | time(2N) / time(N) |" % scaled)
        print("|---|---|---|")
        for n, t in series:
            prev = by_n.get(n // 2) if n % 2 == 0 else None
            print("| %d | %s | %s |" % (n, fmt(t), "%.2f" % (t / prev) if prev else "-"))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/bench/kernels.json")
