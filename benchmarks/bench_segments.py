"""The best offset of each subtitle row over +-60 s: best_segments() on a 100-minute film.

    python benchmarks/bench_segments.py [--repeat N]

The film is 1,300 speech rows (floats, bench_match.py's generator, about 100 minutes) and its
own subtitles: one cue per sentence, or two for a sentence over 7 s (about 1,450 cues), each
shown 0-0.25 s before its speech and kept 0.1-0.8 s after it, never past the next sentence,
timed in milliseconds. The cues are then 4.321 s late up to a cut at 40 % of the film and
1.5 s late after it. What is timed is the whole call, from the caller's lists to the answer:

  best_segments(base, other, -60 s, 60 s, P)   for P = 3 s (the figure), 2 s (the command's
                                               default), 1 s, 0 and infinity

and the same for subtitles that belong to another film (bench_match.py's subtitle generator,
1,400 rows): no offset fits them, which is the hardest case for the piece lists. best_offset()
on the same film is shown for scale. Every time is the minimum over repeats with garbage
collection off. The answer on the film is checked first: with P = 3 s, nearly every row (98 %)
within 250 ms of its own lag. (The best score need not put every row at its lag: a lead-in over
the previous sentence moves it, and with P = 1 s a few rows that cover other speech better, by
more than twice the penalty, leave as segments of their own.)
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
from corvela.core.scan import best_offset, best_segments  # noqa: E402

LO, HI = timedelta(seconds=-60), timedelta(seconds=60)
MS = timedelta(milliseconds=1)
CUT = 0.4
LAGS_MS = (4321, 1500)


def own_cues(base, rng):
    """Cues in milliseconds for each sentence: lead-in 0-250 ms, linger 100-800 ms."""
    cues = []
    for k, (start, end) in enumerate(base):
        limit = base[k + 1][0] if k + 1 < len(base) else end + 1.0
        first = start - rng.uniform(0.0, 0.25)
        last = min(end + rng.uniform(0.1, 0.8), limit - 0.05)
        if end - start > 7.0:
            middle = (start + end) / 2
            cues.append((round(first * 1000), round(middle * 1000)))
            cues.append((round(middle * 1000) + 40, round(last * 1000)))
        else:
            cues.append((round(first * 1000), round(last * 1000)))
    return cues


def film(seed):
    rng = Rng(seed)
    base = speech_rows(1300, rng)
    cues = own_cues(base, rng)
    cut = round(len(cues) * CUT)
    other = [[timedelta(milliseconds=s + LAGS_MS[k >= cut]),
              timedelta(milliseconds=e + LAGS_MS[k >= cut])] for k, (s, e) in enumerate(cues)]
    return base, other, cut


def stranger(seed, rows):
    rng = Rng(seed)
    return [[timedelta(milliseconds=s), timedelta(milliseconds=e)]
            for s, e in subtitle_ms(rows, rng)]


def fmt(seconds):
    return f"{seconds * 1e3:,.1f} ms"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args(argv)

    base, other, cut = film(20261209)
    got = best_segments(base, other, LO, HI, 3.0)
    spans = [(a, b) for a, b, _, _ in got.segments]
    lags = [offset / MS for _, _, offset, _ in got.segments]
    near = sum(abs(offset / MS + LAGS_MS[k >= cut]) <= 250 for k, offset in enumerate(got.offsets))
    if near < 0.98 * len(other):
        sys.exit(f"best_segments missed the lags: {spans} at {lags} ms")
    foreign = stranger(20261210, len(other))

    cases = [
        ("film, penalty 3 s", lambda: best_segments(base, other, LO, HI, 3.0)),
        ("film, penalty 2 s (the command's)", lambda: best_segments(base, other, LO, HI, 2.0)),
        ("film, penalty 1 s", lambda: best_segments(base, other, LO, HI, 1.0)),
        ("film, penalty 0", lambda: best_segments(base, other, LO, HI, 0.0)),
        ("film, penalty infinite", lambda: best_segments(base, other, LO, HI, float("inf"))),
        ("other film's subtitles, penalty 3 s",
         lambda: best_segments(base, foreign, LO, HI, 3.0)),
        ("film, best_offset", lambda: best_offset(base, other, LO, HI)),
    ]
    gc.disable()
    try:
        times = [(label, best_time(fn, args.repeat)) for label, fn in cases]
    finally:
        gc.enable()

    print(f"CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.2f}, {args.repeat} repeats")
    print(f"{len(base):,} speech rows ({base[-1][1] / 60:.0f} min), {len(other):,} subtitle "
          f"rows, +-60 s; segments found with P = 3 s: "
          + ", ".join(f"{a}-{b} at {lag:+,.3f} ms" for (a, b), lag in zip(spans, lags))
          + f" (made: 0-{cut - 1} at {-LAGS_MS[0]:+,} ms, the rest at {-LAGS_MS[1]:+,} ms)")
    print("| call | time |")
    print("|---|---:|")
    for label, seconds in times:
        print(f"| {label} | {fmt(seconds)} |")


if __name__ == "__main__":
    main()
