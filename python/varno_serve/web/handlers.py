"""The handlers of the page and of the JSON API: each reads what it is asked, calls the
room service and writes its answer. What they refuse, they raise (``varno_serve.errors``);
the middleware gives it its status."""

from __future__ import annotations

import asyncio
import time
import weakref
from importlib import resources
from typing import Final

from aiohttp import WSCloseCode, WSMsgType, web

from .. import texts
from ..errors import Invalid, NotFound, TooMany
from ..events import Feed
from ..metrics import CONTENT_TYPE, Metrics
from ..room import DEFAULT_DEPTH, MAX_DEPTH, MIN_DEPTH
from ..store import StoreUnavailable
from .bodies import BODY_LIMIT, new_room, read_json, text_field
from .context import client_of, context

LOBBY_LIMIT: Final = 50
STATIC = resources.files("varno_serve") / "static"
PAGE: Final = (STATIC / "index.html").read_text(encoding="utf-8")
# The open WebSockets, closed when the server shuts down; how long their closing may take.
Sockets = weakref.WeakSet[web.WebSocketResponse]
SOCKETS: Final = web.AppKey[Sockets]("sockets")
CLOSE_SECONDS: Final = 0.5
# For load balancers and the monitoring.
HEALTH_PATH: Final = "/healthz"
METRICS_PATH: Final = "/metrics"
# The route whose answers are the moves' acknowledgements.
MOVES_ROUTE: Final = "/api/rooms/{room}/moves"


def _seconds(request: web.Request) -> float:
    """How long a body may take to arrive."""
    return context(request).limits.idle_seconds


def _state(text: str) -> web.Response:
    return web.Response(text=text, content_type="application/json")


def _cacheable(response: web.Response) -> web.Response:
    """``response``, which changes only with the server's version, as cacheable."""
    response.headers["Cache-Control"] = "public, max-age=3600"
    return response


async def config(request: web.Request) -> web.Response:
    """What a client needs to know to ask for a room: the depths the bot may search."""
    return _cacheable(web.json_response(
        {"depth": {"min": MIN_DEPTH, "max": MAX_DEPTH, "default": DEFAULT_DEPTH}}))


async def texts_of_codes(request: web.Request) -> web.Response:
    """Every refusal's, outcome's and result's text by code, in each language."""
    return _cacheable(web.json_response(texts.document()))


async def list_rooms(request: web.Request) -> web.Response:
    """Games under way, for anyone to watch: a room for two waiting for its invited
    player is not listed (nobody else may take its seat)."""
    summaries = await context(request).service.open_rooms(LOBBY_LIMIT)
    return web.json_response({"rooms": [
        {"room": s.room_id, "mode": s.mode, "moves": s.moves} for s in summaries
    ]})


async def create_room(request: web.Request) -> web.Response:
    body = await read_json(request, {"mode", "side", "depth"}, {"mode"}, seconds=_seconds(request))
    mode, side, depth = new_room(body)
    wait = await context(request).rooms.new_room(client_of(request))
    if wait:
        raise TooMany("too many new rooms from this address; try again later", "too_many_rooms",
                      wait)
    room, seat, token, invite = await context(request).service.create(mode, side, depth)
    made = {"room": room.room_id, "seat": seat, "token": token}
    if invite is not None:
        made["invite"] = invite
    return web.json_response(made, status=201)


async def get_room(request: web.Request) -> web.Response:
    room = await context(request).service.room(request.match_info["room"])
    return _state(room.public_json())


async def join_room(request: web.Request) -> web.Response:
    body = await read_json(request, {"invite"}, set(), seconds=_seconds(request))
    invite = text_field(body, "invite") if "invite" in body else None
    room, side, token = await context(request).service.join(request.match_info["room"], invite)
    return web.json_response({"room": room.room_id, "seat": side, "token": token})


async def _token(request: web.Request) -> str:
    """The seat's secret of a body that is ``{"token": ...}``."""
    body = await read_json(request, {"token"}, {"token"}, seconds=_seconds(request))
    return text_field(body, "token")


async def start_game(request: web.Request) -> web.Response:
    room = await context(request).service.start_game(request.match_info["room"],
                                                     await _token(request))
    return _state(room.public_json())


