"""The names and origins varno-serve answers for.

A page of any site can make a visitor's browser send requests to the server: post a
form to it, open a WebSocket to it, or have the page's own name resolve to the server's
address (DNS rebinding) and then read the answers as its own. So a request is answered
only if

* its ``Host`` is one of the server's names, whatever the port: the address it listens
  on (when that is one address or a name, not every address), ``localhost``,
  ``127.0.0.1``, ``[::1]``, and the names given with ``--allowed-host``. A page whose
  name was rebound to the server sends its own name, which is none of these;
* its ``Origin``, when it has one, is the server's own: the scheme and host (with its
  port) that the request was addressed to, or one given with ``--allowed-origin``. A
  browser sends ``Origin`` with every WebSocket upgrade and every request of a page
  that is not a plain navigation; scripts and command-line clients send none, and are
  not refused for that. ``Origin: null`` (a sandboxed page, a file) is another origin.

Names are compared in lower case without a final dot, an IPv6 address in its shortest
form between brackets; origins as scheme, host and port, the scheme's default port
written out.

This module only says what is allowed; ``varno_serve.web`` refuses what is not.
"""

from __future__ import annotations

import argparse
import ipaddress
import re
from collections.abc import Iterable
from typing import Final

# The names a server on this machine always answers for.
LOOPBACK_NAMES: Final = ("localhost", "127.0.0.1", "[::1]")
# Listening on these is listening on every address: none of them is a name to answer for.
EVERY_ADDRESS: Final = ("", "0.0.0.0", "::", "[::]")
DEFAULT_PORTS: Final = {"http": 80, "https": 443}

_LABEL = r"[a-z0-9_](?:[a-z0-9_-]{0,61}[a-z0-9_])?"
_NAME: Final = re.compile(rf"{_LABEL}(?:\.{_LABEL})*")
_PORT: Final = re.compile(r"[0-9]{1,5}")


def split_host(text: str) -> tuple[str, int | None] | None:
    """The host and port of ``text`` (``name``, ``name:8000``, ``192.0.2.7:80``,
    ``[::1]:8000``, or a bare IPv6 address), the host normalised; None if it is none."""
    text = text.strip().lower()
    if text.startswith("["):
        inside, closed, rest = text[1:].partition("]")
        if not closed or (rest and not rest.startswith(":")):
            return None
        return _with_port(_ipv6(inside), rest[1:] if rest else None)
    if text.count(":") > 1:
        return _with_port(_ipv6(text), None)
    text, colon, port = text.partition(":")
    text = text.removesuffix(".")
    if len(text) > 253 or _NAME.fullmatch(text) is None:
        return None
    return _with_port(text, port if colon else None)


def _ipv6(text: str) -> str | None:
    try:
        return f"[{ipaddress.IPv6Address(text).compressed}]"
    except ValueError:
        return None


def _with_port(host: str | None, port: str | None) -> tuple[str, int | None] | None:
    if host is None or (port is not None and _PORT.fullmatch(port) is None):
        return None
    return host, int(port) if port is not None else None


def origin_of(text: str) -> tuple[str, str, int] | None:
    """``scheme://host[:port]`` as (scheme, host, port), the port written out; None if
    it is not the origin of an http or https page (``null`` among them)."""
    scheme, sep, rest = text.strip().lower().partition("://")
    if not sep or scheme not in DEFAULT_PORTS:
        return None
    found = split_host(rest)
    if found is None:
        return None
    host, port = found
    if port is not None and not 0 < port < 65536:
        return None
    return scheme, host, port if port is not None else DEFAULT_PORTS[scheme]


class Origins:
    """What the server answers for: its names (``Host``) and the origins besides its own
    whose pages may use it (``Origin``)."""

    def __init__(self, listening: str | None = None, hosts: Iterable[str] = (),
                 origins: Iterable[str] = ()) -> None:
        names = set(LOOPBACK_NAMES)
        if listening is not None and listening.strip() not in EVERY_ADDRESS:
            found = split_host(listening)
            if found is not None:
                names.add(found[0])
        for host in hosts:
            found = split_host(host)
            if found is None:
                raise ValueError(f"not a host name or address: {host!r}")
            names.add(found[0])
        self.hosts: Final = frozenset(names)
        allowed = set()
        for origin in origins:
            parsed = origin_of(origin)
            if parsed is None:
                raise ValueError(f"not an origin: {origin!r}")
            allowed.add(parsed)
        self.origins: Final = frozenset(allowed)

    def host_allowed(self, host: str) -> bool:
        """Whether a request whose ``Host`` header is ``host`` is for this server."""
        found = split_host(host)
        return found is not None and found[0] in self.hosts

    def origin_allowed(self, origin: str, scheme: str, host: str) -> bool:
        """Whether a request with ``Origin: origin``, addressed to ``scheme://host``
        (its scheme and ``Host``), comes from a page the server answers."""
        parsed = origin_of(origin)
        if parsed is None:
            return False
        return parsed == origin_of(f"{scheme}://{host}") or parsed in self.origins


# -- the command line -------------------------------------------------------------------

def parse_allowed_host(text: str) -> str:
    """A name or address for ``--allowed-host`` (no port: any port is allowed)."""
    found = split_host(text)
    if found is None or text.strip().lower() in EVERY_ADDRESS:
        raise argparse.ArgumentTypeError(f"not a host name or address: {text!r}")
    if found[1] is not None:
        raise argparse.ArgumentTypeError(
            f"{text!r}: give the name without a port (every port is allowed)")
    return found[0]


def parse_allowed_origin(text: str) -> str:
    """An origin for ``--allowed-origin``: ``http(s)://host[:port]``, a final ``/``
    allowed."""
    if origin_of(text.strip().removesuffix("/")) is None:
        raise argparse.ArgumentTypeError(
            f"not an origin (scheme://host[:port], the scheme http or https): {text!r}")
    return text.strip().removesuffix("/")


def listening_hint(host: str, allowed_hosts: Iterable[str]) -> str | None:
    """What to tell whoever starts a server listening on ``host`` with these
    ``--allowed-host`` names, if anything: on every address and with none, it answers
    the loopback names alone, which nobody elsewhere uses."""
    if host.strip() not in EVERY_ADDRESS or any(True for _ in allowed_hosts):
        return None
    return ("listening on every address, but answering only requests for localhost, "
            "127.0.0.1 and [::1]: name the address people use with --allowed-host NAME")
