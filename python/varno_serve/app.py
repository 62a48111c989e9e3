"""The web application: the lobby and room pages, the JSON API and a WebSocket per room.

How a move goes through, and why it is safe:

* every change to a room (a move, a seat taken, the bot's move) holds that room's lock,
  so two moves sent at once are judged one after the other, the second against the
  position the first left;
* the change is made on a copy of the room, the copy is committed to the store, and
  only then does it replace the room in memory and go out to the players: a failed
  commit leaves nothing behind, and nothing is acknowledged before it is on the disk;
* the store's blocking calls run on one thread of their own, and the bot's searches in
  worker processes on a pickled board, so the event loop never waits for either; the
  move a worker returns is played with ``Board.play`` on the room's own board.

What leaves the server is ``Room.public_state``: the picture and the public cells, in
which a face-down card is "XX" and nothing more. The board's saved state, which the host
rules read, stays in the room and the store.
"""

from __future__ import annotations

import asyncio
import json
import logging
import re
import secrets
import time
from collections import OrderedDict
from collections.abc import Awaitable, Callable
from concurrent.futures import Executor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from importlib import resources
from typing import Any, Final, TypeVar

from aiohttp import WSMsgType, web

from varno_play.rules import SIDES, Side

from .bot import choose_move
from .room import MAX_DEPTH, MIN_DEPTH, Room, RoomError
from .store import RoomStore

log = logging.getLogger("varno_serve")

BODY_LIMIT: Final = 4096
LOBBY_LIMIT: Final = 50
DEFAULT_DEPTH: Final = 8
# Rooms kept in memory at most (beyond, idle ones are read again from the store).
CACHE_LIMIT: Final = 10_000
ROOM_ID = re.compile(r"[A-Za-z0-9_-]{1,32}")
STATIC = resources.files("varno_serve") / "static"
# Moves, joins and new rooms allowed per client connection: a burst, then a steady rate.
RATE_BURST: Final = 20
RATE_PER_SECOND: Final = 10.0

T = TypeVar("T")

Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


class Bucket:
    """A token bucket: ``take`` is False when the client has used up its allowance."""

    def __init__(self, burst: int, rate: float, now: float) -> None:
        self.burst, self.rate = burst, rate
        self.tokens, self.stamp = float(burst), now

    def take(self, now: float) -> bool:
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now
        if self.tokens < 1:
            return False
        self.tokens -= 1
        return True


class Watcher:
    """One WebSocket watching a room. Only the newest state is kept for it, so a slow
    reader skips states it has not read rather than holding up the room."""

    def __init__(self, ws: web.WebSocketResponse) -> None:
        self.ws = ws
        self.latest: str | None = None
        self.wake = asyncio.Event()

    def offer(self, text: str) -> None:
        self.latest = text
        self.wake.set()

    async def pump(self) -> None:
        while not self.ws.closed:
            await self.wake.wait()
            self.wake.clear()
            text, self.latest = self.latest, None
            if text is not None and not self.ws.closed:
                await self.ws.send_str(text)


def _error(status: int, message: str, **more: Any) -> web.Response:
    return web.json_response({"error": message, **more}, status=status)


