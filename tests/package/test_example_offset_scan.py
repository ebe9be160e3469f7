"""examples/offset_scan.py and the shipped sample it shows by default."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from corvela.align.cli import EXTRA_MODULES

for _module in EXTRA_MODULES:
    pytest.importorskip(_module, reason="needs the 'align' extra")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


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


def test_command_line_run_on_the_sample_marks_the_plateau_and_plots(tmp_path):
    pytest.importorskip("matplotlib", reason="needs the 'examples' extra")
    plot = tmp_path / "curve.png"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "offset_scan.py"), "--plot", str(plot)],
        capture_output=True, text=True, check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    rows = [line for line in done.stdout.splitlines() if line.endswith(("#", "plateau", "chosen"))]
    # 19 evenly spaced offsets (less those that would print as a marked one), the plateau's
    # two ends and the chosen offset: a short table.
    assert 20 <= len(rows) <= 22
    chosen = [float(line.split()[0]) for line in rows if line.endswith("<- chosen")]
    assert len(chosen) == 1 and abs(chosen[0] + make_sample.SUBTITLE_DELAY) < 0.1
    full = [line for line in rows if line.endswith(("plateau", "chosen"))]
    assert all(" 1.0000 " in line for line in full)
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("argv", [["only.srt"], ["a.srt", "b.json", "extra"]])
def test_bad_command_lines_exit_with_usage(argv):
    with pytest.raises(SystemExit) as exit_info:
        offset_scan.parse_args(argv)
    assert exit_info.value.code == 2


def test_unreadable_file_is_named_without_a_traceback(tmp_path, capsys):
    assert offset_scan.main([str(tmp_path / "missing.srt"), str(tmp_path / "s.json")]) == 1
    assert capsys.readouterr().err.startswith(f"offset_scan: {tmp_path / 'missing.srt'}: ")
