"""What the handlers and the middleware share: the room service, the limits, and who a
request comes from."""

from __future__ import annotations

from dataclasses import dataclass, field

from aiohttp import web

from ..health import Health
from ..limits import ClientAddresses, Limits, RateLimiter, RoomAllowance
from ..metrics import Metrics
from ..origins import Origins
from ..service import RoomService


@dataclass(frozen=True)
class Context:
    service: RoomService
    limits: Limits
    limiter: RateLimiter
    rooms: RoomAllowance
    addresses: ClientAddresses
    metrics: Metrics
    health: Health
    origins: Origins = field(default_factory=Origins)


CONTEXT = web.AppKey("varno", Context)


def context(request: web.Request) -> Context:
    return request.app[CONTEXT]


def scheme_of(request: web.Request) -> str:
    """The scheme the client addressed the request with: the connection's, or the one a
    trusted proxy (which may have taken TLS off) says in ``X-Forwarded-Proto``."""
    if context(request).addresses.trusts(request.remote):
        forwarded = request.headers.get("X-Forwarded-Proto", "")
        # The first entry is what the proxy nearest the client saw.
        scheme = forwarded.split(",")[0].strip().lower()
        if scheme in ("http", "https"):
            return scheme
    return request.scheme


def client_of(request: web.Request) -> str:
    """The client address ``request`` is counted against."""
    return context(request).addresses.client(
        request.remote, request.headers.getall("X-Forwarded-For", ()))
