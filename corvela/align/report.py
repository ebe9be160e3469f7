"""What the command tells the user about the alignment it found: the same fields as text or
as JSON, and the warnings that say when not to trust it."""

import json
from datetime import timedelta
from typing import Any, Dict, List, Optional

from corvela.core.scan import BestOffset

# The rule for a result in doubt (exit status 3). Below this lead of the best offset's coverage
# over the runner-up's (a share of the speech time), another offset at least the separation
# away explains the speech nearly as well.
SMALL_MARGIN = 0.05
# Below this coverage the subtitles hardly meet the speech at any offset tried: another film,
# another cut, or an offset outside the range.
LOW_COVERAGE = 0.60
ADVICE = ("try a wider range with --from/--to, check that the files belong together, "
          "or write the result anyway with --force")


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


def summary(found: BestOffset, lo: timedelta, hi: timedelta, before_zero: int,
            inverted: int = 0, captions: int = 0) -> Dict[str, Any]:
    margin = margin_of(found)
    warnings: List[str] = []
    if before_zero:
        warnings.append(f"{before_zero} subtitle(s) would start before 0:00 and start at 0:00")
    if inverted:
        warnings.append(f"{inverted} cue(s) end before they start: left out of the weighing "
                        "and shifted with the rest")
    return {
        "offset": seconds(found.offset),
        "factor": found.factor,
        "coverage": found.coverage,
        "plateau_start": seconds(found.plateau_start),
        "plateau_end": seconds(found.plateau_end),
        "runner_up_offset": seconds(found.runner_up_offset),
        "runner_up_coverage": found.runner_up_coverage,
        "margin": margin,
        "captions_left_out": captions,
        "warnings": warnings,
    }


def as_json(fields: Dict[str, Any]) -> str:
    # Floats print as repr, so the coverage read back is best_offset's to the last bit.
    return json.dumps(fields, indent=2)


def as_text(fields: Dict[str, Any]) -> str:
    """The fields but the warnings, which go to the error stream."""
    drift = "" if fields["factor"] == 1.0 else f", times scaled by {fields['factor']!r}"
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
