"""What the server writes about the requests it gets, bounded whatever a client sends.

A client chooses its request's path and headers, up to what aiohttp's parser takes
(``MAX_LINE_SIZE`` and ``MAX_FIELD_SIZE``; longer ones are refused with 400 before any
handler runs). The access log (``AccessLog``) writes at most ``LOGGED_CHARACTERS`` of
each thing the client chose (path, method, ``Referer``, ``User-Agent``), non-printable
characters escaped, so that one line stays short. A request aiohttp cannot parse is
its client's fault: aiohttp logs it as an error with its traceback, which
``MalformedRequests`` turns into one line at debug level (the access log has it too). A
load balancer's health checks and the monitoring's scrapes that succeed are logged at
debug level only: they come every few seconds from every balancer, and say nothing.
"""

from __future__ import annotations

import logging
from typing import ClassVar, Final

from aiohttp.abc import AbstractAccessLogger
from aiohttp.http_exceptions import HttpProcessingError
from aiohttp.web import BaseRequest, StreamResponse

from ..limits import ClientAddresses
from .handlers import HEALTH_PATH, METRICS_PATH

# The longest request line aiohttp takes: the API's paths are under 60 characters (a
# room's identifier is at most 32).
MAX_LINE_SIZE: Final = 4096
# The longest header line it takes: aiohttp's own default. A browser's Cookie header for
# localhost carries the cookies of every other server on the machine, which is no
# reason to refuse it; what is logged of headers is cut to LOGGED_CHARACTERS anyway.
MAX_FIELD_SIZE: Final = 8190
# What the access log writes at most of a path or header, in characters.
LOGGED_CHARACTERS: Final = 120
# Paths whose successful GETs the access log writes at debug level only.
QUIET_PATHS: Final = frozenset({HEALTH_PATH, METRICS_PATH})


def shown(text: str, limit: int = LOGGED_CHARACTERS) -> str:
    """``text`` for a log line: at most ``limit`` characters of it, and then how many
    more there were; quotes, backslashes and non-printable characters escaped."""
    cut = "".join(map(_escaped, text[:limit]))
    if len(text) > limit:
        cut += f"...(+{len(text) - limit})"
    return cut


def _escaped(c: str) -> str:
    if c == '"':
        return '\\"'
    if c.isprintable() and c != "\\":
        return c
    return c.encode("unicode_escape").decode("ascii")


class AccessLog(AbstractAccessLogger):
    """One line a request, in the shape of aiohttp's own (the time is the log record's):
    ``ADDRESS "METHOD PATH HTTP/1.1" STATUS BYTES "REFERER" "USER-AGENT"``, where the
    address behind a trusted proxy is ``CLIENT via PROXY`` (see ``access_log``)."""

    addresses: ClassVar[ClientAddresses] = ClientAddresses()

    def log(self, request: BaseRequest, response: StreamResponse, time: float) -> None:
        version = request.version
        quiet = response.status == 200 and request.path in QUIET_PATHS
        self.logger.log(
            logging.DEBUG if quiet else logging.INFO, '%s "%s %s HTTP/%d.%d" %d %d "%s" "%s"', self._client(request),
            shown(request.method), shown(request.raw_path), version.major, version.minor,
            response.status, response.body_length,
            shown(request.headers.get("Referer", "-")),
            shown(request.headers.get("User-Agent", "-")))

    def _client(self, request: BaseRequest) -> str:
        """Who sent ``request``: the connection's peer, or behind a trusted proxy the
        client it forwards for (as the limits count it), then ``via`` the proxy."""
        peer = request.remote or "-"
        if not self.addresses.trusts(request.remote):
            return peer
        client = self.addresses.client(request.remote,
                                       request.headers.getall("X-Forwarded-For", ()))
        return f"{shown(client)} via {peer}"

    @property
    def enabled(self) -> bool:
        return self.logger.isEnabledFor(logging.INFO)


def access_log(addresses: ClientAddresses) -> type[AccessLog]:
    """``AccessLog`` naming the clients behind ``addresses``' trusted proxies (aiohttp
    makes the access logger itself, from its class)."""
    return type("AccessLog", (AccessLog,), {"addresses": addresses})


class MalformedRequests(logging.Filter):
    """On aiohttp's server logger: a request its parser refused (over-long, malformed,
    not HTTP at all) becomes one line at debug level, without its traceback, and is
    dropped unless that logger shows debug."""

    def filter(self, record: logging.LogRecord) -> bool:
        refused = record.exc_info[1] if record.exc_info else None
        if not isinstance(refused, HttpProcessingError):
            return True
        if not logging.getLogger(record.name).isEnabledFor(logging.DEBUG):
            return False
        record.msg = f"{record.getMessage()}: {shown(str(refused))}"
        record.args = ()
        record.levelno, record.levelname = logging.DEBUG, "DEBUG"
        record.exc_info, record.exc_text = None, None
        return True


def quiet_malformed_requests() -> None:
    """Installs ``MalformedRequests`` on aiohttp's server logger (once)."""
    server = logging.getLogger("aiohttp.server")
    if not any(isinstance(f, MalformedRequests) for f in server.filters):
        server.addFilter(MalformedRequests())
