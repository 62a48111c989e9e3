"""What wraps every request: the rate limit of its client, refusals turned into their
statuses, and the page's safety headers."""

from __future__ import annotations

import logging
import math
from collections.abc import Awaitable, Callable
from typing import Any, Final

from aiohttp import web

from ..errors import (
    Busy,
    Conflict,
    Forbidden,
    Invalid,
    NotFound,
    Refusal,
    Refused,
    TooLarge,
    TooMany,
    TooSlow,
)
from .context import client_of, context

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
    Refused: 422,
    TooMany: 429,
    Busy: 503,
}

SAFETY_HEADERS: Final = {
    "X-Content-Type-Options": "nosniff",
    "Content-Security-Policy":
        "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "Referrer-Policy": "no-referrer",
}


def status_of(refusal: Refusal) -> int:
    for kind in type(refusal).__mro__:
        status = STATUS.get(kind)
        if status is not None:
            return status
    raise AssertionError(f"no status for {type(refusal).__name__}")


def _error(status: int, message: str, **more: Any) -> web.Response:
    return web.json_response({"error": message, **more}, status=status)


def _refusal(request: web.Request, refusal: Refusal) -> web.Response:
    status = status_of(refusal)
    if request.path.startswith("/api/"):
        response = _error(status, refusal.message)
    else:
        response = web.Response(status=status, text=f"{refusal.message}\n")
    if isinstance(refusal, (TooMany, Busy)):
        response.headers["Retry-After"] = str(max(1, math.ceil(refusal.retry_after)))
    return response


@web.middleware
async def rate_limit(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Every request counts against its client's allowance, whatever it asks for."""
    wait = context(request).limiter.request(client_of(request))
    if wait:
        raise TooMany("too many requests from this address; slow down", wait)
    return await handler(request)


@web.middleware
async def errors_and_headers(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Refusals as JSON ``{"error": ...}`` with their status; the page's safety headers."""
    try:
        response = await handler(request)
    except Refusal as refusal:
        return _refusal(request, refusal)
    except web.HTTPException as http:
        if request.path.startswith("/api/") and http.status >= 400:
            return _error(http.status, http.reason)
        raise
    except Exception:
        if not request.path.startswith("/api/"):
            raise
        log.exception("%s %s failed", request.method, request.path)
        return _error(500, "internal error")
    if not response.prepared:
        for name, value in SAFETY_HEADERS.items():
            response.headers.setdefault(name, value)
    return response
