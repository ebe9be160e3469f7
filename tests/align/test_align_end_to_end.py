"""corvela-align on a synthetic film: espeak-ng speech over noise, with true sentence times.

Runs the installed command on the sound file and on the film made of it (an MKV with AAC
48 kHz stereo, through webrtcvad), and on the detector's intervals saved as JSON, for subtitles
shown late and for subtitles made for the film at 25 frames per second against 23.976; the
corrected cue starts must lie within 100 ms of the correct ones (median). With the correct subtitles as the reference, as
a file or as a track of the film, within 20 ms. Needs the 'align' extra, espeak-ng and ffmpeg;
under CI a missing one fails instead of skipping.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

import pytest

from corvela.align.cli import EXTRA_MODULES

for _module in EXTRA_MODULES:
    pytest.importorskip(_module, reason="needs the 'align' extra")

import pysubs2  # noqa: E402

from synthetic_film import make_film, other_cut, subtitles  # noqa: E402

COMMAND = Path(sys.executable).parent / "corvela-align"
TOLERANCE_MS = 100


@pytest.fixture(scope="module")
def film(tmp_path_factory):
    for program in ("espeak-ng", "ffmpeg"):
        if shutil.which(program) is None:
            if os.environ.get("CI") == "true":
                pytest.fail(f"{program} is missing (scripts/install-system-deps.sh installs it)")
            pytest.skip(f"needs {program}")
    film = make_film(tmp_path_factory.mktemp("film"))
    truth = subtitles(film.truth_ms)
    truth.save(str(film.sound.parent / "truth.srt"))
    folder = film.sound.parent
    ffmpeg = ["ffmpeg", "-loglevel", "error", "-i", str(film.sound)]
    subprocess.run([*ffmpeg, "-ar", "48000", "-ac", "2", "-c:a", "aac",
                    str(folder / "film.mkv")], check=True)
    # FLAC keeps the clock exact, so the track's times stay the truth's.
    subprocess.run([*ffmpeg, "-i", str(folder / "truth.srt"), "-map", "0", "-map", "1",
                    "-c:a", "flac", "-c:s", "srt", str(folder / "tracks.mkv")], check=True)
    return film


def align(subtitles, speech, out, *extra):
    done = subprocess.run([str(COMMAND), str(subtitles), str(speech), "-o", str(out), "--json",
                           *map(str, extra)], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def detected(film):
    """The detector's intervals, written by the command as the JSON speech format."""
    path = film.sound.parent / "speech.json"
    align(film.late, film.sound, film.sound.parent / "unused.srt", "--save-speech", path)
    return path


@pytest.mark.parametrize("source, tolerance_ms", [
    ("film.wav", TOLERANCE_MS),
    ("film.mkv", TOLERANCE_MS),
    ("speech.json", TOLERANCE_MS),
    ("truth.srt", 20),
    ("tracks.mkv --reference-stream 0", 20),
])
@pytest.mark.parametrize("case, factor", [("late", 1.0), ("drifted", 23.976 / 25)])
def test_corrected_starts_are_near_the_truth(film, detected, tmp_path, source, tolerance_ms,
                                             case, factor):
    name, *extra = source.split()
    out = tmp_path / "fixed.srt"
    fields = align(getattr(film, case), film.sound.parent / name, out, *extra)
    assert fields["factor"] == factor and len(fields["segments"]) == 1
    assert fields["warnings"] == [] and fields["doubts"] == []
    errors = [abs(event.start - start)
              for event, (start, _) in zip(pysubs2.load(str(out)), film.truth_ms)]
    median = statistics.median(errors)
    print(f"\n{case} subtitles, speech from {source}: offset {fields['offset']:+.4f} s, "
          f"factor {fields['factor']!r}, median error {median} ms, largest {max(errors)} ms")
    assert len(errors) == len(film.truth_ms)
    assert median <= tolerance_ms


@pytest.mark.parametrize("source", ["film.wav", "speech.json", "true.json"])
@pytest.mark.parametrize("cuts", [[(0.4, 7.5)], [(0.3, 7.5), (0.7, 12.0)]])
def test_subtitles_of_another_cut_are_split_where_scenes_were_removed(film, detected, tmp_path,
                                                                      source, cuts):
    (film.sound.parent / "true.json").write_text(json.dumps(film.speech))
    cues, scored = other_cut(film.truth_ms, cuts)
    wrong = tmp_path / "cut.srt"
    subtitles(cues).save(str(wrong))
    out = tmp_path / "fixed.srt"
    fields = align(wrong, film.sound.parent / source, out)
    assert fields["doubts"] == []
    fixed = [e.start for e, kept in zip(pysubs2.load(str(out)), scored) if kept]
    errors = sorted(abs(got - start) for got, (start, _) in zip(fixed, film.truth_ms))
    print(f"\n{len(cuts)} scene(s) removed, speech from {source}: segments "
          f"{[(p['first_cue'], p['offset']) for p in fields['segments']]}, median error "
          f"{statistics.median(errors)} ms, largest {errors[-1]} ms")
    # The file's order may hold back one cue beside each removed scene, whose lines must fit
    # between the scenes around it.
    assert errors[-1 - len(cuts)] <= 500 and statistics.median(errors) <= 150


def test_detected_speech_matches_the_sentences(film, detected):
    # One stretch per sentence, its start within 100 ms of the sentence's own.
    found = json.loads(detected.read_text())
    assert len(found) == len(film.speech)
    assert statistics.median(abs(f[0] - s[0]) for f, s in zip(found, film.speech)) < 0.1


@pytest.mark.parametrize("name", ["film.wav", "film.mkv"])
def test_a_film_heard_in_two_halves_gives_the_same_bytes_on_one_core_or_two(film, monkeypatch,
                                                                           name):
    from corvela.align import audio_speech

    monkeypatch.setattr(audio_speech, "SPLIT_SECONDS", 60.0)
    path = film.sound.parent / name
    parallel = audio_speech.decisions(path, None, 2, parallel=True)
    assert parallel == audio_speech.decisions(path, None, 2, parallel=False)
    # The halves join on one grid: as many frames as one pass over the film.
    monkeypatch.setattr(audio_speech, "SPLIT_SECONDS", 1e9)
    assert len(parallel[1]) == len(audio_speech.decisions(path, None, 2)[1])
