"""Shared by the Python test suites.

Under the sanitized test build (VARNO_SANITIZE set, the sanitizer runtime preloaded into
the interpreter) a leak check runs when the session ends, while the interpreter is still
whole: memory that nothing reaches any more is reported to the sanitizer's log, where
the run's verdict looks for leaks through this project's code. Checking then, rather than
at exit, keeps the interpreter's own teardown out of the reports and leaves every
process's exit status its own.
"""

import ctypes
import gc
import os
import sys

import pytest


def pytest_sessionfinish(session):
    if not os.environ.get("VARNO_SANITIZE"):
        return
    try:
        leak_check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        print("VARNO_SANITIZE is set but no leak checker is loaded", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.USAGE_ERROR
        return
    gc.collect()
    leak_check()
