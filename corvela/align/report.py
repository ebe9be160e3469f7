"""What the command tells the user about the alignment it found: the same fields as text or
as JSON, and the warnings that say when not to trust it."""

import json
from datetime import timedelta
from typing import Any, Dict, List, Optional

from corvela.core.scan import BestOffset

# Below this lead of the best offset's coverage over the runner-up's (a share of the speech
# time), another offset at least the separation away explains the speech nearly as well.
SMALL_MARGIN = 0.05


def seconds(value: Optional[timedelta]) -> Optional[float]:
    return None if value is None else value.total_seconds()


def summary(found: BestOffset, lo: timedelta, hi: timedelta, before_zero: int) -> Dict[str, Any]:
    margin = (None if found.runner_up_coverage is None
              else found.coverage - found.runner_up_coverage)
    warnings: List[str] = []
    if margin is not None and margin < SMALL_MARGIN:
        warnings.append(
            f"small margin: the runner-up at {seconds(found.runner_up_offset):+.3f} s "
            f"covers {margin:.1%} less of the speech (below {SMALL_MARGIN:.0%}); "
            "the offset may be wrong")
    if found.plateau_start == lo or found.plateau_end == hi:
        warnings.append("the best offsets reach the end of the search range; "
                        "widen it with --from/--to")
    if before_zero:
        warnings.append(f"{before_zero} subtitle(s) would start before 0:00 and start at 0:00")
    return {
        "offset": seconds(found.offset),
        "factor": found.factor,
        "coverage": found.coverage,
        "plateau_start": seconds(found.plateau_start),
        "plateau_end": seconds(found.plateau_end),
        "runner_up_offset": seconds(found.runner_up_offset),
        "runner_up_coverage": found.runner_up_coverage,
        "margin": margin,
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
    return "\n".join(lines)