class Server:
    """The rooms of one server process: their cache, locks, watchers and bot turns."""

    def __init__(
        self,
        store: RoomStore,
        bot_pool: Callable[[], Executor],
        *,
        rate_burst: int = RATE_BURST,
        rate_per_second: float = RATE_PER_SECOND,
        cache_limit: int = CACHE_LIMIT,
    ) -> None:
        self.store = store
        self._make_pool = bot_pool
        self._pool: Executor | None = None
        self._db = ThreadPoolExecutor(max_workers=1, thread_name_prefix="varno-store")
        # The rooms in memory, least recently used first; the store has them all.
        self.rooms: OrderedDict[str, Room] = OrderedDict()
        self._cache_limit = cache_limit
        self._locks: dict[str, asyncio.Lock] = {}
        self.watchers: dict[str, set[Watcher]] = {}
        self.thinking: set[str] = set()
        self._bots: dict[str, asyncio.Task[None]] = {}
        self._buckets: dict[object, Bucket] = {}
        self._rate = (rate_burst, rate_per_second)

    # -- plumbing ----------------------------------------------------------------

    async def _in_store(self, call: Callable[..., T], *args: Any) -> T:
        return await asyncio.get_running_loop().run_in_executor(self._db, call, *args)

    def _lock(self, room_id: str) -> asyncio.Lock:
        lock = self._locks.get(room_id)
        if lock is None:
            lock = self._locks[room_id] = asyncio.Lock()
        return lock

    async def room(self, room_id: str) -> Room:
        """The room as last committed; RoomError 404 if there is none."""
        room = self.rooms.get(room_id)
        if room is not None:
            self.rooms.move_to_end(room_id)
            return room
        if ROOM_ID.fullmatch(room_id) is None:
            raise RoomError(404, "no such room")
        stored = await self._in_store(self.store.load, room_id)
        if stored is None:
            raise RoomError(404, "no such room")
        # Another task may have loaded it meanwhile; the first one loaded stays.
        room = self.rooms.setdefault(room_id, Room.from_stored(stored))
        self._forget_idle_rooms()
        return room

    async def commit(self, room: Room) -> None:
        """Stores ``room`` (a changed copy) and makes it the room; nothing if it fails."""
        try:
            written = await self._in_store(self.store.update, room.to_stored())
        except BaseException:
            # Whether the write happened is not known: the store decides, on the next load.
            self.rooms.pop(room.room_id, None)
            raise
        if not written:
            self.rooms.pop(room.room_id, None)
            raise RoomError(409, "the room was changed meanwhile; try again")
        self.rooms[room.room_id] = room
        self.rooms.move_to_end(room.room_id)

    def _forget_idle_rooms(self) -> None:
        """Keeps at most ``cache_limit`` rooms in memory, dropping the least recently used
        ones that nothing is using (no lock held, no bot turn, nobody watching)."""
        excess = len(self.rooms) - self._cache_limit
        if excess <= 0:
            return
        for room_id in list(self.rooms):
            lock = self._locks.get(room_id)
            if (lock is not None and lock.locked()) or room_id in self._bots \
                    or room_id in self.watchers:
                continue
            del self.rooms[room_id]
            self._locks.pop(room_id, None)
            excess -= 1
            if excess == 0:
                return

    def state(self, room: Room) -> dict[str, Any]:
        return room.public_state(thinking=room.room_id in self.thinking)

    def broadcast(self, room: Room) -> None:
        watchers = self.watchers.get(room.room_id)
        if watchers:
            text = json.dumps(self.state(room))
            for watcher in watchers:
                watcher.offer(text)

    def allow(self, request: web.Request) -> bool:
        """The rate limit of the client connection that sent ``request``."""
        key = request.transport if request.transport is not None else request.remote
        now = time.monotonic()
        bucket = self._buckets.get(key)
        if bucket is None:
            if len(self._buckets) > 10_000:
                self._buckets = {k: b for k, b in self._buckets.items() if now - b.stamp < 60}
            bucket = self._buckets[key] = Bucket(*self._rate, now)
        return bucket.take(now)

    # -- the bot ---------------------------------------------------------------------

    def start_bot(self, room: Room) -> None:
        """Starts the bot's turn in ``room`` if it is the bot's move and none is running."""
        if room.bot_to_move and room.room_id not in self._bots:
            self.thinking.add(room.room_id)
            self._bots[room.room_id] = asyncio.create_task(self._bot_turns(room.room_id))

    async def _search(self, blob: bytes, side: Side, depth: int) -> str:
        loop = asyncio.get_running_loop()
        for attempt in range(2):
            if self._pool is None:
                self._pool = self._make_pool()
            pool = self._pool
            try:
                return await loop.run_in_executor(pool, choose_move, blob, side, depth)
            except BrokenProcessPool:
                # A worker died (killed, out of memory): start a new pool and search again.
                log.error("a bot worker died; starting new workers")
                if self._pool is pool:
                    self._pool = None
                    pool.shutdown(wait=False, cancel_futures=True)
                if attempt:
                    raise
        raise AssertionError("unreachable")

    async def _bot_turns(self, room_id: str) -> None:
        """Plays the bot's moves in the room for as long as it is the bot's turn."""
        try:
            while True:
                try:
                    if not await self._bot_move(room_id):
                        return
                except asyncio.CancelledError:
                    raise
                except Exception:
                    log.exception("the bot's move in room %s failed; trying again", room_id)
                    await asyncio.sleep(1.0)
        finally:
            self._bots.pop(room_id, None)
            self.thinking.discard(room_id)
            cached = self.rooms.get(room_id)
            if cached is not None:
                self.broadcast(cached)

    async def _bot_move(self, room_id: str) -> bool:
        """One move of the bot; False when it is not (or no longer) the bot's turn."""
        room = await self.room(room_id)
        if not room.bot_to_move or room.to_move is None or room.depth is None:
            return False
        side, version = room.to_move, room.version
        self.broadcast(room)
        move = await self._search(room.board_blob(), side, room.depth)
        async with self._lock(room_id):
            room = await self.room(room_id)
            if room.version != version:
                return True
            candidate = room.copy()
            refused = candidate.play_bot(move)
            if refused is not None:
                # Never expected: the first legal move was played instead.
                log.error("room %s: the bot's move was not played (%s)", room_id, refused)
            await self.commit(candidate)
        if not candidate.bot_to_move:
            self.thinking.discard(room_id)
        self.broadcast(candidate)
        return candidate.bot_to_move

    async def resume(self) -> None:
        """After a start: the bot takes up its turn in every room waiting for it. A room
        the store cannot give back is logged and left, so that it does not keep the
        server, and every other room, from starting."""
        for room_id in await self._in_store(self.store.rooms_waiting_for_bot):
            try:
                room = await self.room(room_id)
            except Exception:
                log.exception("room %s cannot be loaded; its bot turn is not resumed", room_id)
                continue
            self.start_bot(room)

    async def close(self) -> None:
        tasks = list(self._bots.values())
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
        await self._in_store(self.store.close)
        self._db.shutdown(wait=True)

    # -- requests -----------------------------------------------------------------------

    async def create_room(self, body: dict[str, Any]) -> tuple[Room, str]:
        mode = body.get("mode")
        room_id = secrets.token_urlsafe(9)
        if mode == "bot":
            _only(body, {"mode", "side", "depth"})
            side = body.get("side", "A")
            depth = body.get("depth", DEFAULT_DEPTH)
            if side not in SIDES:
                raise RoomError(400, 'side must be "A" or "B"')
            if type(depth) is not int or not MIN_DEPTH <= depth <= MAX_DEPTH:
                raise RoomError(400, f"depth must be a whole number from {MIN_DEPTH} to {MAX_DEPTH}")
            room, token = Room.against_bot(room_id, "A" if side == "A" else "B", depth)
        elif mode == "humans":
            _only(body, {"mode"})
            room, token = Room.for_humans(room_id)
        else:
            raise RoomError(400, 'mode must be "bot" or "humans"')
        await self._in_store(self.store.create, room.to_stored())
        self.rooms[room.room_id] = room
        self.start_bot(room)
        self._forget_idle_rooms()
        return room, token

    async def join(self, room_id: str) -> tuple[Room, Side, str]:
        async with self._lock(room_id):
            candidate = (await self.room(room_id)).copy()
            side, token = candidate.join()
            await self.commit(candidate)
        self.broadcast(candidate)
        return candidate, side, token

    async def move(self, room_id: str, move: str, token: str) -> Room:
        async with self._lock(room_id):
            room = await self.room(room_id)
            side = room.seat_of(token)
            if side is None:
                raise RoomError(403, "that secret holds no seat in this room")
            candidate = room.copy()
            try:
                candidate.play(move, side)
            except ValueError as refused:
                raise RoomError(422, str(refused)) from None
            await self.commit(candidate)
        self.start_bot(candidate)
        self.broadcast(candidate)
        return candidate


