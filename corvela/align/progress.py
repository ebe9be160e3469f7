"""The progress bar of the audio pass, drawn by tqdm on the error stream."""

from contextlib import contextmanager
from typing import Callable, Iterator, Optional

from tqdm import tqdm  # type: ignore[import-untyped]


@contextmanager
def progress_bar(total: Optional[float], name: str,
                 quiet: bool) -> Iterator[Callable[[float], None]]:
    """Yields a function taking the seconds of film heard so far."""
    if quiet:
        yield lambda seconds: None
        return
    with tqdm(total=None if total is None else round(total), desc=f"listening to {name}",
              unit="s", leave=False, dynamic_ncols=True) as bar:
        def advance(seconds: float) -> None:
            if seconds >= bar.n + 1:  # whole seconds of film
                bar.update(int(seconds) - bar.n)

        yield advance
