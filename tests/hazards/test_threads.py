"""match() called from several threads while others change shared inputs.

Other threads run only while match() is back in Python code (a conversion, total_seconds, a
report), so every item here has Python-level conversions that yield the interpreter lock. Calls
on unshared inputs must still give the oracle's result; calls on the inputs being changed must
return a float and never crash. Runs in a child interpreter for about three seconds.
"""

import json

from isolated import describe, run_python

CHILD = r"""
import json, random, sys, threading, time
from datetime import timedelta
from corvela.core.algo import match
import oracle

DEADLINE = time.monotonic() + float(sys.argv[1])
sys.setswitchinterval(1e-5)
sys.unraisablehook = lambda unraisable: None


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


sys.stderr = Discard()


class Yielding:
    # __float__ that gives the other threads a turn.
    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingDelta(timedelta):
    def total_seconds(self):
        time.sleep(0)
        return super().total_seconds()


shared_base = [[Yielding(0.0), 4.0]]
shared_other = [[YieldingDelta(seconds=1), timedelta(seconds=3)]]


class Meddling:
    # __float__ that changes the shared inputs, then yields.
    def __init__(self, value, rng):
        self.value, self.rng = value, rng

    def __float__(self):
        meddle(self.rng)
        time.sleep(0)
        return self.value


def fresh_base(rng):
    return [[Meddling(rng.random(), rng), Yielding(rng.random() * 10)]
            for _ in range(rng.randrange(1, 6))]


def fresh_other(rng):
    return [(YieldingDelta(microseconds=rng.randrange(10**7)),
             timedelta(microseconds=rng.randrange(10**7))) for _ in range(rng.randrange(1, 6))]


def meddle(rng):
    target = rng.choice([shared_base, shared_other])
    fresh = fresh_base if target is shared_base else fresh_other
    kind = rng.randrange(5)
    try:
        if kind == 0:
            target.clear()
        elif kind == 1:
            target[:] = fresh(rng)
        elif kind == 2:
            target.pop(rng.randrange(len(target)))
        elif kind == 3:
            target.extend(fresh(rng))
            del target[8:]
        else:
            target[rng.randrange(len(target))] = fresh(rng)[0]
    except (IndexError, ValueError):
        pass  # another thread emptied the list between our look and our change


errors = []
counts = {"unshared": 0, "shared": 0, "shared_nonzero": 0, "mutations": 0}


def guarded(fn):
    def run(seed):
        try:
            fn(random.Random(seed))
        except BaseException as exc:
            errors.append("%s: %r" % (fn.__name__, exc))
    return run


@guarded
def unshared(rng):
    while time.monotonic() < DEADLINE:
        values = [[rng.uniform(-5, 20), rng.uniform(-5, 20)] for _ in range(rng.randrange(1, 6))]
        spans = [[rng.randrange(-10**7, 3 * 10**7), rng.randrange(-10**7, 3 * 10**7)]
                 for _ in range(rng.randrange(1, 6))]
        base = [[Yielding(a), Yielding(b)] for a, b in values]
        other = [(YieldingDelta(microseconds=a), YieldingDelta(microseconds=b)) for a, b in spans]
        due = oracle.bits(oracle.match(values, [(timedelta(microseconds=a),
                                                 timedelta(microseconds=b)) for a, b in spans]))
        got = match(base, other)
        if oracle.bits(got) != due:
            errors.append("unshared: %s != %s" % (oracle.bits(got), due))
        counts["unshared"] += 1


@guarded
def shared(rng):
    while time.monotonic() < DEADLINE:
        # Refilled when emptied, so that most calls get as far as the conversions.
        if len(shared_base) < 2:
            shared_base.extend(fresh_base(rng))
        if len(shared_other) < 2:
            shared_other.extend(fresh_other(rng))
        got = match(shared_base, shared_other)
        if type(got) is not float:
            errors.append("shared: %r" % (got,))
        counts["shared"] += 1
        counts["shared_nonzero"] += got != 0.0


@guarded
def mutator(rng):
    while time.monotonic() < DEADLINE:
        meddle(rng)
        counts["mutations"] += 1
        time.sleep(0)


threads = [threading.Thread(target=fn, args=(seed,))
           for seed, fn in enumerate([unshared, unshared, shared, shared, shared, mutator,
                                      mutator])]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps({"errors": errors, "counts": counts}))
"""


def test_threads_calling_and_mutating():
    proc = run_python(CHILD, "3")
    assert proc.returncode == 0, describe(proc)
    outcome = json.loads(proc.stdout.splitlines()[-1])
    assert outcome["errors"] == []
    # Each kind of thread got a fair number of turns.
    assert min(outcome["counts"].values()) > 20, outcome
