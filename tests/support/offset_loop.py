"""The per-offset loop of match() that coverage() stands in for, and both as bit patterns."""

import struct

from corvela.core.algo import match
from corvela.core.scan import coverage


def shifted(other, offset):
    return [[row[0] + offset, row[1] + offset] for row in other]


def exact_bits(value):
    """Every bit, a NaN's sign and payload included: coverage promises match's bits."""
    return struct.pack("<d", value).hex()


def loop_bits(base, other, offsets):
    return [exact_bits(match(base, shifted(other, offset))) for offset in offsets]


def scan_bits(base, other, offsets):
    return [exact_bits(value) for value in coverage(base, other, offsets)]
