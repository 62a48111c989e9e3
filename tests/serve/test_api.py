"""The HTTP and WebSocket API of varno-serve against an in-process server: whole games,
every refusal, concurrent moves, restarts on the same database, hidden cards."""

from __future__ import annotations

import asyncio
import dataclasses
import json
import pickle
import random
import re
import sqlite3
from pathlib import Path
from typing import Any

import aiohttp
import pytest
import varno
from serve_helpers import (
    assert_nothing_hidden,
    begin,
    board_of,
    cached,
    create,
    get_state,
    move,
    slow_down_updates,
    wait_for,
)
from varno_serve.room import DEFAULT_DEPTH, MAX_DEPTH, MIN_DEPTH, Room, load_board
from varno_serve.store import StoredRoom, StoreUnavailable
from varno_serve.store.sqlite import SqliteRoomStore

DEPTH = 2  # the bot at a low depth keeps whole games short


async def play_out(client: Any, room: str, tokens: dict[str, str], rng: random.Random,
                   pushes: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    """Plays random legal moves for the seats in ``tokens`` until the game is over,
    waiting for the bot when it is its turn; the final state."""
    state = await get_state(client, room)
    while state["result"] is None:
        side = state["to_move"]
        if side not in tokens:
            version = state["version"]
            await wait_for(lambda: cached(client, room).version > version)
            state = await get_state(client, room)
            continue
        before = state["history"]
        status, state = await move(client, room, tokens[side], rng.choice(state["legal"]))
        assert status == 200, state
        assert state["history"][:len(before)] == before
    return state


class TestWholeGames:
    async def test_two_seats_play_to_the_end(self, client: Any) -> None:
        made = await create(client, mode="humans")
        assert made["seat"] == "A" and made["token"]
        room = made["room"]
        response = await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        joined = await response.json()
        assert response.status == 200 and joined["seat"] == "B" and joined["room"] == room
        assert joined["token"] != made["token"]

        final = await play_out(client, room, {"A": made["token"], "B": joined["token"]},
                               random.Random(1))
        assert final["to_move"] is None and final["legal"] == []
        assert final["result"].startswith(("A wins", "B wins", "draw"))
        moves = [t for t in final["history"] if t["move"] is not None]
        assert final["moves"] == len(moves) and all(t["by"] == "human" for t in moves)
        # A finished game is no longer in the lobby's list.
        listed = await (await client.get("/api/rooms")).json()
        assert room not in [r["room"] for r in listed["rooms"]]

    @pytest.mark.parametrize("side", ["A", "B"])
    async def test_a_game_against_the_bot_with_its_pushes(self, client: Any, side: str) -> None:
        made = await create(client, mode="bot", side=side, depth=DEPTH)
        assert made["seat"] == side
        room = made["room"]
        pushes: list[dict[str, Any]] = []
        async with client.ws_connect(f"/api/rooms/{room}/ws") as ws:

            async def read() -> None:
                async for message in ws:
                    assert_nothing_hidden(client, message.data)
                    pushes.append(json.loads(message.data))

            reader = asyncio.create_task(read())
            if side == "B":
                await begin(client, made)       # the bot moves first
            final = await play_out(client, room, {side: made["token"]}, random.Random(2))
            await wait_for(lambda: bool(pushes) and pushes[-1]["version"] == final["version"])
            reader.cancel()
        bot = "B" if side == "A" else "A"
        history = final["history"]
        assert {t["side"] for t in history if t["by"] == "bot"} <= {bot}
        assert any(t["by"] == "bot" and t["move"] for t in history)
        if side == "B":
            assert history[0] == {"side": "A", "move": history[0]["move"], "by": "bot"}
        # The pushes follow the game: the versions only grow, the bot's thinking is shown,
        # and the last one is the final state.
        versions = [p["version"] for p in pushes]
        assert versions == sorted(versions)
        assert any(p["thinking"] for p in pushes)
        assert pushes[-1]["result"] == final["result"] and not pushes[-1]["thinking"]

    async def test_the_bot_moves_are_played_on_the_rooms_board(self, client: Any) -> None:
        made = await create(client, mode="bot", side="B", depth=DEPTH)
        room = made["room"]
        await begin(client, made)
        await wait_for(lambda: cached(client, room).version == 2)
        state = await get_state(client, room)
        assert state["to_move"] == "B" and not state["thinking"]
        assert len(state["history"]) == 1 and state["history"][0]["by"] == "bot"
        assert state["moves"] == 1


class TestHiddenCards:
    async def test_the_referees_states_stay_in_the_store(self, client: Any) -> None:
        """The host rules read the board's saved state and the referee keeps every state
        it was given: the store holds them, and no response or push carries any."""
        made = await create(client, mode="bot", side="A", depth=DEPTH)
        room = made["room"]
        texts: list[str] = []
        pushes: list[str] = []
        async with client.ws_connect(f"/api/rooms/{room}/ws") as ws:

            async def read() -> None:
                async for message in ws:
                    pushes.append(message.data)

            reader = asyncio.create_task(read())
            rng = random.Random(6)
            for _ in range(6):
                await wait_for(lambda: cached(client, room).to_move in ("A", None))
                response = await client.get(f"/api/rooms/{room}")
                texts.append(await response.text())
                state = json.loads(texts[-1])
                if state["result"] is not None:
                    break
                response = await client.post(f"/api/rooms/{room}/moves", json={
                    "move": rng.choice(state["legal"]), "token": made["token"]})
                assert response.status == 200
                texts.append(await response.text())
            await wait_for(lambda: cached(client, room).to_move in ("A", None))
            final = cached(client, room).version
            await wait_for(lambda: bool(pushes) and json.loads(pushes[-1])["version"] == final)
            reader.cancel()
        texts += pushes
        stored = await client.varno.store.load(room)
        assert stored is not None
        states = [entry[0] for entry in json.loads(stored.host)["referee"]["seen"]]
        assert len(states) > 2 and any(c.islower() for c in "".join(states))
        for text in texts:
            assert_nothing_hidden(client, text)
            for saved in states:
                assert saved not in text
                for row in saved.split(" / "):
                    assert row not in text


class TestRefusals:
    async def test_bodies_that_are_not_what_is_asked(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room, token = made["room"], made["token"]
        before = await get_state(client, room)
        legal = before["legal"][0]
        cases: list[tuple[str, str, Any, int]] = [
            ("/api/rooms", "not json", None, 400),
            ("/api/rooms", "[1, 2]", None, 400),
            ("/api/rooms", "{}", None, 400),
            ("/api/rooms", '{"mode": "chess"}', None, 400),
            ("/api/rooms", '{"mode": "humans", "depth": 3}', None, 400),
            ("/api/rooms", '{"mode": "bot", "side": "C"}', None, 400),
            ("/api/rooms", '{"mode": "bot", "colour": "A"}', None, 400),
            ("/api/rooms", '{"mode": "bot", "depth": NaN}', None, 400),
            ("/api/rooms", "\xff\xfe", None, 400),
            (f"/api/rooms/{room}/moves", None, {"move": legal}, 400),
            (f"/api/rooms/{room}/moves", None, {"move": legal, "token": token, "x": 1}, 400),
            (f"/api/rooms/{room}/moves", None, {"move": 12, "token": token}, 400),
            (f"/api/rooms/{room}/moves", None, {"move": legal, "token": None}, 400),
            (f"/api/rooms/{room}/moves", '{"move": "\\ud800", "token": "x"}', None, 400),
            (f"/api/rooms/{room}/moves", "x" * 5000, None, 413),
            (f"/api/rooms/{room}/moves", None, {"move": legal, "token": "x" * 5000}, 413),
            (f"/api/rooms/{room}/join", '{"seat": "B"}', None, 400),
        ]
        for path, text, body, status in cases:
            if body is not None:
                response = await client.post(path, json=body)
            else:
                response = await client.post(path, data=text.encode("utf-8", "surrogateescape"),
                                             headers={"Content-Type": "application/json"})
            assert response.status == status, (path, text, body)
            assert (await response.json())["error"]
        assert await get_state(client, room) == before
        assert client.varno.in_memory() == 1    # no room was made

    @pytest.mark.parametrize("depth", [0, 13, -1, "8", 8.0, True, None])
    async def test_a_depth_outside_1_to_12(self, client: Any, depth: Any) -> None:
        response = await client.post("/api/rooms", json={"mode": "bot", "depth": depth})
        assert response.status == 400
        assert "depth" in (await response.json())["error"]

    async def test_unknown_rooms(self, client: Any) -> None:
        for method, path in [
            ("GET", "/api/rooms/nosuchroom"),
            ("POST", "/api/rooms/nosuchroom/join"),
            ("GET", "/api/rooms/nosuchroom/ws"),
            ("GET", "/api/rooms/" + "x" * 40),
            ("GET", "/rooms/nosuchroom"),
        ]:
            response = await client.request(method, path, json={} if method == "POST" else None)
            assert response.status == 404, path
        response = await client.post("/api/rooms/nosuchroom/moves",
                                     json={"move": "A1", "token": "t"})
        assert response.status == 404

    async def test_seats_turns_and_the_modules_messages(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room, a = made["room"], made["token"]
        joined = await (await client.post(f"/api/rooms/{room}/join",
                                          json={"invite": made["invite"]})).json()
        b = joined["token"]
        response = await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        assert response.status == 409  # no free seat left
        before = await get_state(client, room)

        status, body = await move(client, room, "not a seat's secret", before["legal"][0])
        assert status == 403
        status, body = await move(client, room, b, before["legal"][0])
        assert (status, body["error"]) == (409, "it is A's turn")
        # A face-up card of the other side, and a move of the wrong length: the module's
        # own messages, word for word.
        theirs = "ABC"[before["cells"].index("BN") // 4] + str(before["cells"].index("BN") % 4 + 1)
        status, body = await move(client, room, a, theirs)
        assert status == 422
        assert body == {"error": "Não podes jogar uma carta virada para cima do adversário.",
                        "code": "opponent_card_face_up"}
        status, body = await move(client, room, a, "A1B")
        assert (status, body["error"]) == (422, "Formato inválido.")
        status, body = await move(client, room, a, "a1")
        assert (status, body["error"]) == (422, "Coordenada inválida.")
        assert await get_state(client, room) == before

    async def test_the_bot_seat_is_nobodys(self, client: Any) -> None:
        made = await create(client, mode="bot", side="B", depth=DEPTH)
        room = made["room"]
        assert (await client.post(f"/api/rooms/{room}/join", json={})).status == 409
        state = await get_state(client, room)
        assert state["seats"] == {"A": "bot", "B": "taken"}

    async def test_moves_after_the_end_are_refused(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        joined = await (await client.post(f"/api/rooms/{room}/join",
                                          json={"invite": made["invite"]})).json()
        tokens = {"A": made["token"], "B": joined["token"]}
        final = await play_out(client, room, tokens, random.Random(3))
        for token in tokens.values():
            status, body = await move(client, room, token, "A1")
            assert status == 409 and body["error"].startswith("the game is over")
        assert await get_state(client, room) == final

    async def test_a_flood_is_slowed_down(self, start: Any) -> None:
        client = await start(request_burst=5, requests_per_second=1.0)
        made = await create(client, mode="humans")
        room = made["room"]
        statuses = [(await move(client, room, "wrong", "A1"))[0] for _ in range(12)]
        assert statuses.count(429) >= 6 and set(statuses) == {403, 429}
        # The room's creation was the first of the five requests of the burst.
        assert statuses[:4] == [403] * 4
        await asyncio.sleep(1.1)
        assert (await get_state(client, room))["version"] == 0


class TestConcurrency:
    async def test_two_moves_at_once_are_judged_one_after_the_other(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room, a = made["room"], made["token"]
        await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        state = await get_state(client, room)
        slow_down_updates(client)       # both requests in flight together
        first, second = state["legal"][0], state["legal"][-1]
        results = await asyncio.gather(move(client, room, a, first), move(client, room, a, second))
        statuses = sorted(status for status, _ in results)
        assert statuses == [200, 409]
        refused = next(body for status, body in results if status == 409)
        assert refused["error"] == "it is B's turn"
        after = await get_state(client, room)
        assert after["version"] == state["version"] + 1 and len(after["history"]) == 1

    async def test_many_rooms_at_once(self, client: Any) -> None:
        rooms = [await create(client, mode="bot", side="A", depth=1) for _ in range(6)]

        async def some_moves(made: dict[str, Any], seed: int) -> None:
            rng = random.Random(seed)
            for _ in range(3):
                state = await get_state(client, made["room"])
                if state["result"] is not None:
                    return
                await wait_for(lambda: cached(client, made["room"]).to_move in ("A", None))
                state = await get_state(client, made["room"])
                if state["result"] is None:
                    status, _ = await move(client, made["room"], made["token"],
                                           rng.choice(state["legal"]))
                    assert status == 200

        await asyncio.gather(*(some_moves(made, n) for n, made in enumerate(rooms)))


class TestStorage:
    async def test_rooms_come_back_after_a_restart(self, start: Any, tmp_path: Path) -> None:
        db = tmp_path / "kept.db"
        first = await start(db)
        made = await create(first, mode="humans")
        room = made["room"]
        joined = await (await first.post(f"/api/rooms/{room}/join",
                                         json={"invite": made["invite"]})).json()
        rng = random.Random(4)
        for token in (made["token"], joined["token"]) * 3:
            state = await get_state(first, room)
            status, state = await move(first, room, token, rng.choice(state["legal"]))
            assert status == 200
        saved = board_of(first, room).__getstate__()
        await first.close()

        second = await start(db)
        again = await get_state(second, room)
        assert again == state
        assert board_of(second, room).__getstate__() == saved
        # The seats' secrets still hold their seats.
        status, _ = await move(second, room, made["token"], again["legal"][0])
        assert status == 200

    async def test_a_failed_commit_changes_nothing(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        joined = await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        assert joined.status == 200
        before = await get_state(client, room)
        saved = board_of(client, room).__getstate__()

        async def broken(stored: StoredRoom) -> bool:
            raise sqlite3.OperationalError("disk I/O error")

        update, client.varno.store.update = client.varno.store.update, broken
        status, body = await move(client, room, made["token"], before["legal"][0])
        assert status == 500
        client.varno.store.update = update
        assert await get_state(client, room) == before
        assert board_of(client, room).__getstate__() == saved

    async def test_a_store_out_of_reach_is_503_and_changes_nothing(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        before = await get_state(client, room)
        store = client.varno.store
        kept = {name: getattr(store, name) for name in ("update", "load", "create", "open_rooms")}

        async def down(*args: Any) -> Any:
            raise StoreUnavailable("the database is away", retry_after=2.0)

        for name in kept:
            setattr(store, name, down)
        client.varno._entries.clear()           # nothing in memory: every read asks the store
        for method, path, body in (
                ("POST", f"/api/rooms/{room}/moves", {"move": before["legal"][0],
                                                      "token": made["token"]}),
                ("GET", f"/api/rooms/{room}", None), ("GET", "/api/rooms", None),
                ("POST", "/api/rooms", {"mode": "humans"}), ("GET", f"/rooms/{room}", None)):
            response = await client.request(method, path, json=body)
            assert response.status == 503 and response.headers["Retry-After"] == "2", path
            if path.startswith("/api/"):
                assert "try again" in (await response.json())["error"]
        for name, method in kept.items():
            setattr(store, name, method)
        assert await get_state(client, room) == before

    async def test_a_watcher_is_told_to_come_back_when_the_store_goes_as_it_joins(
            self, client: Any) -> None:
        made = await create(client, mode="humans")
        service = client.varno
        reads = [0]
        room_of = service.room

        async def failing_second_read(room_id: str) -> Any:
            reads[0] += 1
            if reads[0] == 2:
                raise StoreUnavailable("the database is away")
            return await room_of(room_id)

        service.room = failing_second_read
        async with client.ws_connect(f"/api/rooms/{made['room']}/ws") as ws:
            message = await ws.receive(timeout=5)
            assert message.type == aiohttp.WSMsgType.CLOSE and ws.close_code == 1013

    async def test_rooms_beyond_the_cache_are_read_again_from_the_store(self, start: Any) -> None:
        client = await start(rooms_in_memory=2)
        made = [await create(client, mode="humans") for _ in range(4)]
        assert client.varno.in_memory() == 2
        for room in made:
            await client.post(f"/api/rooms/{room['room']}/join", json={"invite": room["invite"]})
            state = await get_state(client, room["room"])
            status, _ = await move(client, room["room"], room["token"], state["legal"][0])
            assert status == 200 and client.varno.in_memory() <= 2
        for room in made:
            assert (await get_state(client, room["room"]))["version"] == 2

    def test_a_stored_board_may_only_be_a_board(self) -> None:
        board = varno.Board()
        assert load_board(pickle.dumps(board)).__getstate__() == board.__getstate__()
        with pytest.raises(pickle.UnpicklingError):
            load_board(pickle.dumps(Path("/")))
        with pytest.raises(pickle.UnpicklingError):
            load_board(pickle.dumps([1, 2]))

    async def test_a_room_that_cannot_be_loaded_does_not_stop_the_server(
            self, start: Any, tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
        db = tmp_path / "damaged.db"
        store = SqliteRoomStore(db)
        # The damaged room is stored first, so it is the first the server resumes.
        for room_id in ("damaged", "sound"):
            room, _ = Room.against_bot(room_id, "B", 1)   # the bot moves first
            room.start()
            stored = room.to_stored()
            if room_id == "damaged":
                host = json.loads(stored.host)
                host["referee"]["seen"] = [["not a state", "A", 1]]
                stored = dataclasses.replace(stored, host=json.dumps(host))
            await store.create(stored)
        await store.close()

        client = await start(db)
        await wait_for(lambda: client.varno.cached("sound") is not None
                       and cached(client, "sound").version >= 2)
        assert (await get_state(client, "sound"))["moves"] == 1
        response = await client.get("/api/rooms/damaged")
        assert response.status == 500 and (await response.json())["error"] == "internal error"
        assert "room damaged cannot be loaded" in caplog.text

    def test_secrets_are_stored_as_digests(self, tmp_path: Path) -> None:
        room, token = Room.against_bot("r2", "A", 5)
        stored = room.to_stored()
        assert token not in stored.host
        assert room.seat_of(token) == "A" and room.seat_of(token + "x") is None


def test_without_the_extra_varno_serve_says_how_to_install_it(
        monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    import sys

    from varno_serve.__main__ import main

    monkeypatch.setitem(sys.modules, "aiohttp", None)
    assert main([]) == 2
    assert "pip install 'varno[serve]'" in capsys.readouterr().err


class TestPage:
    async def test_the_page_and_its_files_are_served_from_the_package(self, client: Any) -> None:
        made = await create(client, mode="humans")
        for path in ("/", f"/rooms/{made['room']}"):
            response = await client.get(path)
            assert response.status == 200 and response.content_type == "text/html"
            html = await response.text()
            assert '<script src="/static/app.js"' in html and "/static/style.css" in html
            # Nothing from elsewhere: the page works offline.
            assert "http://" not in html and "https://" not in html
            assert "default-src 'self'" in response.headers["Content-Security-Policy"]
        for name, kind in (("app.js", "javascript"), ("style.css", "text/css")):
            response = await client.get(f"/static/{name}")
            assert response.status == 200 and kind in response.content_type
            assert "http" not in (await response.text()).replace("https:", "")

    async def test_the_page_takes_the_servers_depths_and_room_identifiers(
            self, client: Any) -> None:
        response = await client.get("/api/config")
        assert response.status == 200 and "max-age" in response.headers["Cache-Control"]
        assert await response.json() == {
            "depth": {"min": MIN_DEPTH, "max": MAX_DEPTH, "default": DEFAULT_DEPTH}}
        # The page and its script hold neither the depths nor the identifiers' pattern.
        html = await (await client.get("/")).text()
        script = await (await client.get("/static/app.js")).text()
        depth = re.search(r'<input[^>]*id="depth"[^>]*>', html)
        assert depth is not None and 'type="range"' in depth.group(0)
        assert re.search(r"\b(min|max|value)=", depth.group(0)) is None, depth.group(0)
        assert "{1,32}" not in script and "A-Za-z0-9" not in script
