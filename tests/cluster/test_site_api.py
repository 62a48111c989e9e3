"""One API suite, two sites: one ``varno-serve`` process on SQLite with its own bot
workers, and the cluster through HAProxy (three nodes on PostgreSQL, events and the
bot's queue on Redis, two workers), where consecutive requests reach different nodes.
Whole games, the refusals, the WebSocket, invites and the start behave the same."""

from __future__ import annotations

import asyncio
import random
from typing import Any

import aiohttp
import pytest
from cluster_fixtures import Api, api, site  # noqa: F401
from serve_helpers import next_state

MAX_MOVES = 40


class TestRoomsForTwo:
    async def test_a_game_from_the_invite_to_its_end(self, api: Api) -> None:
        made = await api.ok("POST", "/api/rooms", {"mode": "humans"})
        room = made["room"]
        assert made["seat"] == "A" and made["invite"]
        waiting = await api.state(room)
        assert waiting["seats"] == {"A": "taken", "B": "free"} and waiting["version"] == 0
        lobby = await api.ok("GET", "/api/rooms")
        assert room not in [entry["room"] for entry in lobby["rooms"]]
        # No game before the invited player comes; no seat without the invite.
        assert (await api.move(room, made["token"], waiting["legal"][0]))[0] == 409
        assert (await api.call("POST", f"/api/rooms/{room}/join", {}))[0] == 403
        assert (await api.call("POST", f"/api/rooms/{room}/join", {"invite": "x" * 32}))[0] \
            == 403
        joined = await api.ok("POST", f"/api/rooms/{room}/join", {"invite": made["invite"]})
        assert joined["seat"] == "B"
        assert (await api.call("POST", f"/api/rooms/{room}/join",
                               {"invite": made["invite"]}))[0] == 409
        tokens = {"A": made["token"], "B": joined["token"]}
        lobby = await api.ok("GET", "/api/rooms")
        assert room in [entry["room"] for entry in lobby["rooms"]]

        rng = random.Random(3)
        state = await api.state(room)
        played: list[str] = []
        while state["result"] is None and len(played) < MAX_MOVES:
            mv = rng.choice(state["legal"])
            status, after = await api.move(room, tokens[state["to_move"]], mv)
            assert status == 200, after
            assert after["version"] == state["version"] + 1
            played.append(mv)
            # Read back, on whichever node: the state acknowledged.
            state = await api.state(room)
            assert state == after
        assert [turn["move"] for turn in state["history"] if turn["move"]] == played
        assert all(turn["by"] == "human" for turn in state["history"])

    async def test_refusals_change_nothing(self, api: Api) -> None:
        room, tokens = await api.humans()
        before = await api.state(room)
        assert before["to_move"] == "A"
        refusals: list[tuple[int, tuple[Any, ...]]] = [
            (404, ("GET", "/api/rooms/nosuchroomhere")),
            (404, ("POST", "/api/rooms/nosuchroomhere/moves",
                   {"move": "A1", "token": tokens["A"]})),
            (403, ("POST", f"/api/rooms/{room}/moves", {"move": "A1", "token": "x" * 32})),
            (409, ("POST", f"/api/rooms/{room}/moves",
                   {"move": before["legal"][0], "token": tokens["B"]})),
            (422, ("POST", f"/api/rooms/{room}/moves", {"move": "Z9", "token": tokens["A"]})),
            (400, ("POST", f"/api/rooms/{room}/moves",
                   {"move": "A1", "token": tokens["A"], "extra": 1})),
            (400, ("POST", "/api/rooms", {"mode": "bot", "depth": 13})),
        ]
        for status, request in refusals:
            got, answer = await api.call(*request)
            assert got == status and "error" in answer, (request, got, answer)
        status, answer = await api.move(room, tokens["A"], "Z9")
        assert answer == {"error": "Coordenada inválida.", "code": "invalid_coordinate"}
        # Not JSON, another host, a page of another origin, a method no route takes.
        assert (await api.call("POST", f"/api/rooms/{room}/moves", data="A1",
                               headers={"Content-Type": "text/plain"}))[0] == 415
        assert (await api.call("GET", f"/api/rooms/{room}",
                               headers={"Host": "evil.example"}))[0] == 421
        assert (await api.call("POST", f"/api/rooms/{room}/moves",
                               {"move": before["legal"][0], "token": tokens["A"]},
                               headers={"Origin": "http://evil.example"}))[0] == 403
        async with api.session.put("/api/rooms") as response:
            assert response.status == 405 and "POST" in response.headers["Allow"]
        assert await api.state(room) == before


