"""python -m quillmat.immunity: see quillmat.immunity._cli."""

import sys

from quillmat.immunity._cli import main

sys.exit(main())