SERVER_KEY: Final = web.AppKey("server", Server)


def _only(body: dict[str, Any], allowed: set[str]) -> None:
    unknown = sorted(set(body) - allowed)
    if unknown:
        raise RoomError(400, f"unknown field(s): {', '.join(unknown)}")


def _no_constants(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


async def read_body(request: web.Request, allowed: set[str], required: set[str]) -> dict[str, Any]:
    """The request's JSON object; RoomError 400 (or 413) unless it is one with only
    ``allowed`` fields and all ``required`` ones. An empty body is an empty object."""
    if request.content_length is not None and request.content_length > BODY_LIMIT:
        raise RoomError(413, f"the body is over {BODY_LIMIT} bytes")
    try:
        raw = await request.read()
    except web.HTTPRequestEntityTooLarge:
        raise RoomError(413, f"the body is over {BODY_LIMIT} bytes") from None
    if not raw.strip() and not required:
        return {}
    try:
        body = json.loads(raw.decode("utf-8"), parse_constant=_no_constants)
    except (UnicodeDecodeError, ValueError):
        raise RoomError(400, "the body is not JSON") from None
    if not isinstance(body, dict):
        raise RoomError(400, "the body must be a JSON object")
    _only(body, allowed)
    missing = sorted(required - set(body))
    if missing:
        raise RoomError(400, f"missing field(s): {', '.join(missing)}")
    return body


def _text_field(body: dict[str, Any], name: str) -> str:
    value = body[name]
    if not isinstance(value, str):
        raise RoomError(400, f"{name} must be a string")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise RoomError(400, f"{name} is not valid text") from None
    return value


# -- handlers ------------------------------------------------------------------------

def _server(request: web.Request) -> Server:
    return request.app[SERVER_KEY]


def _limited(request: web.Request) -> None:
    if not _server(request).allow(request):
        raise RoomError(429, "too many requests from this connection; slow down")


async def list_rooms(request: web.Request) -> web.Response:
    summaries = await _server(request)._in_store(_server(request).store.open_rooms, LOBBY_LIMIT)
    return web.json_response({"rooms": [
        {"room": s.room_id, "mode": s.mode, "free_seat": s.free_seat, "moves": s.moves}
        for s in summaries
    ]})


async def create_room(request: web.Request) -> web.Response:
    _limited(request)
    body = await read_body(request, {"mode", "side", "depth"}, {"mode"})
    room, token = await _server(request).create_room(body)
    seat = "A" if room.mode == "humans" else next(s for s in SIDES if s != room.bot_side)
    return web.json_response({"room": room.room_id, "seat": seat, "token": token}, status=201)


async def get_room(request: web.Request) -> web.Response:
    server = _server(request)
    room = await server.room(request.match_info["room"])
    return web.json_response(server.state(room))


async def join_room(request: web.Request) -> web.Response:
    _limited(request)
    await read_body(request, set(), set())
    room, side, token = await _server(request).join(request.match_info["room"])
    return web.json_response({"room": room.room_id, "seat": side, "token": token})


async def post_move(request: web.Request) -> web.Response:
    _limited(request)
    body = await read_body(request, {"move", "token"}, {"move", "token"})
    server = _server(request)
    room = await server.move(request.match_info["room"], _text_field(body, "move"),
                             _text_field(body, "token"))
    return web.json_response(server.state(room))


async def watch_room(request: web.Request) -> web.WebSocketResponse:
    server = _server(request)
    room_id = request.match_info["room"]
    room = await server.room(room_id)
    ws = web.WebSocketResponse(heartbeat=30.0, max_msg_size=BODY_LIMIT)
    await ws.prepare(request)
    watcher = Watcher(ws)
    server.watchers.setdefault(room_id, set()).add(watcher)
    watcher.offer(json.dumps(server.state(server.rooms.get(room_id, room))))
    pump = asyncio.create_task(watcher.pump())
    try:
        # Watching only: what the client sends is read (to see it close) and ignored.
        async for message in ws:
            if message.type == WSMsgType.ERROR:
                break
    finally:
        pump.cancel()
        await asyncio.gather(pump, return_exceptions=True)
        watchers = server.watchers.get(room_id)
        if watchers is not None:
            watchers.discard(watcher)
            if not watchers:
                del server.watchers[room_id]
    return ws


async def page(request: web.Request) -> web.Response:
    if "room" in request.match_info:
        await _server(request).room(request.match_info["room"])
    html = (STATIC / "index.html").read_text(encoding="utf-8")
    return web.Response(text=html, content_type="text/html")


@web.middleware
async def errors_and_headers(request: web.Request, handler: Handler) -> web.StreamResponse:
    """Refusals as JSON ``{"error": ...}`` with their status; the page's safety headers."""
    try:
        response = await handler(request)
    except RoomError as refused:
        if request.path.startswith("/api/"):
            return _error(refused.status, refused.message)
        return web.Response(status=refused.status, text=f"{refused.message}\n")
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
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        response.headers.setdefault(
            "Content-Security-Policy",
            "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
        )
        response.headers.setdefault("Referrer-Policy", "no-referrer")
    return response


def make_app(server: Server) -> web.Application:
    """The application around ``server``; starting it resumes the bot's pending turns,
    cleaning it up closes the server."""
    app = web.Application(client_max_size=BODY_LIMIT, middlewares=[errors_and_headers])
    app[SERVER_KEY] = server

    async def on_startup(app: web.Application) -> None:
        await server.resume()

    async def on_cleanup(app: web.Application) -> None:
        await server.close()

    app.on_startup.append(on_startup)
    app.on_cleanup.append(on_cleanup)
    app.router.add_get("/", page)
    app.router.add_get("/rooms/{room}", page)
    app.router.add_static("/static/", str(STATIC))
    app.router.add_get("/api/rooms", list_rooms)
    app.router.add_post("/api/rooms", create_room)
    app.router.add_get("/api/rooms/{room}", get_room)
    app.router.add_post("/api/rooms/{room}/join", join_room)
    app.router.add_post("/api/rooms/{room}/moves", post_move)
    app.router.add_get("/api/rooms/{room}/ws", watch_room)
    return app
