"""python -m quillmat.immunity: the command line (quillmat.immunity._cli)."""

import sys

from quillmat.immunity._cli import main

if __name__ == "__main__":
    sys.exit(main())
