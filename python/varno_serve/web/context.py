"""What the handlers and the middleware share: the room service and the limits."""

from __future__ import annotations

from dataclasses import dataclass

from aiohttp import web

from ..limits import Limits, RateLimiter
from ..service import RoomService


@dataclass(frozen=True)
class Context:
    service: RoomService
    limits: Limits
    limiter: RateLimiter


CONTEXT = web.AppKey("varno", Context)


def context(request: web.Request) -> Context:
    return request.app[CONTEXT]
