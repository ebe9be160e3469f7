"""The console script's entry point: everything past it needs the 'align' extra.

pip cannot make a script depend on an extra, so a plain `pip install corvela` installs the
command too; without the extra it must say what to install instead of failing on an import.
"""

import sys
from typing import Optional, Sequence

# The third-party modules the aligner imports, one per distribution of the 'align' extra.
EXTRA_MODULES = ("pysubs2", "charset_normalizer", "webrtcvad", "av", "tqdm")


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        from corvela.align.command import run
    except KeyboardInterrupt:
        return 130
    except ImportError as err:
        if err.name not in EXTRA_MODULES:
            raise
        print(f'corvela-align: {err.name} is missing; install the aligner with '
              f'pip install "corvela[align]"', file=sys.stderr)
        return 2
    try:
        return run(argv)
    except KeyboardInterrupt:  # before or after the command's own handling
        return 130
