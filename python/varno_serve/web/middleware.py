"""What wraps every request: the rate limit of its client, the checks that it is meant
for this server and comes from its own pages, refusals (and failures) turned into their
statuses, and the page's safety headers on every response."""

from __future__ import annotations

import logging
import math
import time
from collections.abc import Awaitable, Callable
from typing import Final

from aiohttp import web

from ..connections import client_ip
from ..errors import (
    Busy,
    Code,
    Conflict,
    Forbidden,
    ForeignOrigin,
    Invalid,
    Misdirected,
    NotFound,
    Refusal,
    Refused,
    TooLarge,
    TooMany,
    TooSlow,
    Unavailable,
    Unreadable,
    Unsupported,
)
from ..metrics import UNROUTED
from ..store import StoreUnavailable
from .bodies import check_type
from .context import client_of, context, scheme_of
from .handlers import HEALTH_PATH, METRICS_PATH, MOVES_ROUTE

log = logging.getLogger("varno_serve")

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]

# The status of each refusal (a subclass takes the status of its nearest class here).
STATUS: Final[dict[type[Refusal], int]] = {
    Invalid: 400,
    Forbidden: 403,
    NotFound: 404,
    TooSlow: 408,
    Conflict: 409,
    TooLarge: 413,
    Unsupported: 415,
    Misdirected: 421,
    Refused: 422,
    TooMany: 429,
    Busy: 503,
    Unavailable: 503,
}

# What a client is told when the store cannot be reached.
STORE_DOWN: Final = "the rooms cannot be reached just now; nothing was changed; try again shortly"

SAFETY_HEADERS: Final = {
    "X-Content-Type-Options": "nosniff",
    "Content-Security-Policy":
        "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "Referrer-Policy": "no-referrer",
}


def status_of(kind: type[Refusal]) -> int:
    """The status of a refusal of class ``kind``."""
    for base in kind.__mro__:
        status = STATUS.get(base)
        if status is not None:
            return status
    raise AssertionError(f"no status for {kind.__name__}")


# The codes of the refusals that the router makes itself under /api/, by status.
HTTP_CODES: Final[dict[int, Code]] = {404: "no_such_path", 405: "method_not_allowed",
                                      413: "body_too_large"}


def _error(status: int, message: str, code: Code) -> web.Response:
    return web.json_response({"error": message, "code": code}, status=status)


def _refusal(request: web.Request, refusal: Refusal) -> web.Response:
    status = status_of(type(refusal))
    if request.path.startswith("/api/"):
        response = _error(status, refusal.message, refusal.code)
    else:
        response = web.Response(status=status, text=f"{refusal.message}\n")
    if isinstance(refusal, (TooMany, Busy, Unavailable)):
        response.headers["Retry-After"] = str(max(1, math.ceil(refusal.retry_after)))
    return response


# Refusals after which the connection is closed: the body was not read to its end, and
# what is left of it is not worth reading (it may come slowly, or not decode, or be from
# a page of another site, or for another host, whose client should ask elsewhere).
CLOSE_AFTER: Final = (TooSlow, TooLarge, Unreadable, Unsupported, ForeignOrigin, Misdirected)


async def _send_and_close(request: web.Request, response: web.Response) -> web.Response:
    """Sends ``response`` and closes the connection at once, rather than read what is
    left of the request's body first (as a connection kept for the next request must)."""
    response.force_close()
    try:
        await response.prepare(request)
        await response.write_eof()
    except ConnectionError:
        pass
    request.protocol.force_close()
    return response


# What a load balancer and the monitoring ask for: asked by loopback or a trusted proxy
# itself, not counted against any client's allowance (nor limited by it).
MONITORING: Final = frozenset({HEALTH_PATH, METRICS_PATH})
# Headers with which a proxy says it passes on another client's request.
FORWARDING: Final = ("X-Forwarded-For", "Forwarded")
# The methods named as they are in the metrics; any other is "other", so that clients
# cannot make up new series.
METHODS: Final = frozenset({"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"})


