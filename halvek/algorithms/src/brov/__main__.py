"""``python -m halvek.algorithms.src.brov``: the brov command line."""

import sys

from .cli import main

sys.exit(main())
