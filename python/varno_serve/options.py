"""Command-line values shared by ``varno-serve`` and ``varno-bot-worker``: each function
takes the text given and returns the value, or raises ``argparse.ArgumentTypeError``
with what is wrong."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import logging
import sys
from collections.abc import Coroutine, Sequence
from typing import Any

from .events import check_events_url
from .store import StoreURLError, StoreUnavailable, check_store_url


def port(text: str) -> int:
    """A TCP port; 0 for any free one."""
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, not {number}")
    return number


def store_url(text: str) -> str:
    """A store URL that names a known backend (nothing is opened)."""
    try:
        return check_store_url(text)
    except StoreURLError as wrong:
        raise argparse.ArgumentTypeError(str(wrong)) from None


def redis_url(text: str) -> str:
    """A Redis server's URL: redis://, rediss:// (TLS) or unix:// (a socket)."""
    try:
        return check_events_url(text)
    except ValueError as wrong:
        raise argparse.ArgumentTypeError(str(wrong)) from None


def run_command(name: str, main: Coroutine[Any, Any, None]) -> int:
    """Runs a command's ``main`` with the log set up; a socket or store out of reach ends it
    with one line on stderr and exit status 1, not a traceback."""
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    try:
        asyncio.run(main)
    except (OSError, StoreUnavailable) as failure:
        print(f"{name}: {failure}", file=sys.stderr)
        return 1
    return 0


def missing(modules: Sequence[str], needs: str, hint: str) -> bool:
    """Whether one of ``modules`` cannot be imported; if so, says on stderr what ``needs``
    them and the command that installs them (``hint``)."""
    try:
        for module in modules:
            importlib.import_module(module)
    except ImportError:
        print(f"{needs}; install it with: {hint}", file=sys.stderr)
        return True
    return False
