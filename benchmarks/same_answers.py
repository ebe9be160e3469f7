"""Whether two builds give the same best_offset and best_segments answers, field by field.

    PYTHONPATH=<this build> python benchmarks/same_answers.py --previous DIR [--cases N] [--seed S]

Random tables in each build, in a child process of its own: speech rows of a film (some
zero-length, inverted or long), its subtitles late by up to 400 s with a fifth of them lost,
searched over +-1 s to +-2000 s at factor 1 or the seven FRAME_RATE_FACTORS, with and without
factor evidence; best_segments (penalty 2 s) on the smaller tables over the same ranges. Every field is
compared, floats by their bits; the cases that differ are printed and the exit status is 1.
"""

import argparse
import json
import os
import random
import subprocess
import sys
from datetime import timedelta


def tables(rng):
    t = 0.0
    base = []
    for _ in range(rng.choice([5, 40, 300, 1500])):
        t += rng.uniform(0.1, 5.0)
        odd = rng.random() < 0.1
        length = rng.choice([rng.uniform(0.2, 6.0), 0.0, -0.5]) if odd else rng.uniform(0.2, 6.0)
        base.append([t, t + length])
    late = rng.uniform(-400.0, 400.0)
    other = []
    for start, end in base:
        if rng.random() < 0.2:
            continue
        a = start + late + rng.uniform(-0.3, 0.1)
        b = a + rng.uniform(20.0, 90.0) if rng.random() < 0.05 else end + late + rng.uniform(0.0, 0.8)
        other.append([timedelta(milliseconds=round(a * 1000)), timedelta(milliseconds=round(b * 1000))])
    return base, other


def fields(answer):
    return [value.hex() if isinstance(value, float) else repr(value) for value in answer]


def child(cases, seed):
    from corvela.core.scan import FRAME_RATE_FACTORS, best_offset, best_segments

    rng = random.Random(seed)
    out = []
    for _ in range(cases):
        base, other = tables(rng)
        reach = timedelta(seconds=rng.choice([1, 10, 60, 600, 2000]))
        factors = rng.choice([(1.0,), tuple(FRAME_RATE_FACTORS)])
        evidence = rng.random() < 0.5
        if not other:
            continue
        found = best_offset(base, other, -reach, reach, factors=factors, factor_evidence=evidence)
        got = {"best_offset": fields(found) + fields([found.chance_gain])}
        if len(base) <= 300:
            split = best_segments(base, other, -reach, reach, 2.0)
            got["best_segments"] = [repr(split.offsets), repr(split.segments), split.score.hex()]
        out.append(got)
    json.dump(out, sys.stdout)


def run(path, cases, seed):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    done = subprocess.run([sys.executable, __file__, "--child", "--cases", str(cases), "--seed",
                           str(seed)], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--previous", help="folder holding an earlier build's corvela package")
    parser.add_argument("--cases", type=int, default=300)
    parser.add_argument("--seed", type=int, default=12)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.cases, args.seed)
        return 0
    now = run(None, args.cases, args.seed)
    before = run(args.previous, args.cases, args.seed)
    differ = [(k, a, b) for k, (a, b) in enumerate(zip(now, before)) if a != b]
    for k, a, b in differ:
        print(f"case {k}:\n  now    {a}\n  before {b}")
    print(f"{len(now)} cases, {sum('best_segments' in a for a in now)} with best_segments: "
          f"{len(differ)} differ")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
