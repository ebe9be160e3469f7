"""The progress bar of the audio pass, drawn by tqdm on the error stream."""

from contextlib import contextmanager
from typing import Callable, Iterator

from tqdm import tqdm  # type: ignore[import-untyped]


@contextmanager
def progress_bar(name: str, quiet: bool) -> Iterator[Callable[[float], None]]:
    """Yields a function taking the share of the film heard so far, from 0 to 1."""
    if quiet:
        yield lambda share: None
        return
    with tqdm(total=100, desc=f"listening to {name}", leave=False, dynamic_ncols=True,
              bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}<{remaining}") as bar:
        def advance(share: float) -> None:
            done = int(share * 100)
            if done > bar.n:
                bar.update(done - bar.n)

        yield advance
