"""corvela-align's reading, retiming and reporting, on small files made here."""

import json
import os
import random
import signal
import subprocess
import sys
import time
import wave
from datetime import timedelta
from pathlib import Path

import pytest

from corvela.align.cli import EXTRA_MODULES

for _module in EXTRA_MODULES:
    pytest.importorskip(_module, reason="needs the 'align' extra")

import pysubs2  # noqa: E402
from films import sentence_film, undoes  # noqa: E402

from corvela.align import cli  # noqa: E402
from corvela.align.command import run  # noqa: E402
from corvela.align.subtitle_file import corrected_ms, is_sound_caption  # noqa: E402
from corvela.core.algo import match  # noqa: E402

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample"
SRT = "1\n00:00:01,000 --> 00:00:02,000\nHi\n"


def aligned(capsys, *argv):
    assert run([*map(str, argv), "--json"]) == 0
    return json.loads(capsys.readouterr().out)


def bits(value):
    return None if value is None else float(value).hex()


@pytest.mark.parametrize("scale, shift_ms", [(1.0, 0), (1.001, 1800), (25 / 24, 4200)])
def test_reported_coverage_is_match_on_the_corrected_times(tmp_path, capsys, scale, shift_ms):
    subs = pysubs2.load(str(SAMPLE / "sample.srt"))
    for event in subs:
        event.start, event.end = (round(t * scale) + shift_ms for t in (event.start, event.end))
    wrong = tmp_path / "wrong.srt"
    subs.save(str(wrong))
    speech = json.loads((SAMPLE / "sample_speech.json").read_text())
    out = tmp_path / "fixed.srt"
    fields = aligned(capsys, wrong, SAMPLE / "sample_speech.json", "-o", out)

    factor = fields["factor"]
    shown = [(timedelta(milliseconds=e.start), timedelta(milliseconds=e.end)) for e in subs]
    for offset, value in [(fields["offset"], fields["coverage"]),
                          (fields["runner_up_offset"], fields["runner_up_coverage"])]:
        shift = timedelta(seconds=offset)
        moved = [[s * factor + shift, e * factor + shift] for s, e in shown]
        assert bits(value) == bits(match(speech, moved))
    assert fields["coverage"] == 1.0 and fields["warnings"] == []
    # The drift the file was made with is undone by the frame-rate factor nearest to it.
    assert abs(factor * scale - 1) < 1e-3
    fixed = pysubs2.load(str(out))
    shift = timedelta(seconds=fields["offset"])
    assert [e.start for e in fixed] == [corrected_ms(e.start, factor, shift) for e in subs]


@pytest.mark.parametrize(
    "ms, factor, offset_us, expected",
    [
        (1000, 1.0, -3_700_000, -2700),
        (1000, 1.0, 499, 1000),  # 1000.499 ms
        (1000, 1.0, 500, 1000),  # halfway: to the even millisecond
        (1001, 1.0, 500, 1002),
        (1000, 1.0, -1500, 998),  # 998.5 ms, halfway below
        (3_600_000, 29.97 / 30, 0, 3_596_400),
        (7, 30 / 29.97, 0, 7),  # 7.007007 ms
    ],
)
def test_corrected_times_are_scaled_then_shifted_to_the_millisecond(ms, factor, offset_us, expected):
    assert corrected_ms(ms, factor, timedelta(microseconds=offset_us)) == expected


