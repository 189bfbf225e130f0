"""`python -m orvel` runs the command line."""

import sys

from orvel.cli import main

sys.exit(main())
