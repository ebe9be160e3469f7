"""What the command tells the user about the alignment it found: the same fields as text or
as JSON, and the warnings that say when not to trust it."""

import json
from datetime import timedelta
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from corvela.core.scan import BestOffset

if TYPE_CHECKING:
    from corvela.align.segments import Segment

# The rule for a result in doubt (exit status 3). Below this lead of the best offset's coverage
# over the runner-up's (a share of the speech time), another offset at least the separation
# away explains the speech nearly as well.
SMALL_MARGIN = 0.05
# Below this coverage the subtitles hardly meet the speech at any offset tried: another film,
# another cut, or an offset outside the range.
LOW_COVERAGE = 0.60
ADVICE = ("check that the files belong together, search around the offset you expect with "
          "--from/--to (or widen a range you gave), or write the result anyway with --force")


def seconds(value: Optional[timedelta]) -> Optional[float]:
    return None if value is None else value.total_seconds()


def margin_of(found: BestOffset) -> Optional[float]:
    if found.runner_up_coverage is None:
        return None
    # A tie within best_offset's tolerance may leave the runner-up a hair above.
    return max(found.coverage - found.runner_up_coverage, 0.0)


def doubts(found: BestOffset, lo: timedelta, hi: timedelta) -> List[str]:
    """Why the offset found cannot be trusted; empty when it can."""
    found_doubts = []
    if found.coverage < LOW_COVERAGE:
        found_doubts.append(f"the subtitles cover {found.coverage:.1%} of the speech at best "
                            f"(below {LOW_COVERAGE:.0%})")
    margin = margin_of(found)
    if margin is not None and margin < SMALL_MARGIN:
        found_doubts.append(
            f"the runner-up at {seconds(found.runner_up_offset):+.3f} s covers only "
            f"{margin:.1%} less of the speech (below {SMALL_MARGIN:.0%})")
    if found.plateau_start == lo or found.plateau_end == hi:
        found_doubts.append("the best offsets reach the end of the search range "
                            f"({seconds(lo):+g} s to {seconds(hi):+g} s)")
    return found_doubts


def notes(before_zero: int, inverted: int) -> List[str]:
    warnings: List[str] = []
    if before_zero:
        warnings.append(f"{before_zero} subtitle(s) would start before 0:00 and start at 0:00")
    if inverted:
        warnings.append(f"{inverted} cue(s) end before they start: left out of the weighing "
                        "and shifted with the rest")
    return warnings


def segment_fields(part: "Segment") -> Dict[str, Any]:
    return {
        "first_cue": part.first,
        "last_cue": part.last,
        "cues": len(part.cues),
        "start": seconds(part.start),
        "end": seconds(part.end),
        "offset": seconds(part.offset),
        "coverage": part.coverage,
        "doubts": part.doubts,
    }


def cue_range(part: "Segment") -> str:
    return f"{part.first}-{part.last}"


def summary(found: BestOffset, lo: timedelta, hi: timedelta, before_zero: int,
            inverted: int = 0, captions: int = 0,
            whole: Optional["Segment"] = None) -> Dict[str, Any]:
    """The fields of one offset for the whole file."""
    return {
        "offset": seconds(found.offset),
        "factor": found.factor,
        "coverage": found.coverage,
        "plateau_start": seconds(found.plateau_start),
        "plateau_end": seconds(found.plateau_end),
        "runner_up_offset": seconds(found.runner_up_offset),
        "runner_up_coverage": found.runner_up_coverage,
        "margin": margin_of(found),
        "segments": [] if whole is None else [segment_fields(whole)],
        "captions_left_out": captions,
        "warnings": notes(before_zero, inverted),
    }


def split_summary(factor: float, coverage: float, parts: List["Segment"], before_zero: int,
                  inverted: int, captions: int) -> Dict[str, Any]:
    """The fields of a file split into segments: no one offset, plateau or runner-up, and the
    coverage of the whole corrected file."""
    warnings = notes(before_zero, inverted)
    for part in parts:
        if part.coverage == 0.0:
            warnings.append(f"cues {cue_range(part)} cover no speech at any offset the search "
                            "found for them (lines of a scene this film lacks?): shifted by "
                            f"{part.offset.total_seconds():+.3f} s, between their neighbours")
    return {
        "offset": None,
        "factor": factor,
        "coverage": coverage,
        "plateau_start": None,
        "plateau_end": None,
        "runner_up_offset": None,
        "runner_up_coverage": None,
        "margin": None,
        "segments": [segment_fields(part) for part in parts],
        "captions_left_out": captions,
        "warnings": warnings,
    }


def as_json(fields: Dict[str, Any]) -> str:
    # Floats print as repr, so the coverage read back is best_offset's to the last bit.
    return json.dumps(fields, indent=2)


def as_text(fields: Dict[str, Any]) -> str:
    """The fields but the warnings, which go to the error stream."""
    drift = "" if fields["factor"] == 1.0 else f", times scaled by {fields['factor']!r}"
    if fields["offset"] is None:
        lines = [f"segments: {len(fields['segments'])}, each with its own offset{drift}"]
        for n, part in enumerate(fields["segments"], 1):
            lines.append(f"  {n}: cues {part['first_cue']}-{part['last_cue']} "
                         f"({part['cues']}), {clock(part['start'])} to {clock(part['end'])}, "
                         f"offset {part['offset']:+.3f} s, coverage {part['coverage']:.1%}")
        lines.append(f"coverage: {fields['coverage']:.1%} of the speech time")
    else:
        lines = [
            f"offset:   {fields['offset']:+.3f} s{drift}",
            f"coverage: {fields['coverage']:.1%} of the speech time",
            f"plateau:  {fields['plateau_start']:+.3f} s to {fields['plateau_end']:+.3f} s",
        ]
        if fields["margin"] is None:
            lines.append("margin:   no other offset in range to compare")
        else:
            lines.append(f"margin:   {fields['margin']:.1%} over the runner-up at "
                         f"{fields['runner_up_offset']:+.3f} s")
    if fields["captions_left_out"]:
        lines.append(f"left out: {fields['captions_left_out']} caption(s) of sounds or music, "
                     "shifted with the rest")
    if fields.get("output"):
        lines.append(f"written:  {fields['output']}")
    return "\n".join(lines)


def clock(value: float) -> str:
    """Seconds as h:mm:ss.s."""
    sign = "-" if value < 0 else ""
    tenths = round(abs(value) * 10)
    return (f"{sign}{tenths // 36000}:{tenths // 600 % 60:02d}:{tenths // 10 % 60:02d}."
            f"{tenths % 10}")