class TestWatching:
    async def test_a_watcher_gets_the_state_then_every_change(self, api: Api) -> None:
        room, tokens = await api.humans()
        async with api.session.ws_connect(f"/api/rooms/{room}/ws") as ws:
            state = await next_state(ws, 0)
            assert state == await api.state(room)
            for _ in range(6):
                status, after = await api.move(room, tokens[state["to_move"]],
                                               state["legal"][0])
                assert status == 200
                state = await next_state(ws, after["version"])
                # Each change, in turn: none skipped while the watcher keeps up.
                assert state == after
        # A room that does not exist: refused before the upgrade.
        with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
            await api.session.ws_connect("/api/rooms/nosuchroomhere/ws")
        assert refused.value.status == 404


class TestAgainstTheBot:
    async def test_the_bot_answers_each_move_over_the_websocket(self, api: Api) -> None:
        made = await api.ok("POST", "/api/rooms", {"mode": "bot", "side": "A", "depth": 3})
        room, token = made["room"], made["token"]
        async with api.session.ws_connect(f"/api/rooms/{room}/ws") as ws:
            state = await next_state(ws, 0)
            for _ in range(4):
                if state["result"] is not None:
                    break
                status, after = await api.move(room, token, state["legal"][0])
                assert status == 200, after
                state = await next_state(ws, after["version"])
                while state["to_move"] != "A" and state["result"] is None:
                    state = await next_state(ws, state["version"] + 1)
        history = (await api.state(room))["history"]
        assert [(turn["side"], turn["by"]) for turn in history] == \
            [("A", "human"), ("B", "bot")] * (len(history) // 2) + \
            [("A", "human")] * (len(history) % 2)
        assert len(history) >= 2

    async def test_where_the_bot_moves_first_nothing_is_searched_until_the_start(
            self, api: Api) -> None:
        made = await api.ok("POST", "/api/rooms", {"mode": "bot", "side": "B", "depth": 2})
        room, token = made["room"], made["token"]
        fresh = await api.state(room)
        assert (fresh["started"], fresh["thinking"], fresh["version"]) == (False, False, 0)
        await asyncio.sleep(0.5)
        assert await api.state(room) == fresh
        assert (await api.call("POST", f"/api/rooms/{room}/start", {"token": "x" * 32}))[0] \
            == 403
        async with api.session.ws_connect(f"/api/rooms/{room}/ws") as ws:
            await next_state(ws, 0)
            started = await api.ok("POST", f"/api/rooms/{room}/start", {"token": token})
            assert started["started"] and started["version"] == 1
            moved = await next_state(ws, 2)
        assert [turn["by"] for turn in moved["history"]] == ["bot"]
        assert moved["to_move"] == "B"
        again = await api.ok("POST", f"/api/rooms/{room}/start", {"token": token})
        assert again["version"] == moved["version"]


class TestTheSite:
    async def test_health_says_what_the_site_is_made_of(self, api: Api,
                                                        request: pytest.FixtureRequest) -> None:
        status, health = await api.call("GET", "/healthz")
        assert status == 200 and health["store"] == "up"
        cluster = "cluster" in request.node.callspec.id
        parts = "up" if cluster else "local"
        assert (health["events"], health["queue"]) == (parts, parts)
        # The metrics are the monitoring's: on the cluster it scrapes each node, and the
        # public front does not pass them on.
        if cluster:
            async with api.session.get("/metrics") as response:
                assert response.status == 404
            node = request.getfixturevalue("cluster").nodes[0]
            async with aiohttp.ClientSession(node.url) as direct, \
                    direct.get("/metrics") as response:
                assert response.status == 200
                assert "varno_requests_total" in await response.text()
        else:
            async with api.session.get("/metrics") as response:
                assert response.status == 200
                assert "varno_requests_total" in await response.text()
