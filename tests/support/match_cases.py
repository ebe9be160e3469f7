"""The hand-computed cases of match(): name, speech rows and subtitle rows in seconds (a test
hands the subtitles over as durations), and the result due, compared bit for bit (NaN matches
NaN).

GoogleTest cannot read this file, so the C++ suite keeps its own cases for the pair loop
(tests/cpp/pair_loop_test.cpp, where a case shared with this table has the same name);
README.md's examples run as they stand (package/test_readme.py).
"""

import math

inf = math.inf
nan = math.nan

CASES = [
    ("subtitle_inside_speech", [[0, 10]], [[2, 5]], 0.3),
    ("overlapping_subtitles_count_twice", [[0, 10]], [[0, 10], [0, 10]], 2.0),
    ("covers_end_then_start", [[0, 10], [20, 30]], [[5, 25]], 0.5),
    ("speech_inside_subtitle", [[0, 10]], [[-5, 15]], 1.0),
    ("touching_adds_nothing", [[0, 10]], [[10, 20]], 0.0),
    ("inverted_speech", [[10, 0]], [[0, 10]], 1.0),
    ("inverted_subtitle_inside", [[0, 10]], [[8, 3]], -0.5),
    ("inverted_subtitle_after", [[0, 10]], [[12, 3]], 0.0),
    ("zero_total_zero_overlap", [[1, 1]], [[0, 2]], nan),
    ("zero_length_row", [[0, 10], [5, 5]], [[0, 10]], 1.0),
    ("nan_speech", [[0, nan]], [[0, 5]], nan),
    ("nan_subtitle_adds_nothing", [[0, 10]], [[nan, 5]], 0.0),
    ("partial_overlaps_sum", [[0, 10]], [[2, 4], [3, 6]], 0.5),
    ("negative_zero_result", [[10, 0]], [[20, 30]], -0.0),
    ("whole_inverted_subtitle", [[0, 10]], [[10, 0]], -1.0),
    ("inf_minus_inf", [[0, inf]], [[inf, inf]], nan),
    # Additions run in row order, which shows in the last bit: of the overlaps, and of the
    # speech total.
    ("row_order_ascending", [[0, 1]], [[0, 0.1], [0, 0.2], [0, 0.3]], 0.6000000000000001),
    ("row_order_descending", [[0, 1]], [[0, 0.3], [0, 0.2], [0, 0.1]], 0.6),
    ("speech_row_order_ascending", [[0, 0.1], [0, 0.2], [0, 0.3]], [[0, 0.15]],
     0.6666666666666666),
    ("speech_row_order_descending", [[0, 0.3], [0, 0.2], [0, 0.1]], [[0, 0.15]],
     0.6666666666666667),
    ("zero_total_positive_overlap", [[0, 10], [10, 0]], [[0, 5]], inf),
    ("zero_total_cancelling_overlap", [[0, 10], [10, 0]], [[0, 10]], nan),
    ("infinite_subtitle_covers_speech", [[0, 10]], [[-inf, inf]], 1.0),
    ("infinite_total", [[-inf, 0]], [[-1, 1]], 0.0),
]
