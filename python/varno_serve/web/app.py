"""The routes of varno-serve and the application that serves them.

What leaves the server is ``Room.public_state``: the picture and the public cells, in
which a face-down card is "XX" and nothing more. The board's saved state, which the host
rules read, stays in the room and the store.
"""

from __future__ import annotations

import weakref
from collections.abc import Iterable

from aiohttp import web

from ..health import Health
from ..limits import (
    ClientAddresses,
    Limits,
    LocalRoomAllowance,
    Network,
    RateLimiter,
    RoomAllowance,
)
from ..metrics import Metrics
from ..origins import Origins
from ..service import RoomService
from . import handlers, openapi
from .bodies import BODY_LIMIT
from .context import CONTEXT, Context
from .middleware import errors, observe, rate_limit, safety_headers, same_origin


def make_app(service: RoomService, limits: Limits | None = None,
             trusted_proxies: Iterable[Network] = (),
             origins: Origins | None = None, metrics: Metrics | None = None,
             health: Health | None = None,
             rooms: RoomAllowance | None = None) -> web.Application:
    """The application around ``service``; starting it starts the service (the bot takes
    up its pending turns), shutting it down ends the bot's workers and closes the
    WebSockets at once, cleaning it up closes the service. ``X-Forwarded-For`` and
    ``X-Forwarded-Proto`` are believed from ``trusted_proxies`` only. ``origins`` are the
    names and origins it answers for (by default the loopback names, and its own
    origin). ``metrics`` are what ``/metrics`` shows (by default a registry of the
    application's own), ``health`` what ``/healthz`` asks (by default the service's store
    and events), ``rooms`` who counts the clients' new rooms (by default this process)."""
    limits = limits if limits is not None else Limits()
    app = web.Application(client_max_size=BODY_LIMIT,
                          middlewares=[observe, errors, rate_limit, same_origin])
    app.on_response_prepare.append(safety_headers)
    limiter = RateLimiter(limits)
    app[CONTEXT] = Context(service=service, limits=limits, limiter=limiter,
                           rooms=rooms if rooms is not None else LocalRoomAllowance(limiter),
                           addresses=ClientAddresses(trusted_proxies),
                           metrics=metrics if metrics is not None else Metrics(),
                           health=health if health is not None else Health.of(service),
                           origins=origins if origins is not None else Origins())
    app[handlers.SOCKETS] = weakref.WeakSet()

    async def on_startup(app: web.Application) -> None:
        await service.start()

    async def on_shutdown(app: web.Application) -> None:
        # Before the server waits for its requests to end: nothing is left to wait for.
        await service.shutdown()
        await handlers.close_sockets(app)

    async def on_cleanup(app: web.Application) -> None:
        await service.close()

    app.on_startup.append(on_startup)
    app.on_shutdown.append(on_shutdown)
    app.on_cleanup.append(on_cleanup)
    app.router.add_get("/", handlers.page)
    app.router.add_get("/rooms/{room}", handlers.page)
    app.router.add_static("/static/", str(handlers.STATIC))
    app.router.add_get(openapi.PATH, openapi.serve)
    app.router.add_get("/api/config", handlers.config)
    app.router.add_get("/api/texts", handlers.texts_of_codes)
    app.router.add_get("/api/rooms", handlers.list_rooms)
    app.router.add_post("/api/rooms", handlers.create_room)
    app.router.add_get("/api/rooms/{room}", handlers.get_room)
    app.router.add_post("/api/rooms/{room}/join", handlers.join_room)
    app.router.add_post("/api/rooms/{room}/start", handlers.start_game)
    app.router.add_post("/api/rooms/{room}/moves", handlers.post_move)
    app.router.add_post("/api/rooms/{room}/takeback", handlers.take_back)
    app.router.add_post("/api/rooms/{room}/rematch", handlers.rematch)
    app.router.add_get("/api/rooms/{room}/replay", handlers.replay)
    app.router.add_get("/api/rooms/{room}/ws", handlers.watch_room)
    app.router.add_get(handlers.HEALTH_PATH, handlers.node_health)
    app.router.add_get(handlers.METRICS_PATH, handlers.node_metrics)
    return app
