import sys

from corvela.align.cli import main

sys.exit(main())