@pytest.mark.parametrize(
    "name, text, encoding, argv",
    [
        ("in.srt", SRT.replace("Hi", "Hé, ça va?"), "cp1252", []),
        ("in.srt", SRT.replace("Hi", "Привет"), "koi8-r", ["--encoding", "koi8-r"]),
        ("in.srt", "\ufeff" + SRT.replace("Hi", "Grüße"), "utf-8", []),
        ("in.vtt", "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nHallo\n", "utf-8", []),
        ("in.ass", None, "utf-8", []),
    ],
)
def test_output_keeps_the_input_format_and_encoding(tmp_path, capsys, name, text, encoding, argv):
    source = tmp_path / name
    if text is None:  # an ASS file, with its styles and a comment line
        subs = pysubs2.SSAFile()
        subs.events.append(pysubs2.SSAEvent(start=1000, end=2000, text="Hallo"))
        subs.events.append(pysubs2.SSAEvent(start=1500, end=1600, text="note", type="Comment"))
        text = subs.to_string("ass")
    source.write_bytes(text.encode(encoding))
    speech = tmp_path / "speech.json"
    speech.write_text("[[3.5, 4.5]]")
    out = tmp_path / ("out" + source.suffix)
    fields = aligned(capsys, source, speech, "-o", out, "--from", "-5", "--to", "5", *argv)
    assert fields["offset"] == 2.5 and fields["factor"] == 1.0
    raw = out.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf") == text.startswith("\ufeff")
    written = raw.decode(encoding)
    assert pysubs2.formats.autodetect_format(written) == pysubs2.formats.autodetect_format(text)
    events = pysubs2.SSAFile.from_string(written).events
    assert (events[0].start, events[0].end) == (3500, 4500)
    assert events[0].plaintext == pysubs2.SSAFile.from_string(text).events[0].plaintext
    assert [e.type for e in events] == [e.type for e in pysubs2.SSAFile.from_string(text).events]


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "subtitles, speech, extra, culprit, message",
    [
        (None, "[[0, 1]]", [], "in.srt", "no such file"),
        (SRT, None, [], "speech.json", "no such file"),
        (SRT, "[[0, 1]", [], "speech.json", "not a JSON file"),
        (SRT, "[]", [], "speech.json", "non-empty JSON list"),
        (SRT, '[[0, 1], [2, "3"]]', [], "speech.json", "row 1 is not a [start, end] pair"),
        (SRT, "[[0, 1], [true, 2]]", [], "speech.json", "row 1 is not a [start, end] pair"),
        (SRT, "[[0, 1], [5, 2]]", [], "speech.json", "row 1 is not an interval"),
        (SRT, "[[0, NaN]]", [], "speech.json", "row 0 is not an interval"),
        (SRT, "[[1, 1]]", [], "speech.json", "no speech time"),
        ("no subtitles here\n", "[[0, 1]]", [], "in.srt", "not a subtitle file"),
        ("", "[[0, 1]]", [], "in.srt", "not a subtitle file"),
        (SRT.encode("utf-16"), "[[0, 1]]", ["--encoding", "utf-8"], "in.srt", "not valid utf-8"),
        (SRT, "[[0, 1]]", ["--encoding", "no-such-code"], "in.srt", "unknown encoding"),
        (SRT, "[[0, 1]]", ["--encoding", "undefined"], "in.srt", "cannot be read as undefined"),
        (SRT + "\xff", "[[0, 1]]", ["--encoding", "punycode"], "in.srt", "not valid punycode"),
        (SRT, "[[0.5, 1.5]]", ["--output-encoding", "undefined"], "out.srt",
         "cannot write in undefined"),
        (SRT, b"RIFF\x00\x00", [], "speech.wav", "not a film or sound file FFmpeg can read"),
        ("{25}{50}Hi\n", "[[0, 1]]", [], "in.srt", "give it with --fps"),
    ],
)
def test_bad_input_names_the_file_and_exits_1(tmp_path, capsys, subtitles, speech, extra,
                                               culprit, message):
    srt = tmp_path / "in.srt"
    if subtitles is not None:
        write(srt, subtitles)
    speech_path = tmp_path / ("speech.wav" if isinstance(speech, bytes) else "speech.json")
    if speech is not None:
        write(speech_path, speech)
    assert run([str(srt), str(speech_path), "-o", str(tmp_path / "out.srt"), *extra]) == 1
    captured = capsys.readouterr()
    (line,) = captured.err.splitlines()
    assert line.startswith(f"corvela-align: {tmp_path / culprit}: ") and message in line, line
    assert captured.out == "" and not (tmp_path / "out.srt").exists()


def test_silent_recording_is_refused_and_unwritable_output_named(tmp_path, capsys):
    silent = tmp_path / "silent.wav"
    with wave.open(str(silent), "wb") as sound:
        sound.setnchannels(2)
        sound.setsampwidth(2)
        sound.setframerate(48000)
        sound.writeframes(bytes(4 * 48000))
    srt = write(tmp_path / "in.srt", SRT)
    assert run([str(srt), str(silent), "-o", str(tmp_path / "out.srt")]) == 1
    assert "silent.wav: the voice-activity detector found no speech" in capsys.readouterr().err
    speech = write(tmp_path / "speech.json", "[[0.5, 1.5]]")
    missing_dir = tmp_path / "no" / "out.srt"
    assert run([str(srt), str(speech), "-o", str(missing_dir)]) == 1
    assert f"{missing_dir}: cannot write" in capsys.readouterr().err


