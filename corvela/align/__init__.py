"""corvela-align: finds a subtitle file's offset (and frame-rate drift) against the speech of
its recording and writes the corrected file.

    corvela-align FILM.srt SPEECH.json -o FIXED.srt    # speech as [start, end] seconds
    corvela-align FILM.ass FILM.wav -o FIXED.ass       # speech found by a voice-activity detector

The search is corvela.core.scan.best_offset; this package reads and writes the files around
it. Needs the 'align' extra: pip install "corvela[align]".
"""
