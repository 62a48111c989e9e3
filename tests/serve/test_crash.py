"""kill -9 of a real varno-serve process with moves in flight, then a restart on the same
database: every acknowledged move is there, nothing else is, and each board is the one
its history leads to (replayed on the pure-Python model of the rules)."""

from __future__ import annotations

import asyncio
import random
import sys
import time
from pathlib import Path
from typing import Any

import aiohttp
from serve_helpers import ServerProcess

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from rules_model import Model  # noqa: E402

HUMAN_ROOMS = 4
BOT_ROOMS = 4
PLAY_SECONDS = 1.5


class Seen:
    """What a room's clients were told: its deal, and the longest acknowledged history."""

    def __init__(self, deal: str) -> None:
        self.deal = deal
        self.history: list[dict[str, Any]] = []
        self.picture = deal

    def told(self, state: dict[str, Any]) -> None:
        if len(state["history"]) >= len(self.history):
            self.history, self.picture = state["history"], state["picture"]


async def make_rooms(url: str) -> dict[str, tuple[Seen, dict[str, str]]]:
    rooms: dict[str, tuple[Seen, dict[str, str]]] = {}
    async with aiohttp.ClientSession(url) as session:
        for n in range(HUMAN_ROOMS + BOT_ROOMS):
            body = {"mode": "humans"} if n < HUMAN_ROOMS else {"mode": "bot", "depth": 3}
            async with session.post("/api/rooms", json=body) as response:
                made = await response.json()
            tokens = {made["seat"]: made["token"]}
            if n < HUMAN_ROOMS:
                async with session.post(f"/api/rooms/{made['room']}/join",
                                        json={"invite": made["invite"]}) as response:
                    joined = await response.json()
                tokens[joined["seat"]] = joined["token"]
            async with session.get(f"/api/rooms/{made['room']}") as response:
                state = await response.json()
            assert state["history"] == []
            rooms[made["room"]] = (Seen(state["picture"]), tokens)
    return rooms


async def play(url: str, room: str, seen: Seen, tokens: dict[str, str], seed: int) -> None:
    """Moves as fast as the room allows, until the server goes away."""
    rng = random.Random(seed)
    try:
        async with aiohttp.ClientSession(url) as session:
            while True:
                async with session.get(f"/api/rooms/{room}") as response:
                    state = await response.json()
                seen.told(state)
                if state["result"] is not None:
                    return
                if state["to_move"] not in tokens:
                    await asyncio.sleep(0.005)
                    continue
                move = {"move": rng.choice(state["legal"]), "token": tokens[state["to_move"]]}
                async with session.post(f"/api/rooms/{room}/moves", json=move) as response:
                    if response.status == 200:
                        seen.told(await response.json())
    except (aiohttp.ClientError, ConnectionError, asyncio.TimeoutError):
        return


async def play_then_kill(server: ServerProcess, rooms: dict[str, tuple[Seen, dict[str, str]]],
                         seed: int) -> str:
    """Plays in ``rooms``, then kills the server; a room whose bot was thinking then."""
    clients = [asyncio.create_task(play(server.url, room, seen, tokens, seed + n))
               for n, (room, (seen, tokens)) in enumerate(rooms.items())]
    await asyncio.sleep(PLAY_SECONDS)
    # The bot moves first here, at the greatest depth: a second or more of search.
    async with aiohttp.ClientSession(server.url) as session:
        async with session.post("/api/rooms", json={"mode": "bot", "side": "B", "depth": 12}) as r:
            made = await r.json()
        thinking: str = made["room"]
        async with session.post(f"/api/rooms/{thinking}/start",
                                json={"token": made["token"]}) as r:
            assert r.status == 200
    await asyncio.sleep(0.2)
    workers = server.children()
    assert workers
    server.kill()
    await asyncio.wait_for(asyncio.gather(*clients), timeout=30)
    # The bot's workers do not outlive the server, even killed in a search.
    deadline = time.monotonic() + 10
    while any(Path(f"/proc/{pid}").exists() for pid in workers):
        assert time.monotonic() < deadline, "a bot worker outlived the killed server"
        await asyncio.sleep(0.05)
    return thinking


def replayed(deal: str, history: list[dict[str, Any]]) -> str:
    model = Model.from_picture(deal)
    for turn in history:
        if turn["move"] is not None:
            model.play(turn["move"], turn["side"])
    picture: str = model.render()
    return picture


async def check_restored(url: str, rooms: dict[str, tuple[Seen, dict[str, str]]]) -> int:
    """Compares every room with what was acknowledged; the number of moves found."""
    total = 0
    async with aiohttp.ClientSession(url) as session:
        for room, (seen, _) in rooms.items():
            async with session.get(f"/api/rooms/{room}") as response:
                assert response.status == 200
                state = await response.json()
            history = state["history"]
            # Every acknowledged move is there, in order.
            assert history[:len(seen.history)] == seen.history, room
            # Beyond them, at most the one move of a person that was in flight when the
            # server died (and what the bot played after it).
            beyond = history[len(seen.history):]
            assert sum(1 for turn in beyond if turn["by"] == "human" and turn["move"]) <= 1
            if history == seen.history:
                assert state["picture"] == seen.picture
            # The stored board is the one this history leads to: nothing half-applied.
            assert state["picture"] == replayed(seen.deal, history), room
            total += sum(1 for turn in history if turn["move"] is not None)
    return total


def test_kill_9_with_moves_in_flight_loses_nothing_acknowledged(tmp_path: Path) -> None:
    db = tmp_path / "rooms.db"
    server = ServerProcess(db)
    rooms: dict[str, tuple[Seen, dict[str, str]]] = {}
    try:
        for round_ in range(2):
            fresh = asyncio.run(make_rooms(server.url))
            rooms.update(fresh)
            waiting = asyncio.run(play_then_kill(server, fresh, seed=100 * round_))
            server = ServerProcess(db)
            moves = asyncio.run(check_restored(server.url, rooms))
            assert moves > 0
            # After the restart the bot takes up the turn it had not finished.
            deadline = time.monotonic() + 60
            while not asyncio.run(_state(server.url, waiting))["history"]:
                assert time.monotonic() < deadline, "the bot did not resume its turn"
                time.sleep(0.05)
    finally:
        server.stop()
    # The server logged every request, and no seat's secret.
    log = server.log.read_text()
    assert "POST /api/rooms/" in log
    for _, tokens in rooms.values():
        for token in tokens.values():
            assert token not in log


async def _state(url: str, room: str) -> dict[str, Any]:
    async with aiohttp.ClientSession(url) as session, session.get(f"/api/rooms/{room}") as response:
        state: dict[str, Any] = await response.json()
        return state
