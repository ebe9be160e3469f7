"""Film-sized tables: sorted speech and subtitles with realistic lengths and gaps."""

from datetime import timedelta


def film(rng, speech_rows, subtitle_rows):
    base, t = [], 0.0
    for _ in range(speech_rows):
        t += rng.uniform(0.1, 3.0)
        length = rng.uniform(0.3, 8.0)
        base.append([t, t + length])
        t += length
    other, ms = [], 0
    for _ in range(subtitle_rows):
        ms += rng.randrange(200, 8000)
        length = rng.randrange(1000, 6000)
        other.append((timedelta(milliseconds=ms), timedelta(milliseconds=ms + length)))
        ms += length
    return base, other