async def post_move(request: web.Request) -> web.Response:
    body = await read_json(request, {"move", "token"}, {"move", "token"}, seconds=_seconds(request))
    room = await context(request).service.move(
        request.match_info["room"], text_field(body, "move"), text_field(body, "token"))
    return _state(room.public_json())


async def take_back(request: web.Request) -> web.Response:
    room = await context(request).service.take_back(request.match_info["room"],
                                                    await _token(request))
    return _state(room.public_json())


async def rematch(request: web.Request) -> web.Response:
    room, side, token = await context(request).service.rematch(request.match_info["room"],
                                                               await _token(request))
    return web.json_response({"room": room.room_id, "seat": side, "token": token})


async def replay(request: web.Request) -> web.Response:
    room = await context(request).service.room(request.match_info["room"])
    return web.json_response(room.replay())


async def watch_room(request: web.Request) -> web.WebSocketResponse:
    """The room's state now, then after every change; what the client sends is read (to
    see it close) and ignored."""
    service = context(request).service
    room_id = request.match_info["room"]
    await service.room(room_id)
    ws = web.WebSocketResponse(heartbeat=30.0, max_msg_size=BODY_LIMIT)
    if not ws.can_prepare(request).ok:
        raise Invalid("not a WebSocket handshake", "not_websocket")
    await ws.prepare(request)
    request.app[SOCKETS].add(ws)
    metrics = context(request).metrics
    metrics.watchers.inc()
    try:
        async with service.events.subscribe(room_id) as feed:
            # Read again once subscribed, so that no change between the two is missed.
            try:
                room = await service.room(room_id)
            except NotFound:
                await ws.close()
                return ws
            except StoreUnavailable:
                # Upgraded already: the client is told to come back (1013), as a 503 would.
                await ws.close(code=WSCloseCode.TRY_AGAIN_LATER, message=b"try again later")
                return ws
            feed.offer(room.version, room.public_json())
            pump = asyncio.create_task(_pump(feed, ws, metrics))
            try:
                async for message in ws:
                    if message.type == WSMsgType.ERROR:
                        break
            finally:
                pump.cancel()
                await asyncio.gather(pump, return_exceptions=True)
    finally:
        metrics.watchers.dec()
    return ws


async def close_sockets(app: web.Application) -> None:
    """Closes the open WebSockets, "going away" (1001), so that the server's shutdown does
    not wait for their clients to leave; a client that does not answer within
    CLOSE_SECONDS is cut off."""
    sockets: Sockets = app[SOCKETS]
    closing = [asyncio.wait_for(ws.close(code=WSCloseCode.GOING_AWAY,
                                         message=b"the server is going away"), CLOSE_SECONDS)
               for ws in list(sockets)]
    await asyncio.gather(*closing, return_exceptions=True)


async def _pump(feed: Feed, ws: web.WebSocketResponse, metrics: Metrics) -> None:
    while not ws.closed:
        push = await feed.take()
        if not ws.closed:
            await ws.send_str(push.text)
            if push.published is not None:
                metrics.push_seconds.labels(push.via).observe(
                    max(0.0, time.time() - push.published))


async def node_health(request: web.Request) -> web.Response:
    """The node's name and whether its store, events and bot's queue answer: 200 while
    the store does (the node serves), 503 when it does not."""
    report = await context(request).health.report()
    response = web.json_response(report, status=200 if report["store"] == "up" else 503)
    response.headers["Cache-Control"] = "no-store"
    return response


async def node_metrics(request: web.Request) -> web.Response:
    """The process's metrics, in the Prometheus text format."""
    response = web.Response(body=context(request).metrics.exposition())
    response.headers["Content-Type"] = CONTENT_TYPE
    response.headers["Cache-Control"] = "no-store"
    return response


async def page(request: web.Request) -> web.Response:
    """The page; for a room that does not exist, the page still, with 404: it tells the
    player so and leads back to the lobby."""
    if "room" in request.match_info:
        try:
            await context(request).service.room(request.match_info["room"])
        except NotFound:
            return web.Response(text=PAGE, content_type="text/html", status=404)
    return web.Response(text=PAGE, content_type="text/html")