@pytest.mark.parametrize(
    "speech_s, argv, doubt",
    [
        (2, [], "(below 5%)"),
        # The true offset, -3 s, lies outside: the best ones found end at the range's edge.
        (2, ["--from", "-2", "--to", "2"], "reach the end of the search range"),
        # The 2 s cues meet a fifth of 10 s of speech at best.
        (9.9, ["--from", "-2", "--to", "2"], "(below 60%)"),
    ],
)
@pytest.mark.parametrize("force", [False, True])
def test_doubtful_results_exit_3_and_are_written_only_when_forced(tmp_path, capsys, speech_s,
                                                                  argv, doubt, force):
    # Every 10 s the same speech: shifting by a period covers nearly as much.
    rows = [[10.0 * k, 10.0 * k + speech_s] for k in range(40)]
    speech = write(tmp_path / "speech.json", json.dumps(rows))
    subs = pysubs2.SSAFile()
    for k in range(40):
        subs.events.append(pysubs2.SSAEvent(start=10_000 * k + 3000, end=10_000 * k + 5000))
    srt = tmp_path / "in.srt"
    subs.save(str(srt))
    out = tmp_path / "out.srt"
    assert run([str(srt), str(speech), "-o", str(out), "--no-drift", *argv]
               + ["--force"] * force) == 3
    err = capsys.readouterr().err
    assert "corvela-align: doubtful: " in err and doubt in err
    assert out.exists() == force and ("nothing written" in err) != force


@pytest.mark.parametrize("out_name, save_name", [
    ("in.srt", None),
    ("./sub/../in.srt", None),
    ("link.srt", None),  # a hard link to the subtitles
    ("speech.json", None),
    ("out.srt", "in.srt"),
    ("out.srt", "out.srt"),
    ("out.srt", "./speech.json"),
])
def test_outputs_never_replace_an_input_or_each_other(tmp_path, capsys, monkeypatch, out_name,
                                                      save_name):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    write(tmp_path / "in.srt", SRT)
    os.link(tmp_path / "in.srt", tmp_path / "link.srt")
    write(tmp_path / "speech.json", "[[0.5, 1.5]]")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    save = [] if save_name is None else ["--save-speech", save_name]
    assert run(["in.srt", "speech.json", "-o", out_name, *save]) == 2
    assert "corvela-align: error: " in capsys.readouterr().err
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before


def test_failed_and_interrupted_runs_leave_the_folder_as_it_was(tmp_path, capsys, monkeypatch):
    from corvela.align import command

    srt = write(tmp_path / "in.srt", SRT)
    speech = write(tmp_path / "speech.json", "[[0.5, 1.5]]")
    out = write(tmp_path / "out.srt", "an older result\n")
    before = sorted(tmp_path.iterdir())

    def interrupted(*_, **__):
        raise KeyboardInterrupt

    monkeypatch.setattr(command, "best_offset", interrupted)
    assert run([str(srt), str(speech), "-o", str(out), "--save-speech",
                str(tmp_path / "saved.json")]) == 130
    assert capsys.readouterr().err == ""
    # The speech was saved before the interruption; the corrected file was not touched.
    assert sorted(p for p in tmp_path.iterdir() if p.name != "saved.json") == before
    assert out.read_text() == "an older result\n"
    monkeypatch.undo()
    assert run([str(srt), str(tmp_path / "missing.wav"), "-o", str(out)]) == 1
    assert "missing.wav: no such file" in capsys.readouterr().err
    assert out.read_text() == "an older result\n"
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize("out_name, argv, format_", [
    ("out.vtt", [], "vtt"),
    ("out.ass", [], "ass"),
    ("out.txt2", [], "srt"),  # an extension no format has: the input's
    ("out.sub", ["--fps", "25"], "microdvd"),
])
def test_output_format_follows_the_extension_and_frame_based_files_read_back(
        tmp_path, capsys, out_name, argv, format_):
    srt = write(tmp_path / "in.srt", SRT)
    speech = write(tmp_path / "speech.json", "[[3.6, 4.6]]")  # whole frames at 25 fps
    out = tmp_path / out_name
    fields = aligned(capsys, srt, speech, "-o", out, "--from", "-5", "--to", "5", *argv)
    assert fields["offset"] == 2.6
    text = out.read_text()
    assert pysubs2.formats.autodetect_format(text) == format_
    # The corrected file is read back by the command itself, with no frame rate given.
    again = aligned(capsys, out, speech, "-o", tmp_path / "again.srt", "--from", "-5", "--to", "5")
    assert again["offset"] == 0.0


