"""What the handlers and the middleware share: the room service, the limits, and who a
request comes from."""

from __future__ import annotations

from dataclasses import dataclass

from aiohttp import web

from ..limits import ClientAddresses, Limits, RateLimiter
from ..service import RoomService


@dataclass(frozen=True)
class Context:
    service: RoomService
    limits: Limits
    limiter: RateLimiter
    addresses: ClientAddresses


CONTEXT = web.AppKey("varno", Context)


def context(request: web.Request) -> Context:
    return request.app[CONTEXT]


def client_of(request: web.Request) -> str:
    """The client address ``request`` is counted against."""
    return context(request).addresses.client(
        request.remote, request.headers.getall("X-Forwarded-For", ()))
