"""Seats by invitation: the free seat of a room for two goes to the holder of its invite
alone, the invite is kept as a digest, and the room list offers strangers no seat."""

from __future__ import annotations

import dataclasses
import json
from pathlib import Path
from typing import Any

import pytest
from serve_helpers import create, get_state
from varno_serve.errors import Conflict, Forbidden
from varno_serve.room import Room

FREE = {"A": "taken", "B": "free"}


async def join(client: Any, room: str, body: Any) -> tuple[int, dict[str, Any]]:
    response = await client.post(f"/api/rooms/{room}/join", json=body)
    return response.status, await response.json()


class TestInvites:
    async def test_creating_a_room_for_two_gives_an_invite(self, client: Any) -> None:
        made = await create(client, mode="humans")
        assert set(made) == {"room", "seat", "token", "invite"}
        assert len(made["invite"]) >= 32 and made["invite"] != made["token"]
        other = await create(client, mode="humans")
        assert other["invite"] != made["invite"]
        # Against the bot there is no seat to give.
        assert "invite" not in await create(client, mode="bot", depth=1)

    async def test_a_stranger_gets_403_and_the_invited_friend_then_joins(
            self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        elsewhere = await create(client, mode="humans")
        before = await get_state(client, room)
        for body in ({}, {"invite": ""}, {"invite": made["invite"][:-1]},
                     {"invite": made["invite"] + "x"}, {"invite": made["invite"].upper()},
                     {"invite": made["token"]}, {"invite": elsewhere["invite"]}):
            status, answer = await join(client, room, body)
            assert (status, answer) == (403, {
                "error": "taking the free seat needs the room's invite",
                "code": "wrong_invite"}), body
        assert await get_state(client, room) == before
        assert before["seats"] == FREE

        status, joined = await join(client, room, {"invite": made["invite"]})
        assert status == 200 and joined["seat"] == "B" and joined["room"] == room
        state = await get_state(client, room)
        assert state["seats"] == {"A": "taken", "B": "taken"}
        assert state["version"] == before["version"] + 1
        # The seat is taken: 409 for the invite's holder and for anyone else alike.
        for body in ({"invite": made["invite"]}, {}, {"invite": "wrong"}):
            status, answer = await join(client, room, body)
            assert (status, answer) == (409, {"error": "no free seat in this room",
                                              "code": "no_free_seat"}), body
        # The new seat's secret moves for B; the invite does not.
        legal = state["legal"][0]
        response = await client.post(f"/api/rooms/{room}/moves",
                                     json={"move": legal, "token": made["invite"]})
        assert response.status == 403

    @pytest.mark.parametrize("body", [
        {"invite": 12}, {"invite": None}, {"invite": ["x"]}, {"invite": "\ud800"},
        {"seat": "B"}, {"invite": "x", "token": "y"},
    ])
    async def test_a_malformed_join_is_400(self, client: Any, body: Any) -> None:
        made = await create(client, mode="humans")
        text = json.dumps(body)
        response = await client.post(f"/api/rooms/{made['room']}/join", data=text,
                                     headers={"Content-Type": "application/json"})
        assert response.status == 400
        assert (await get_state(client, made["room"]))["seats"] == FREE

    async def test_the_invite_is_kept_as_a_digest_and_survives_a_restart(
            self, start: Any, tmp_path: Path) -> None:
        db = tmp_path / "kept.db"
        first = await start(db)
        made = await create(first, mode="humans")
        stored = await first.varno.store.load(made["room"])
        assert stored is not None
        assert made["invite"] not in stored.host and made["token"] not in stored.host
        assert made["invite"].encode() not in stored.board
        await first.close()

        second = await start(db)
        assert (await join(second, made["room"], {}))[0] == 403
        status, joined = await join(second, made["room"], {"invite": made["invite"]})
        assert status == 200 and joined["seat"] == "B"

    def test_a_room_stored_without_an_invite_gives_its_seat_to_nobody(self) -> None:
        room, _, invite = Room.for_humans("old")
        stored = room.to_stored()
        host = json.loads(stored.host)
        del host["invite"]
        old = Room.from_stored(dataclasses.replace(stored, host=json.dumps(host)))
        for given in (None, "", invite):
            with pytest.raises(Forbidden):
                old.copy().join(given)
        assert old.free_seat == "B"
        # The room itself, with its invite, still gives the seat (and only once).
        assert room.join(invite)[0] == "B"
        with pytest.raises(Conflict):
            room.join(invite)


class TestTheRoomList:
    async def test_it_offers_strangers_no_seat(self, client: Any) -> None:
        waiting = await create(client, mode="humans")
        playing = await create(client, mode="humans")
        assert (await join(client, playing["room"], {"invite": playing["invite"]}))[0] == 200
        bot = await create(client, mode="bot", depth=1)

        listed = (await (await client.get("/api/rooms")).json())["rooms"]
        # A room waiting for its invited player is not listed: nobody else may join it.
        assert [entry["room"] for entry in listed] == [bot["room"], playing["room"]]
        assert all(set(entry) == {"room", "mode", "moves"} for entry in listed)
        # Watching it stays open to anyone with its link.
        assert (await get_state(client, waiting["room"]))["seats"] == FREE
        async with client.ws_connect(f"/api/rooms/{waiting['room']}/ws") as ws:
            assert json.loads((await ws.receive(timeout=5)).data)["room"] == waiting["room"]

        # Once the friend has joined, the game is listed like any other.
        assert (await join(client, waiting["room"], {"invite": waiting["invite"]}))[0] == 200
        listed = (await (await client.get("/api/rooms")).json())["rooms"]
        assert listed[0]["room"] == waiting["room"] and len(listed) == 3
