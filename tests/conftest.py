"""The orvel package is importable in tests from an install (make test) or,
in the developer loop, from the source tree."""

import importlib.util
import sys
from pathlib import Path

if importlib.util.find_spec("orvel") is None:
    sys.path.append(str(Path(__file__).resolve().parent.parent / "python"))
