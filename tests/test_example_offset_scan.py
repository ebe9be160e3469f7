"""examples/offset_scan.py on its shipped sample and on files it must refuse."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pysubs2", reason="needs the 'examples' extra")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def load(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


offset_scan = load(EXAMPLES / "offset_scan.py")
make_sample = load(EXAMPLES / "sample" / "make_sample.py")


def test_sample_is_what_its_generator_writes(tmp_path):
    make_sample.main(tmp_path)
    for name in ("sample.srt", "sample_speech.json"):
        assert (tmp_path / name).read_bytes() == (EXAMPLES / "sample" / name).read_bytes(), name


def test_command_line_run_on_the_sample_finds_the_known_delay(tmp_path):
    pytest.importorskip("matplotlib", reason="needs the 'examples' extra")
    plot = tmp_path / "curve.png"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "offset_scan.py"), "--plot", str(plot)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    expected = f"best offset: {-make_sample.SUBTITLE_DELAY:+.3f} s"
    assert expected in done.stdout
    # 41 offsets from -10 s to +10 s, one line each.
    assert sum(line.endswith("#") or "<- best" in line for line in done.stdout.splitlines()) == 41
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_fine_scan_settles_on_the_smallest_shift_among_equal_peaks(capsys):
    # Each sample subtitle opens 0.1 s before its speech and closes 0.4 s after it, so every
    # offset from -2.9 s to -2.4 s covers all of it; the least change to the file is reported.
    code = offset_scan.main(["--from", "-3.2", "--to", "-2.2", "--step", "0.1"])
    out = capsys.readouterr().out
    assert code == 0
    assert "best offset: -2.400 s" in out
    full = [line.split()[0] for line in out.splitlines() if " 1.0000 " in line]
    assert full == ["-2.90", "-2.80", "-2.70", "-2.60", "-2.50", "-2.40"]


@pytest.mark.parametrize(
    "srt_text, speech_text, message",
    [
        ("", "[[0, 1]]", "need at least one subtitle"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", "[]", "need at least one subtitle"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", "[[0, 1, 2]]", "item 0 is not a [start, end]"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", '[["0", "1"]]', "item 0 is not a [start, end]"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", "[[5, 1]]", "item 0 is not an interval"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", "[[0, NaN]]", "item 0 is not an interval"),
        ("1\n00:00:01,000 --> 00:00:02,000\nHi\n", '{"a": 1}', "expected a JSON list"),
    ],
)
def test_unusable_input_is_refused_with_a_message(tmp_path, capsys, srt_text, speech_text, message):
    srt = tmp_path / "in.srt"
    speech = tmp_path / "speech.json"
    srt.write_text(srt_text, encoding="utf-8")
    speech.write_text(speech_text, encoding="utf-8")
    assert offset_scan.main([str(srt), str(speech)]) == 1
    err = capsys.readouterr().err
    assert message in err
    # Refused before the scan runs, so no exception from the module.
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "argv",
    [["only.srt"], ["--step", "0"], ["--from", "5", "--to", "-5"]],
)
def test_bad_command_lines_exit_with_usage(argv):
    with pytest.raises(SystemExit) as exit_info:
        offset_scan.parse_args(argv)
    assert exit_info.value.code == 2
