"""Coverage-guided fuzzing of match() with random nested inputs (atheris).

Each input is decoded into `base` and `other`: lists (sometimes None or an empty list, rarely
another type) of rows that are lists, tuples, dicts, strings, numbers or hostile objects, holding
numbers of every kind, strings, None, timedelta extremes and subclasses, and objects whose
dunders raise, return the wrong type, or change base, other or their own row.

Checked on every call:
  - a float comes back and no exception escapes (apart from the entry's own TypeError for an
    argument that is not a list or None);
  - at most one failure is reported, and a reported failure returns +0.0;
  - when the input holds only plain data: the result equals the oracle's bit for bit when the
    oracle accepts the input, and is a reported failure (0.0) when the oracle refuses it.

Run: python fuzz/fuzz_match.py [libFuzzer flags, e.g. -max_total_time=120] [corpus dirs]
Reproduce a crash file: python fuzz/fuzz_match.py crash-<hash>
"""

import gc
import math
import os
import sys
import warnings
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction

import atheris

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import oracle

from corvela.core.algo import match

FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 5e-324, -5e-324, 1e300, 1.7976931348623157e308,
          math.inf, -math.inf, math.nan, -math.nan, 2.0**53, 2.0**53 + 2, 0.1, 1 / 3]
INTS = [0, 1, -1, 2**53 + 1, -(2**63), 2**64, 10**308, 2**1023 * 3 // 2, 2**1024, -(10**400)]
DELTAS = [timedelta.min, timedelta.max, timedelta.resolution, -timedelta.resolution,
          timedelta(0), timedelta(days=-1), timedelta(days=106751, seconds=1),
          timedelta(seconds=1.5)]
# Around 2**53 microseconds a double stops holding every count exactly.
DELTAS += [timedelta(microseconds=2**53 + d) for d in (-1, 0, 1, 2)]
DELTAS += [-d for d in DELTAS[-4:]]
EXCEPTIONS = [ValueError, TypeError, ZeroDivisionError, KeyboardInterrupt, MemoryError,
              IndexError, KeyError, StopIteration, ArithmeticError, OverflowError, GeneratorExit]


class FloatSub(float):
    pass


class IntSub(int):
    pass


class PlainDelta(timedelta):
    pass


class DoubledDelta(timedelta):
    """A deterministic override: the oracle calls it exactly as match() does."""

    def total_seconds(self):
        return 2 * super().total_seconds()


class UnprintableError(Exception):
    """An exception that even the report cannot turn into text."""

    def __str__(self):
        raise RuntimeError("no text")


class Hostile:
    """User code for one dunder: run `actions`, then return `outcome` or raise it."""

    def __init__(self, actions, outcome):
        self.actions, self.outcome = actions, outcome

    def _run(self):
        for action in self.actions:
            action()
        return self._answer()

    def _answer(self):
        outcome = self.outcome
        if isinstance(outcome, str) and outcome == "recurse":
            return self._answer()
        if isinstance(outcome, type) and issubclass(outcome, BaseException):
            raise outcome("hostile")
        return outcome


class HostileFloat(Hostile):
    def __float__(self):
        return self._run()


class HostileIndex(Hostile):
    def __index__(self):
        return self._run()


class HostileDuration(Hostile):
    def total_seconds(self):
        return self._run()


class HostileRow(Hostile):
    def __getitem__(self, k):
        return self._run()[k]


class HostileFinaliser(Hostile):
    """Gives a plain value, then runs its actions when match() lets go of it."""

    def __float__(self):
        return self.outcome

    def total_seconds(self):
        return self.outcome

    def __del__(self):
        try:
            for action in self.actions:
                action()
        except Exception:
            pass


class Decoder:
    """Turns fuzz bytes into match() arguments, noting whether any user code is involved."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        # Half the inputs hold only well-formed rows of numbers and durations, so that the
        # comparison with the oracle gets its share; a quarter adds odd values, a quarter
        # user code.
        self.mode = ("clean", "clean", "odd", "hostile")[self.fdp.ConsumeIntInRange(0, 3)]
        self.hostile = False
        self.base = []
        self.other = []
        self.depth = 0

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    # --- plain values -----------------------------------------------------------------------

    def number(self):
        kind = self.pick(9)
        if kind == 0:
            return FLOATS[self.pick(len(FLOATS))]
        if kind == 1:
            return self.fdp.ConsumeFloat()
        if kind == 2:
            return self.fdp.ConsumeIntInRange(-1000, 1000)
        if kind == 3:
            return INTS[self.pick(len(INTS))]
        if kind == 4:
            return self.fdp.ConsumeBool()
        if kind == 5:
            return Fraction(self.fdp.ConsumeInt(4), self.fdp.ConsumeIntInRange(1, 2**20))
        if kind == 6:
            text = ["NaN", "-Infinity", "sNaN", "1e400", "-0", "0.1", "123456789.123456789"]
            return Decimal(text[self.pick(len(text))])
        if kind == 7:
            return FloatSub(self.fdp.ConsumeFloat())
        return IntSub(self.fdp.ConsumeInt(2))

    def duration(self):
        kind = self.pick(5)
        if kind == 0:
            return DELTAS[self.pick(len(DELTAS))]
        if kind == 2:
            # Either side of 2**53 microseconds, in exact timedeltas.
            return timedelta(microseconds=self.fdp.ConsumeIntInRange(-2**54, 2**54))
        if kind == 1:
            try:
                made = timedelta(days=self.fdp.ConsumeIntInRange(-999999999, 999999999),
                                 seconds=self.fdp.ConsumeIntInRange(-10**6, 10**6),
                                 microseconds=self.fdp.ConsumeInt(4))
            except OverflowError:
                made = timedelta.max
            return made
        cls = PlainDelta if kind == 3 else DoubledDelta
        return cls(microseconds=self.fdp.ConsumeIntInRange(-10**15, 10**15))

    def oddity(self):
        kind = self.pick(6)
        return [None, "1.5", b"2.5", "", complex(1, 0), object()][kind]

    # --- hostile values ---------------------------------------------------------------------

    def actions(self):
        """What user code does to the inputs before answering."""
        made = []
        for _ in range(self.pick(3)):
            target = [self.base, self.other][self.pick(2)]
            kind = self.pick(10)
            index = self.fdp.ConsumeIntInRange(-3, 5)
            if kind == 0:
                made.append(target.clear)
            elif kind == 1:
                made.append(lambda t=target: t and t.pop())
            elif kind == 2:
                made.append(lambda t=target: t and t.pop(0))
            elif kind == 3:
                row = self.plain_row(target is self.other)
                made.append(lambda t=target, r=row: t.append(r))
            elif kind == 4:
                row = self.plain_row(target is self.other) if self.fdp.ConsumeBool() else None
                made.append(lambda t=target, i=index, r=row: i < len(t) and t.__setitem__(i, r))
            elif kind == 5:
                made.append(lambda t=target, i=index: t.__delitem__(slice(max(i, 0), None)))
            elif kind == 6:
                rows = [self.plain_row(target is self.other) for _ in range(self.pick(4))]
                made.append(lambda t=target, r=rows: t.extend(r * 8))
            elif kind == 7:
                made.append(lambda t=target: t.reverse())
            elif kind == 8:
                # Empties a row in place (the row being read, perhaps).
                made.append(lambda t=target, i=index: -len(t) <= i < len(t)
                            and isinstance(t[i], list) and t[i].clear())
            else:
                made.append(gc.collect)
        return made

    def outcome(self, for_duration):
        kind = self.pick(6)
        if kind == 0:
            return EXCEPTIONS[self.pick(len(EXCEPTIONS))]
        if kind == 1:
            return [UnprintableError, "recurse"][self.pick(2)]
        if kind == 2:
            return ["1.0", None, 1, FloatSub(2.5), True, [1.0]][self.pick(6)]
        if kind == 3 and for_duration:
            return self.number()
        return self.fdp.ConsumeFloat() if not for_duration else self.duration().total_seconds()

    def hostile_value(self, for_duration):
        self.hostile = True
        kind = self.pick(4)
        if kind == 0:
            return HostileFinaliser(self.actions(), self.number())
        if for_duration:
            return HostileDuration(self.actions(), self.outcome(True))
        if kind == 1:
            outcome = self.outcome(False)
            if isinstance(outcome, float):
                outcome = self.fdp.ConsumeInt(2)
            return HostileIndex(self.actions(), outcome)
        return HostileFloat(self.actions(), self.outcome(False))

    # --- rows -------------------------------------------------------------------------------

    def item(self, for_duration):
        if self.mode == "clean":
            return self.duration() if for_duration else self.number()
        kind = self.pick(16)
        if kind == 0 and self.mode == "odd":
            kind = 1
        if kind == 0:
            return self.hostile_value(for_duration)
        if kind == 1:
            return self.oddity()
        if kind == 2 and self.depth < 3:
            return self.row(for_duration)
        if kind == 3:
            # A number where a duration is due, or the other way round.
            return self.duration() if not for_duration else self.number()
        return self.duration() if for_duration else self.number()

    def plain_row(self, for_duration):
        make = self.duration if for_duration else self.number
        pair = [make(), make()]
        return pair if self.fdp.ConsumeBool() else tuple(pair)

    def row(self, for_duration):
        self.depth += 1
        try:
            kind = self.pick(12)
            size = 2 if self.pick(5) else self.pick(4)
            if self.mode == "clean":
                kind, size = kind % 10, max(size, 2)
            elif kind == 10 and self.mode == "odd":
                kind = 11
            items = [self.item(for_duration) for _ in range(size)]
            if kind < 5:
                return items
            if kind < 9:
                return tuple(items)
            if kind == 9:
                return dict(enumerate(items))
            if kind == 10:
                self.hostile = True
                return HostileRow(self.actions(), items)
            return self.item(for_duration)
        finally:
            self.depth -= 1

    def argument(self, target, for_duration):
        kind = self.pick(24)
        if kind == 0:
            return None
        if kind == 1:
            return (target,)  # the entry refuses anything but a list or None
        for _ in range(self.pick(9) if kind > 2 else 0):
            target.append(self.row(for_duration))
        return target


def plain_expectation(base, other):
    """For inputs without user code: the oracle's bits, or None when match() must fail."""
    def pairs(rows, for_duration):
        out = []
        for row in rows:
            if type(row) not in (list, tuple, dict, bytes):
                return None
            try:
                pair = (row[0], row[1])
            except (IndexError, KeyError):
                return None
            for value in pair:
                # float() parses text and oracle.match would let it through; match() does not.
                if not for_duration and isinstance(value, (str, bytes, bytearray)):
                    return None
            out.append(pair)
        return out

    if not (isinstance(base, list) and isinstance(other, list) and base and other):
        return None
    base_pairs, other_pairs = pairs(base, False), pairs(other, True)
    if base_pairs is None or other_pairs is None:
        return None
    try:
        return oracle.bits(oracle.match(base_pairs, other_pairs))
    except Exception:
        return None


class Reports:
    def __init__(self):
        self.count = 0

    def __call__(self, unraisable):
        self.count += 1


def test_one_input(data):
    decoder = Decoder(data)
    base = decoder.argument(decoder.base, False)
    other = decoder.argument(decoder.other, True)
    plain = not decoder.hostile
    due = plain_expectation(base, other) if plain else None
    wrong_type = type(base) not in (list, type(None)) or type(other) not in (list, type(None))

    reports = Reports()
    sys.unraisablehook = reports
    sys.stderr = DEVNULL
    try:
        result = match(base, other)
    except TypeError as exc:
        if not wrong_type or "has incorrect type" not in str(exc):
            raise
        return
    finally:
        sys.unraisablehook = sys.__unraisablehook__
        sys.stderr = sys.__stderr__
    if wrong_type:
        raise AssertionError("a tuple argument was accepted")
    if type(result) is not float:
        raise AssertionError("match() returned %r" % (result,))
    if reports.count > 1:
        raise AssertionError("%d reports for one call" % reports.count)
    if reports.count == 1 and oracle.bits(result) != oracle.bits(0.0):
        raise AssertionError("a reported failure returned %r" % result)
    if plain:
        if due is None and reports.count != 1:
            raise AssertionError("invalid input gave %r without a report" % result)
        if due is not None and (reports.count or oracle.bits(result) != due):
            raise AssertionError("result %s, oracle %s, reports %d"
                                 % (oracle.bits(result), due, reports.count))


class Discard:
    """Where the failure reports of millions of calls go; a finding of the harness itself is
    still printed on the real stderr."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


DEVNULL = Discard()


def main():
    warnings.simplefilter("error")
    # Coverage of the decoder and the oracle guides the fuzzer towards new input shapes and
    # towards every rule of the overlap chain; the module itself is not instrumented.
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