def _monitoring(request: web.Request) -> bool:
    """Whether ``request`` is the load balancer's check or a local scrape: a monitoring
    path asked by loopback or a trusted proxy on its own behalf. A request such a proxy
    passes on (it says whose) is its client's, and counts like any other: else anyone
    behind the proxy could ask for these without end."""
    if request.path not in MONITORING or any(name in request.headers for name in FORWARDING):
        return False
    peer = client_ip(request.remote)
    return peer is not None and (peer.is_loopback
                                 or context(request).addresses.trusts(request.remote))


@web.middleware
async def observe(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Counts every answer by its route's pattern, method and status, and times the moves
    accepted (from the request's head to the answer)."""
    began = time.monotonic()
    try:
        response = await handler(request)
    except web.HTTPException as http:
        _count(request, http.status, began)
        raise
    _count(request, response.status, began)
    return response


def _count(request: web.Request, status: int, began: float) -> None:
    resource = request.match_info.route.resource
    route = resource.canonical if resource is not None else UNROUTED
    method = request.method if request.method in METHODS else "other"
    metrics = context(request).metrics
    metrics.requests.labels(route, method, str(status)).inc()
    if route == MOVES_ROUTE and status == 200:
        metrics.move_ack_seconds.observe(time.monotonic() - began)


@web.middleware
async def rate_limit(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Every request counts against its client's allowance, whatever it asks for, but
    the monitoring's own (``_monitoring``)."""
    if _monitoring(request):
        return await handler(request)
    wait = context(request).limiter.request(client_of(request))
    if wait:
        raise TooMany("too many requests from this address; slow down", "too_many_requests",
                      wait)
    return await handler(request)


@web.middleware
async def same_origin(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Before anything of the request is read: it must be for one of the server's names
    (``Misdirected``), come from none but the server's own pages (``ForeignOrigin``),
    and, if it posts to the API, carry JSON (``Unsupported``). The WebSocket's upgrade is
    a request like any other, refused before it is upgraded."""
    origins = context(request).origins
    host = request.headers.get("Host")
    if host is None or not origins.host_allowed(host):
        raise Misdirected("this server does not answer for that host", "unknown_host")
    sent = request.headers.getall("Origin", ())
    if sent:
        if len(sent) > 1 or not origins.origin_allowed(sent[0], scheme_of(request), host):
            raise ForeignOrigin("requests from pages of another origin are refused",
                                "foreign_origin")
    if request.method == "POST" and request.match_info.http_exception is None:
        check_type(request)
    return await handler(request)


@web.middleware
async def errors(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Refusals with their status, as JSON ``{"error": ..., "code": ...}`` under /api/
    and as text elsewhere; the store out of reach is 503 (``Unavailable``); a client gone
    midway is no error of the server's."""
    try:
        return await handler(request)
    except StoreUnavailable as down:
        log.warning("%s %s: the store is unavailable (%s)", request.method, request.path, down)
        return _refusal(request, Unavailable(STORE_DOWN, "store_unavailable", down.retry_after))
    except Refusal as refusal:
        if isinstance(refusal, CLOSE_AFTER):
            return await _send_and_close(request, _refusal(request, refusal))
        return _refusal(request, refusal)
    except web.HTTPException as http:
        if not request.path.startswith("/api/") or http.status < 400:
            raise
        response = _error(http.status, http.reason, HTTP_CODES.get(http.status, "bad_request"))
        if "Allow" in http.headers:
            response.headers["Allow"] = http.headers["Allow"]
        return response
    except ConnectionError as gone:
        # The client hung up (in the middle of its body, say): nobody is left to answer.
        log.debug("%s %s: the client went away (%s)", request.method, request.path, gone)
        response = web.Response(status=400, text="the request was cut short\n")
        response.force_close()
        return response
    except Exception:
        log.exception("%s %s failed", request.method, request.path)
        if request.path.startswith("/api/"):
            return _error(500, "internal error", "internal_error")
        return web.Response(status=500, text="internal error\n")


async def safety_headers(request: web.Request, response: web.StreamResponse) -> None:
    """Every response the application sends carries the page's safety headers: those of
    the handlers, the refusals, the static files and the router's own (404, 405)."""
    for name, value in SAFETY_HEADERS.items():
        response.headers.setdefault(name, value)
