"""The speech format: a JSON list of [start, end] pairs in seconds, one per stretch of speech."""

import json
import math
from pathlib import Path
from typing import List, Sequence, Tuple

from corvela.align.input_error import InputError


def read_speech(path: Path) -> List[Tuple[float, float]]:
    try:
        rows = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise InputError(path, "no such file") from None
    except OSError as err:
        raise InputError(path, f"cannot read: {err.strerror or err}") from None
    except (UnicodeDecodeError, ValueError) as err:
        raise InputError(path, f"not a JSON file of [start, end] seconds: {err}") from None
    if not isinstance(rows, list) or not rows:
        raise InputError(path, "expected a non-empty JSON list of [start, end] seconds")
    speech = []
    for n, row in enumerate(rows):
        if not (isinstance(row, list) and len(row) == 2 and all(map(_is_number, row))):
            raise InputError(path, f"row {n} is not a [start, end] pair of numbers: {row!r}")
        start, end = float(row[0]), float(row[1])
        if not (math.isfinite(start) and math.isfinite(end) and start <= end):
            raise InputError(path, f"row {n} is not an interval of finite seconds: {row!r}")
        speech.append((start, end))
    if sum(end - start for start, end in speech) <= 0:
        raise InputError(path, "the intervals hold no speech time")
    return speech


def speech_json(speech: Sequence[Tuple[float, float]]) -> str:
    """The speech format's text; floats as repr, so that they read back to the same bits."""
    rows = ",\n".join(f"  [{start!r}, {end!r}]" for start, end in speech)
    return "[\n" + rows + "\n]\n"


def _is_number(value: object) -> bool:
    # JSON true/false would pass as 1 and 0: a file holding them is not a speech list.
    return isinstance(value, (int, float)) and not isinstance(value, bool)
