"""The cluster's tests find the service-starting code of ``make cluster`` (``tools/``),
the server tests' helpers (``tests/serve``) and the rules' model (``tests/python``)."""

from __future__ import annotations

import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
for folder in (TESTS.parent / "tools", TESTS / "serve", TESTS / "python"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))
