"""Plain-Python reference of the coverage ratio, rule for rule, used to check the module."""

import math
import struct


def overlap_ratio(base_rows, other_rows, base_total):
    """Summed pairwise overlap over base_total, for rows already converted to floats."""
    matched = 0.0
    for bs, be in base_rows:
        for os_, oe in other_rows:
            if bs > oe:
                continue
            if os_ > be:
                continue
            if os_ <= bs and be <= oe:
                matched = matched + (be - bs)
            elif bs <= os_ and oe <= be:
                matched = matched + (oe - os_)
            elif os_ <= bs and bs <= oe and oe <= be:
                matched = matched + (oe - bs)
            elif bs <= os_ and os_ <= be and be <= oe:
                matched = matched + (be - os_)
    try:
        return matched / base_total
    except ZeroDivisionError:
        # Python refuses what IEEE division defines.
        if matched == 0.0 or math.isnan(matched):
            return math.nan
        return math.copysign(math.inf, matched) * math.copysign(1.0, base_total)


def match(base, other):
    """What match() returns for valid input: numbers in base, timedeltas in other."""
    base_rows = [(float(start), float(end)) for start, end, *_ in base]
    other_rows = [(start.total_seconds(), end.total_seconds()) for start, end, *_ in other]
    base_total = 0.0
    for start, end in base_rows:
        base_total = (end - start) + base_total
    return overlap_ratio(base_rows, other_rows, base_total)


def bits(value):
    """Bit pattern of a float, with every NaN folded into one so that NaN matches NaN."""
    if math.isnan(value):
        return "nan"
    return struct.pack("<d", value).hex()
