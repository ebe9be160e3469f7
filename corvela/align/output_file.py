"""The files the command writes, and the rule that none of them is one of its inputs.

Each output is first a hidden temporary file in its own folder, made before any work, so that
an unwritable folder is found at once; the data goes there and the file is renamed over its
name only when the run has a result. A failed or interrupted run leaves the folder as it was.
"""

import os
import tempfile
from pathlib import Path
from typing import IO, Optional

from corvela.align.input_error import InputError, UsageError

STDIO = "-"


def same_file(a: Path, b: Path) -> bool:
    """Whether two names reach one file, through links or another spelling; a name that does not
    exist yet is compared by the path it would have."""
    if STDIO in (str(a), str(b)):
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:
        return a.resolve() == b.resolve()


def refuse_overlaps(outputs: "dict[str, Optional[Path]]",
                    inputs: "dict[str, Optional[Path]]") -> None:
    """UsageError if an output names an input or another output."""
    named = [(what, path) for what, path in outputs.items() if path is not None]
    for n, (what, path) in enumerate(named):
        for other, source in inputs.items():
            if source is not None and same_file(path, source):
                raise UsageError(f"{what} names {other} {source}; write to another file")
        for later, other_path in named[n + 1:]:
            if same_file(path, other_path):
                raise UsageError(f"{what} and {later} name the same file {path}")


class PendingOutput:
    """A file to be written at the end: created now as a temporary sibling, renamed on commit,
    removed on discard."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.temp: Optional[Path] = None
        self.file: Optional[IO[bytes]] = None
        if path.is_dir():
            raise InputError(path, "is a folder; name a file to write")
        try:
            fd, temp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp",
                                        dir=path.parent)
        except OSError as err:
            raise InputError(path, f"cannot write: {err.strerror or err}") from None
        self.temp = Path(temp)
        self.file = os.fdopen(fd, "wb")

    def commit(self, data: bytes) -> None:
        assert self.file is not None and self.temp is not None
        try:
            with self.file:
                self.file.write(data)
                self.file.flush()
                os.fsync(self.file.fileno())
            self.file = None
            # mkstemp makes the file private; give it the mode a new file would have.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.temp, 0o666 & ~umask)
            os.replace(self.temp, self.path)
            self.temp = None
        except OSError as err:
            self.discard()
            raise InputError(self.path, f"cannot write: {err.strerror or err}") from None

    def discard(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None
        if self.temp is not None:
            try:
                self.temp.unlink()
            except FileNotFoundError:
                pass
            self.temp = None
