"""The hand-computed cases of match(), from match_cases.txt (which the C++ tests of the pair
loop read too): name, speech rows and subtitle rows in seconds (a test hands the subtitles over
as durations), and the result due, compared bit for bit (NaN matches NaN).

README.md's examples run as they stand (package/test_readme.py).
"""

from pathlib import Path


def _number(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


def _rows(field):
    bounds = [_number(word) for word in field.split()]
    return [bounds[i : i + 2] for i in range(0, len(bounds), 2)]


def _read(path):
    cases = []
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.strip() and not line.startswith("#"):
            name, speech, subtitles, result = (field.strip() for field in line.split("|"))
            cases.append((name, _rows(speech), _rows(subtitles), float(result)))
    return cases


CASES = _read(Path(__file__).with_name("match_cases.txt"))
