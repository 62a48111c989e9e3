"""Command-line values shared by ``varno-serve`` and ``varno-bot-worker``: each function
takes the text given and returns the value, or raises ``argparse.ArgumentTypeError``
with what is wrong."""

from __future__ import annotations

import argparse

from .events import check_events_url
from .store import StoreURLError, check_store_url


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
