"""Fair starts: a person sees the deal before any move. A bot room where the bot moves
first waits for its player's start; a room for two waits for its second player."""

from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any

from serve_helpers import begin, cached, create, get_state, move, wait_for


async def post_start(client: Any, room: str, body: Any) -> tuple[int, dict[str, Any]]:
    response = await client.post(f"/api/rooms/{room}/start", json=body)
    answer: dict[str, Any] = await response.json()
    return response.status, answer


class TestTheBotWaitsForItsPlayer:
    async def test_the_deal_is_shown_until_the_player_starts(self, client: Any) -> None:
        made = await create(client, mode="bot", side="B", depth=1)
        room = made["room"]
        deal = await get_state(client, room)
        assert deal["started"] is False and deal["thinking"] is False
        assert deal["history"] == [] and deal["to_move"] == "A" and deal["version"] == 0
        await asyncio.sleep(0.3)
        assert await get_state(client, room) == deal
        assert client.varno.bots.pending() == 0

        # Neither a stranger nor a move of the player starts it.
        assert (await post_start(client, room, {"token": "not a seat's secret"}))[0] == 403
        status, body = await move(client, room, made["token"], "A1")
        assert (status, body["error"]) == (409, "it is A's turn")
        for wrong in ({}, {"token": 5}, {"token": made["token"], "depth": 3}):
            assert (await post_start(client, room, wrong))[0] == 400
        assert (await post_start(client, "nosuchroom", {"token": made["token"]}))[0] == 404
        assert await get_state(client, room) == deal

        started = await begin(client, made)
        assert started["started"] and started["thinking"] and started["version"] == 1
        assert started["cells"] == deal["cells"] and started["history"] == []
        await wait_for(lambda: cached(client, room).version == 2)
        after = await get_state(client, room)
        assert [turn["by"] for turn in after["history"]] == ["bot"]
        assert after["to_move"] == "B" and not after["thinking"]
        # Starting again changes nothing.
        assert await begin(client, made) == after
        assert await get_state(client, room) == after

    async def test_a_start_where_the_person_moves_first_changes_nothing(self, client: Any) -> None:
        for body in ({"mode": "bot", "side": "A", "depth": 1}, {"mode": "humans"}):
            made = await create(client, **body)
            before = await get_state(client, made["room"])
            assert before["started"] is (body["mode"] == "bot")
            assert await begin(client, made) == before
            assert (await post_start(client, made["room"], {"token": "x"}))[0] == 403
            assert await get_state(client, made["room"]) == before

    async def test_a_restart_does_not_start_a_room(self, start: Any, tmp_path: Path) -> None:
        db = tmp_path / "kept.db"
        first = await start(db)
        made = await create(first, mode="bot", side="B", depth=1)
        deal = await get_state(first, made["room"])
        await first.close()

        second = await start(db)
        await asyncio.sleep(0.3)
        assert await get_state(second, made["room"]) == deal
        assert second.varno.bots.pending() == 0
        await begin(second, made)
        await wait_for(lambda: cached(second, made["room"]).version == 2)


class TestARoomForTwo:
    async def test_moves_wait_until_both_seats_are_taken(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        alone = await get_state(client, room)
        assert alone["started"] is False
        status, body = await move(client, room, made["token"], alone["legal"][0])
        assert status == 409 and body["error"].startswith("the other seat is not taken yet")
        assert await get_state(client, room) == alone

        joined = await (await client.post(f"/api/rooms/{room}/join",
                                          json={"invite": made["invite"]})).json()
        assert (await get_state(client, room))["started"] is True
        status, state = await move(client, room, made["token"], alone["legal"][0])
        assert status == 200 and state["to_move"] == "B"
        status, _ = await move(client, room, joined["token"], state["legal"][0])
        assert status == 200
