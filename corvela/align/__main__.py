import sys

from corvela.align.cli import main

# Guarded: the audio pass's worker process imports the main module again.
if __name__ == "__main__":
    sys.exit(main())