def test_standard_input_and_output(tmp_path):
    speech = write(tmp_path / "speech.json", "[[3.5, 4.5]]")
    command = [sys.executable, "-m", "corvela.align", "-", str(speech), "-o", "-",
               "--from", "-5", "--to", "5"]
    done = subprocess.run(command, input=SRT, capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    (event,) = pysubs2.SSAFile.from_string(done.stdout)
    assert (event.start, event.end) == (3500, 4500)
    assert "offset:   +2.500 s" in done.stderr
    # Refused: nothing on standard output.
    done = subprocess.run(command[:-4] + ["--from", "-1", "--to", "1"], input=SRT,
                          capture_output=True, text=True, check=False)
    assert (done.returncode, done.stdout) == (3, "")


def test_closed_standard_output_and_negative_numbers_and_version(tmp_path):
    speech = write(tmp_path / "speech.json", "[[3.5, 4.5]]")
    srt = write(tmp_path / "in.srt", SRT)
    reader, writer = os.pipe()
    os.close(reader)
    done = subprocess.run([sys.executable, "-m", "corvela.align", str(srt), str(speech),
                           "-o", str(tmp_path / "out.srt"), "--from", "-5e0", "--to", "5"],
                          stdout=writer, stderr=subprocess.PIPE, text=True, check=False)
    os.close(writer)
    assert done.returncode == 1
    assert done.stderr.splitlines() == ["corvela-align: standard output was closed before the end"]
    version = subprocess.run([sys.executable, "-m", "corvela.align", "--version"],
                             capture_output=True, text=True, check=True)
    assert version.stdout.startswith("corvela-align ")


@pytest.mark.parametrize("inverted", [1, 2])
def test_cues_ending_before_they_start_are_left_out_and_counted(tmp_path, capsys, inverted):
    cues = SRT + "".join(f"\n{n}\n00:00:09,000 --> 00:00:01,000\nOops\n"
                         for n in range(2, 2 + inverted))
    srt = write(tmp_path / "in.srt", cues)
    speech = write(tmp_path / "speech.json", "[[3.5, 4.5]]")
    fields = aligned(capsys, srt, speech, "-o", tmp_path / "out.srt", "--from", "-5", "--to", "5")
    assert fields["offset"] == 2.5 and fields["coverage"] == 1.0
    assert any(w.startswith(f"{inverted} cue(s) end before") for w in fields["warnings"])


@pytest.mark.parametrize("text, caption", [
    ("[DOOR SLAMS]", True), ("(laughs)", True), ("- [MUSIC] (cheering)", True),
    ("[sighs]\n(door creaks)", True), ("♪ Over the rainbow", True), ("la la ♪", True),
    ("# singing in the rain #", True), ("JOHN:", True), ("- OLD MAN:", True),
    ("Mr. Smith:", True), ("Hello", False), ("(laughs) Hello", False), ("JOHN: Hello", False),
    ("[sighs]\nFine.", False), ("Listen to me:", False), ("It is 10:30", False), ("", False),
])
def test_captions_of_sounds_are_told_from_speech(text, caption):
    assert is_sound_caption(text) is caption


@pytest.mark.parametrize("weigh_all", [False, True])
def test_captions_of_sounds_are_left_out_of_the_weighing_and_shifted(tmp_path, capsys,
                                                                     weigh_all):
    # Weighed, "[MUSIC]" would meet the speech 1.5 s earlier as well as "Hi" does 2.5 s later.
    srt = write(tmp_path / "in.srt", SRT + "\n2\n00:00:05,000 --> 00:00:06,000\n[MUSIC]\n")
    speech = write(tmp_path / "speech.json", "[[3.5, 4.5]]")
    out = tmp_path / "out.srt"
    argv = [srt, speech, "-o", out, "--from", "-5", "--to", "5", "--json"]
    status = run([*map(str, argv), *(["--weigh-all"] if weigh_all else [])])
    fields = json.loads(capsys.readouterr().out)
    assert fields["captions_left_out"] == (0 if weigh_all else 1)
    if weigh_all:
        assert status == 3 and fields["margin"] == 0.0
    else:
        assert status == 0 and fields["offset"] == 2.5
        assert [e.start for e in pysubs2.load(str(out))] == [3500, 7500]


def cut_file(tmp_path, longer=6.0):
    """Speech at irregular times and the subtitles of a cut `longer` seconds longer after the
    20th line, with a sound caption there; all shown 1 s late."""
    rng = random.Random(5)
    rows, t = [], 1.0
    for _ in range(40):
        rows.append([t, t + rng.choice([0.5, 1.0, 1.5, 2.5])])
        t = rows[-1][1] + rng.choice([1.0, 2.0, 3.5, 6.0])
    speech = write(tmp_path / "speech.json", json.dumps(rows))
    starts = [s for s, _ in rows]
    subs = pysubs2.SSAFile()
    for k, (start, end) in enumerate(rows):
        late = 1.0 if k < 20 else 1.0 + longer
        subs.events.append(pysubs2.SSAEvent(start=round((start + late) * 1000),
                                            end=round((end + late) * 1000), text="Hi"))
    subs.events.append(pysubs2.SSAEvent(start=round((starts[30] + longer + 1.5) * 1000),
                                        end=round((starts[30] + longer + 1.8) * 1000),
                                        text="[BANG]"))
    srt = tmp_path / "cut.srt"
    subs.save(str(srt))
    return srt, speech, [round(s * 1000) for s in starts]


# A scene of 90 s moves the offset further than any window round the whole file's offset.
@pytest.mark.parametrize("longer", [6.0, 90.0])
@pytest.mark.parametrize("argv, parts", [([], 2), (["--no-splits"], 1),
                                         (["--split-penalty", "1e9"], 1)])
def test_another_cut_is_corrected_segment_by_segment(tmp_path, capsys, argv, parts, longer):
    srt, speech, starts = cut_file(tmp_path, longer)
    out = tmp_path / "out.srt"
    status = run([str(srt), str(speech), "-o", str(out), "--no-drift", "--json", *argv])
    fields = json.loads(capsys.readouterr().out)
    assert len(fields["segments"]) == parts
    if parts == 1:
        # One offset leaves half the file wrong.
        assert fields["segments"][0]["cues"] == 40 and fields["coverage"] <= 0.6
        return
    assert status == 0 and fields["offset"] is None and fields["coverage"] == 1.0
    first, second = fields["segments"]
    assert (first["first_cue"], first["last_cue"], first["offset"]) == (1, 20, -1.0)
    assert (second["first_cue"], second["last_cue"], second["offset"]) == (21, 40, -1 - longer)
    fixed = pysubs2.load(str(out))
    assert [e.start for e in fixed[:40]] == starts
    assert fixed[40].start == starts[30] + 500  # the caption takes its segment's offset
    assert run([str(srt), str(speech), "-o", str(tmp_path / "b.srt"), "--no-drift"]) == 0
    text = capsys.readouterr().out
    assert "segments: 2" in text and "1: cues 1-20 (20)" in text
    assert f"offset {-1 - longer:.3f} s" in text


@pytest.mark.parametrize("minutes, rate, how, late", [
    (2, 1.0, "heard", 3.7), (2, 1.0, "lossy", 3.7), (2, 25 / 23.976, "lossy", 3.7),
    (30, 1.001, "heard", 3.7), (20, 1.0, "heard", 75.0), (20, 1.0, "lossy", 312.0)])
def test_the_frame_rate_changes_only_on_evidence(tmp_path, capsys, minutes, rate, how, late):
    # Clips where chance alone favours 1.001 over one offset, files made at another rate, and
    # files late by more than a minute, found by searching the whole film.
    for seed in range(3):
        rows, cues, captions = sentence_film(minutes, rate, how, seed, late)
        speech = write(tmp_path / "speech.json", json.dumps(rows))
        subs = pysubs2.SSAFile()
        for (start, end), caption in zip(cues, captions):
            subs.events.append(pysubs2.SSAEvent(start=start // timedelta(milliseconds=1),
                                                end=end // timedelta(milliseconds=1),
                                                text="[MUSIC]" if caption else "Hi"))
        srt = tmp_path / "in.srt"
        subs.save(str(srt))
        fields = aligned(capsys, srt, speech, "-o", tmp_path / "out.srt")
        assert undoes(fields["factor"], rate) and len(fields["segments"]) == 1
        errors = [abs(event.start - (start // timedelta(milliseconds=1) - late * 1000) / rate)
                  for event, (start, _) in zip(pysubs2.load(str(tmp_path / "out.srt")), cues)]
        assert sorted(errors)[len(errors) // 2] < 100


@pytest.mark.parametrize("module", cli.EXTRA_MODULES)
def test_without_the_extra_the_command_says_what_to_install(monkeypatch, capsys, module):
    for name in [n for n in sys.modules if n.startswith("corvela.align.") and n != cli.__name__]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, module, None)
    assert cli.main(["in.srt", "speech.json", "-o", "out.srt"]) == 2
    (line,) = capsys.readouterr().err.splitlines()
    assert module in line and 'pip install "corvela[align]"' in line


@pytest.mark.parametrize("argv", [["--from", "nan"], ["--to", "inf"], ["--from", "1e300"],
                                  ["--from", "5", "--to", "-5"], []])
def test_bad_command_lines_exit_with_usage(capsys, argv):
    with pytest.raises(SystemExit) as exit_info:
        run(["in.srt", "speech.json", *argv] + ([] if not argv else ["-o", "out.srt"]))
    assert exit_info.value.code == 2
    assert "usage: corvela-align" in capsys.readouterr().err


BLOCK_THIRD_PARTY = """
import sys
from corvela.align import cli

class NothingInstalled:
    def find_spec(self, name, path=None, target=None):
        top = name.partition(".")[0]
        if top in sys.stdlib_module_names or top == "corvela" or top.startswith("_"):
            return None
        raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, NothingInstalled())
sys.exit(cli.main(["in.srt", "speech.json", "-o", "out.srt"]))
"""


@pytest.mark.skipif(sys.version_info < (3, 10), reason="needs sys.stdlib_module_names")
def test_every_third_party_import_of_the_command_is_in_the_extra_list():
    # Whichever of its modules the command imports first, a missing one gets the one line.
    done = subprocess.run([sys.executable, "-c", BLOCK_THIRD_PARTY], capture_output=True,
                          text=True, check=False)
    assert done.returncode == 2, done.stderr
    assert 'pip install "corvela[align]"' in done.stderr and "Traceback" not in done.stderr


def worker_of(pid):
    """The first child process of `pid`, once it has one (None after 30 s)."""
    children = f"/proc/{pid}/task/{pid}/children"
    for _ in range(3000):
        try:
            with open(children) as listing:
                found = listing.read().split()
        except OSError:
            return None
        if found:
            return int(found[0])
        time.sleep(0.01)
    return None


def test_ctrl_c_during_the_audio_pass_exits_130_quietly_and_leaves_nothing(tmp_path):
    # An hour of noise at 8 kHz: long enough to be heard in two halves, by two processes, and
    # for the signal to come while both are at work.
    noise = tmp_path / "noise.wav"
    with wave.open(str(noise), "wb") as sound:
        sound.setnchannels(1)
        sound.setsampwidth(2)
        sound.setframerate(8000)
        for _ in range(60):
            sound.writeframes(os.urandom(2 * 8000 * 60))
    srt = write(tmp_path / "in.srt", SRT)
    before = sorted(tmp_path.iterdir())
    child = subprocess.Popen([sys.executable, "-m", "corvela.align", str(srt), str(noise), "-o",
                              str(tmp_path / "out.srt")], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert worker_of(child.pid) is not None
    time.sleep(0.1)
    os.killpg(child.pid, signal.SIGINT)  # as a terminal sends it: to every process
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out, err) == (130, b"", b"")
    assert sorted(tmp_path.iterdir()) == before
    with pytest.raises(ProcessLookupError):  # no worker left behind
        os.killpg(child.pid, 0)
