"""What the page needs of the server beyond moves: refusal codes and their texts in each
language, the last move, the outcome in parts, the replay, takebacks against the bot,
rematches between people, and the page for a room that does not exist."""

from __future__ import annotations

import asyncio
import dataclasses
import json
import random
import sqlite3
from typing import Any

import pytest
from serve_helpers import (
    STATE_ROW,
    assert_nothing_hidden,
    begin,
    cached,
    create,
    get_state,
    move,
    slow_down_updates,
    wait_for,
)
from varno_play import texts as play_texts
from varno_play.rules import Referee
from varno_serve.errors import CODES, RULE_CODES, SERVER_CODES
from varno_serve.room import Room, load_board
from varno_serve.store import StoreUnavailable, StoredRoom
from varno_serve.web import openapi

# A position from which A can provoke each of the module's twelve rule messages: an
# empty cell (B2), B's face-up cards (A3, A4), A's face-up Normal (A1) and Figure (A2),
# A's face-down Figure (B1).
EVERY_REFUSAL = "AN AF BN BF / af -- AN BN / BN AN BF AN"
PROVOKED = [("A1B", "invalid_format"), ("a1", "invalid_coordinate"), ("B2", "no_card_there"),
            ("A3", "opponent_card_face_up"), ("A2", "figure_needs_target"),
            ("x1A1", "invalid_source"), ("A1x1", "invalid_target"),
            ("A2A2", "own_figure_target"), ("B1A3", "source_not_face_up"),
            ("A4A1", "figure_not_yours"), ("A1A3", "only_figures_target"),
            ("A2B2", "target_missing")]
# A takes B's last card (C4, face down): A wins.
A_WINS_AT_ONCE = "AN -- -- -- / -- -- -- -- / -- -- -- bn"
# Figures turning each other over: A1B1, then A2A1 and A1A2 twice, repeats a position.
REPEATING = "AF BF -- -- / AN BN -- -- / -- -- -- --"
CYCLE = ["A1B1", "A2A1", "A1A2", "A2A1", "A1A2"]
# JSON nested as deeply as a body may hold: too deep for some interpreters only.
DEEP = "[" * 2000 + "]" * 2000
try:
    json.loads(DEEP)
    DEEP_CODE = "bad_body"
except RecursionError:
    DEEP_CODE = "nested_too_deeply"


async def seed(client: Any, deal: str, mode: str = "humans", side: str = "A",
               depth: int = 2, moves_played: int = 0) -> dict[str, Any]:
    """A room from the position ``deal`` (A to move), stored as the server stores rooms;
    the seats' secrets by side (both seats taken in a room for two). ``moves_played``
    moves are counted as played already."""
    room_id = f"seeded{random.randrange(10**9)}"
    if mode == "humans":
        room, token, invite = Room.for_humans(room_id, deal=deal)
        _, other_token = room.join(invite)
        tokens = {"A": token, "B": other_token}
    else:
        room, token = Room.against_bot(room_id, side, depth, deal=deal)
        tokens = {side: token}
    if moves_played:
        room.referee = Referee.restore({"moves": moves_played, "seen": [[deal, "A", 1]]})
    await client.varno.store.create(room.to_stored())
    await client.varno.room(room_id)     # in memory, as after any request
    return {"room": room_id, **tokens}


async def refusal(response: Any, status: int, code: str) -> dict[str, Any]:
    assert response.status == status, await response.text()
    body: dict[str, Any] = await response.json()
    assert set(body) == {"error", "code"} and body["code"] == code, body
    return body


def stall_the_bot(client: Any) -> None:
    """The bot's turns are never searched: a room handed to it stays thinking."""
    client.varno.bots.request = lambda *args: None


async def post(client: Any, room: str, action: str, token: str) -> Any:
    return await client.post(f"/api/rooms/{room}/{action}", json={"token": token})


class TestRefusalCodes:
    async def test_the_modules_twelve_messages_by_code(self, client: Any) -> None:
        seeded = await seed(client, EVERY_REFUSAL)
        before = await get_state(client, seeded["room"])
        messages = {code: message for message, code in play_texts.RULE_MESSAGES.items()}
        for text, code in PROVOKED:
            status, body = await move(client, seeded["room"], seeded["A"], text)
            assert (status, body) == (422, {"error": messages[code], "code": code}), text
        assert [code for _, code in PROVOKED] == list(RULE_CODES[:12])
        assert await get_state(client, seeded["room"]) == before

    async def test_every_refusal_of_the_server_has_its_code(self, start: Any) -> None:
        client = await start(room_creations_per_minute=1, pending_searches=1, idle_seconds=1)
        humans = await create(client, mode="humans")
        room, a = humans["room"], humans["token"]
        seen: set[str] = set()

        async def expect(response: Any, status: int, code: str) -> None:
            await refusal(response, status, code)
            seen.add(code)

        def body(text: str, **headers: str) -> dict[str, Any]:
            return {"data": text.encode(), "headers": {"Content-Type": "application/json",
                                                      **headers}}

        rooms, moves = "/api/rooms", f"/api/rooms/{room}/moves"
        for path, kwargs, status, code in [
            (rooms, body("{"), 400, "not_json"),
            (rooms, body("x" * 5000), 413, "body_too_large"),
            (rooms, body(DEEP), 400, DEEP_CODE),
            (rooms, body("[]"), 400, "bad_body"),
            (rooms, body("{}"), 400, "missing_field"),
            (rooms, body('{"mode": "humans", "side": "A"}'), 400, "unknown_field"),
            (moves, body('{"move": 1, "token": "t"}'), 400, "bad_field"),
            (rooms, body('{"mode": "chess"}'), 400, "bad_mode"),
            (rooms, body('{"mode": "bot", "side": "C"}'), 400, "bad_side"),
            (rooms, body('{"mode": "bot", "depth": 0}'), 400, "bad_depth"),
            (rooms, body("{}", **{"Content-Encoding": "gzip"}), 400, "body_not_decoded"),
            (rooms, {"data": b"{}", "headers": {"Content-Type": "text/plain"}}, 415,
             "wrong_content_type"),
            (rooms, {"json": {}, "headers": {"Origin": "http://elsewhere.example"}}, 403,
             "foreign_origin"),
            (rooms, {"json": {}, "headers": {"Host": "elsewhere.example"}}, 421, "unknown_host"),
            (f"/api/rooms/{room}/join", {"json": {"invite": "wrong"}}, 403, "wrong_invite"),
            (moves, {"json": {"move": "A1", "token": "wrong"}}, 403, "wrong_token"),
            (moves, {"json": {"move": "A1", "token": a}}, 409, "seat_not_taken"),
            ("/api/rooms/nosuchroom/moves", {"json": {"move": "A1", "token": a}}, 404,
             "no_such_room"),
            (f"/api/rooms/{room}/takeback", {"json": {"token": a}}, 409, "no_takeback"),
            (f"/api/rooms/{room}/rematch", {"json": {"token": a}}, 409, "no_rematch"),
        ]:
            await expect(await client.post(path, **kwargs), status, code)
        await expect(await client.get("/api/nothing"), 404, "no_such_path")
        await expect(await client.delete("/api/rooms"), 405, "method_not_allowed")
        await expect(await client.get(f"/api/rooms/{room}/ws"), 400, "not_websocket")

        joined = await client.post(f"/api/rooms/{room}/join", json={"invite": humans["invite"]})
        b = (await joined.json())["token"]
        await expect(await client.post(f"/api/rooms/{room}/join", json={}), 409, "no_free_seat")
        legal = (await get_state(client, room))["legal"][0]
        await expect(await client.post(moves, json={"move": legal, "token": b}), 409,
                     "not_your_turn")
        finished = await seed(client, A_WINS_AT_ONCE)
        assert (await move(client, finished["room"], finished["A"], "C4"))[0] == 200
        await expect(await client.post(f"/api/rooms/{finished['room']}/moves",
                                       json={"move": "A1", "token": finished["B"]}),
                     409, "game_over")

        async def trickle() -> Any:
            yield b'{"mode"'
            await asyncio.sleep(5)

        async with client.post(rooms, data=trickle(),
                               headers={"Content-Type": "application/json"}) as slow:
            await expect(slow, 408, "body_too_slow")
        # One new room a minute (made above), one search waiting for the bot.
        await expect(await client.post(rooms, json={"mode": "humans"}), 429, "too_many_rooms")
        stall_the_bot(client)
        bot = await seed(client, REPEATING, mode="bot", side="B")
        await begin(client, {"room": bot["room"], "token": bot["B"]})
        other = await seed(client, REPEATING, mode="bot", side="B")
        await expect(await post(client, other["room"], "start", other["B"]), 503, "bot_busy")

        store = client.varno.store
        update = store.update

        async def lost(stored: StoredRoom) -> bool:
            return False

        async def broken(stored: StoredRoom) -> bool:
            raise sqlite3.OperationalError("disk I/O error")

        async def away(stored: StoredRoom) -> bool:
            raise StoreUnavailable("the database is away", retry_after=2.0)

        for replaced, status, code in ((lost, 409, "room_changed"),
                                       (broken, 500, "internal_error"),
                                       (away, 503, "store_unavailable")):
            store.update = replaced
            await expect(await client.post(moves, json={"move": legal, "token": a}), status,
                         code)
        store.update = update

        limited = await start(request_burst=1, requests_per_second=0.01)
        await limited.get("/api/config")
        await expect(await limited.get("/api/config"), 429, "too_many_requests")
        # Every code of the server's but the one for the router's other refusals (and
        # the one for JSON too deep, where this interpreter reads all a body may hold).
        assert seen == set(SERVER_CODES) - {"bad_request", "nested_too_deeply"} | {DEEP_CODE}


class TestTexts:
    async def test_every_code_in_both_languages(self, client: Any) -> None:
        response = await client.get("/api/texts")
        assert response.status == 200 and "max-age" in response.headers["Cache-Control"]
        answer = await response.json()
        assert answer["languages"] == ["en", "pt"]
        document = openapi.document()["components"]["schemas"]
        codes = document["Error"]["properties"]["code"]["enum"]
        reasons = document["Outcome"]["properties"]["reason"]["enum"]
        assert codes == list(CODES)
        for lang in ("en", "pt"):
            given = answer["texts"][lang]
            assert set(given) == {*codes, *reasons, "result_win", "result_draw"}, lang
            assert all(text.strip() for text in given.values())
        english, portuguese = answer["texts"]["en"], answer["texts"]["pt"]
        # Portuguese is the module's own text; English its translation.
        for message, code in play_texts.RULE_MESSAGES.items():
            assert portuguese[code] == message and english[code] != message
        assert sum(english[code] == portuguese[code] for code in codes) == 0
        assert english["result_win"].format(winner="A", reason=english["no_cards"].format(
            loser="B")) == "A wins (B has no card left)"
        assert portuguese["repetition"] == "a mesma posição 3 vezes"


class TestLastMove:
    @pytest.mark.parametrize(("deal", "played", "expected"), [
        # A Normal: it turns face down, its neighbours over; the empty cell stays empty.
        ("BN AN BN -- / AN AN BN BF / BN -- AF AF", "B2",
         {"played": ["B2"], "turned": ["A2", "B1", "B3"]}),
        # A face-down card of the other side removed.
        ("AN AF BN BF / bn AN -- BN / BN AN BF AN", "B1", {"played": ["B1"], "turned": []}),
        # A Figure on a face-down card: both cells played, nothing else.
        ("AF AN BN BF / bn AN -- BN / BN AN BF AN", "A1B1",
         {"played": ["A1", "B1"], "turned": []}),
    ])
    async def test_moves(self, client: Any, deal: str, played: str,
                         expected: dict[str, Any]) -> None:
        seeded = await seed(client, deal)
        assert (await get_state(client, seeded["room"]))["last"] is None
        status, state = await move(client, seeded["room"], seeded["A"], played)
        assert status == 200 and state["last"] == expected
        assert (await get_state(client, seeded["room"]))["last"] == expected

    def test_a_pass_leaves_the_move_before_it_last(self) -> None:
        room, _, _ = Room.for_humans("r", deal=A_WINS_AT_ONCE)
        state = room.board.__getstate__()
        after = "AN -- -- -- / -- -- -- -- / -- -- -- --"
        room.history = [{"side": "A", "move": "C4", "by": "human"},
                        {"side": "B", "move": None, "by": "human"}]
        room.positions = [state, after, after]
        assert room.last_move() == {"played": ["C4"], "turned": []}


class TestOutcome:
    @pytest.mark.parametrize(("deal", "moves", "counted", "outcome", "result"), [
        (A_WINS_AT_ONCE, ["C4"], 0, {"winner": "A", "reason": "no_cards"},
         "A wins (B has no card left)"),
        ("-- -- -- -- / -- -- -- -- / -- -- -- bn", ["C4"], 0,
         {"winner": None, "reason": "both_no_cards"}, "draw (neither side has a card left)"),
        (REPEATING, CYCLE, 0, {"winner": None, "reason": "repetition"},
         "draw (same position 3 times)"),
        (REPEATING, ["A1B1"], 299, {"winner": None, "reason": "move_cap"},
         "draw (300 moves played)"),
    ])
    async def test_each_way_a_game_ends(self, client: Any, deal: str, moves: list[str],
                                        counted: int, outcome: dict[str, Any],
                                        result: str) -> None:
        seeded = await seed(client, deal, moves_played=counted)
        for n, played in enumerate(moves):
            status, state = await move(client, seeded["room"], seeded["AB"[n % 2]], played)
            assert status == 200, state
            if n < len(moves) - 1:
                assert state["outcome"] is None and state["result"] is None
        assert (state["outcome"], state["result"]) == (outcome, result)
        # A finished game stays there to be read, out of the lobby.
        again = await get_state(client, seeded["room"])
        assert again["outcome"] == outcome and again["legal"] == []
        listed = await (await client.get("/api/rooms")).json()
        assert seeded["room"] not in [r["room"] for r in listed["rooms"]]

    async def test_rooms_stored_before_outcomes_and_positions(self, client: Any) -> None:
        """Rooms stored by the server before: their outcome read from the result, their
        replay from where they are, no takeback before that."""
        for n, (result, outcome) in enumerate((
                ("draw (neither side can move)", (None, "no_moves")),
                ("B wins (A has no card left)", ("B", "no_cards")),
                (None, None))):
            room, token = Room.against_bot(f"old{n}", "A", 1, deal=REPEATING)
            room.play("A1B1", "A")
            room.play_bot("A2A1")
            stored = room.to_stored()
            host = json.loads(stored.host)
            for new in ("outcome", "positions", "rematch"):
                del host[new]
            host["result"] = result
            await client.varno.store.create(dataclasses.replace(stored, host=json.dumps(host)))
            state = await get_state(client, room.room_id)
            expected = None if outcome is None else {"winner": outcome[0],
                                                     "reason": outcome[1]}
            assert state["outcome"] == expected and state["result"] == result
            assert state["last"] == {"played": ["A2", "A1"], "turned": []}
            replay = await (await client.get(f"/api/rooms/{room.room_id}/replay")).json()
            assert [p["cells"] for p in replay["positions"]] == [state["cells"]]
            assert replay["positions"][0]["entry"] == state["history"][-1]
            await refusal(await post(client, room.room_id, "takeback", token), 409,
                          "no_takeback")


class TestReplay:
    async def test_the_positions_seen_along_a_game(self, client: Any) -> None:
        made = await create(client, mode="humans")
        room = made["room"]
        joined = await client.post(f"/api/rooms/{room}/join", json={"invite": made["invite"]})
        tokens = {"A": made["token"], "B": (await joined.json())["token"]}
        rng = random.Random(7)
        seen = [await get_state(client, room)]
        while seen[-1]["result"] is None:
            state = seen[-1]
            status, after = await move(client, room, tokens[state["to_move"]],
                                       rng.choice(state["legal"]))
            assert status == 200
            seen.append(after)
        response = await client.get(f"/api/rooms/{room}/replay")
        text = await response.text()
        replay = json.loads(text)
        assert replay["room"] == room and replay["version"] == seen[-1]["version"]
        assert [p["cells"] for p in replay["positions"]] == [s["cells"] for s in seen]
        assert [p["entry"] for p in replay["positions"]] == [None, *seen[-1]["history"]]
        # The saved states stay on the server: no row of one, no face-down card named.
        assert STATE_ROW.search(text) is None
        for word in ("an", "af", "bn", "bf"):
            assert f'"{word}"' not in text
        for board in client.varno.store.boards.values():
            assert load_board(board).__getstate__() not in text
        assert (await client.get("/api/rooms/nosuchroom/replay")).status == 404


class TestTakeback:
    async def test_after_a_move_and_the_bots_reply(self, client: Any) -> None:
        made = await create(client, mode="bot", side="A", depth=1)
        room, token = made["room"], made["token"]
        rng = random.Random(3)
        for _ in range(3):
            before = await get_state(client, room)
            referee = cached(client, room).referee.save()
            board = cached(client, room).board.__getstate__()
            status, mine = await move(client, room, token, rng.choice(before["legal"]))
            await wait_for(lambda: cached(client, room).version == mine["version"] + 1)
        response = await post(client, room, "takeback", token)
        text = await response.text()
        assert response.status == 200, text
        assert_nothing_hidden(client, text)
        after = json.loads(text)
        for same in ("cells", "to_move", "legal", "cards_left", "moves", "last", "outcome"):
            assert after[same] == before[same], same
        assert after["version"] == mine["version"] + 2
        assert after["history"][:-2] == before["history"]
        assert [t.get("undone") for t in after["history"][-2:]] == [True, True]
        assert cached(client, room).referee.save() == referee
        assert cached(client, room).board.__getstate__() == board
        # The record keeps what was taken back: the replay has every position.
        replay = await (await client.get(f"/api/rooms/{room}/replay")).json()
        assert len(replay["positions"]) == len(after["history"]) + 1
        assert replay["positions"][-1]["entry"]["undone"] is True
        # The game goes on from there, the bot answering.
        status, again = await move(client, room, token, after["legal"][0])
        assert status == 200 and again["moves"] == after["moves"] + 1

    async def test_after_the_bot_won(self, client: Any) -> None:
        # A's only card: played (face down), the bot removes it and wins.
        seeded = await seed(client, "AN -- -- -- / -- -- -- -- / -- -- -- bn", mode="bot",
                            side="A", depth=2)
        room = seeded["room"]
        status, _ = await move(client, room, seeded["A"], "A1")
        await wait_for(lambda: cached(client, room).outcome is not None)
        lost = await get_state(client, room)
        assert lost["outcome"] == {"winner": "B", "reason": "no_cards"}
        taken = await post(client, room, "takeback", seeded["A"])
        after = await taken.json()
        assert taken.status == 200 and after["outcome"] is None and after["result"] is None
        assert after["to_move"] == "A" and after["moves"] == 0
        assert after["cells"] == ["AN"] + ["--"] * 10 + ["XX"]

    async def test_repetition_counts_are_restored(self, client: Any) -> None:
        seeded = await seed(client, REPEATING, mode="bot", side="A", depth=1)
        room = seeded["room"]
        stall_the_bot(client)
        service = client.varno
        for n, played in enumerate(CYCLE[:4]):
            if n % 2:   # the bot's turn, played for it
                await service.apply_bot_move(room, cached(client, room).version, played)
                continue
            referee = cached(client, room).referee.save()
            assert (await move(client, room, seeded["A"], played))[0] == 200
        assert (await post(client, room, "takeback", seeded["A"])).status == 200
        assert cached(client, room).referee.save() == referee
        # The position seen twice is seen a third time only after two more moves again.
        assert (await move(client, room, seeded["A"], CYCLE[2]))[0] == 200
        await service.apply_bot_move(room, cached(client, room).version, CYCLE[3])
        status, state = await move(client, room, seeded["A"], CYCLE[4])
        assert state["outcome"] == {"winner": None, "reason": "repetition"}

    async def test_refused(self, client: Any) -> None:
        humans = await seed(client, REPEATING)
        assert (await move(client, humans["room"], humans["A"], "A1B1"))[0] == 200
        for token in (humans["A"], humans["B"]):
            await refusal(await post(client, humans["room"], "takeback", token), 409,
                          "no_takeback")
        bot = await create(client, mode="bot", side="A", depth=1)
        await refusal(await post(client, bot["room"], "takeback", bot["token"]), 409,
                      "no_takeback")    # nothing played yet
        await refusal(await post(client, bot["room"], "takeback", "wrong"), 403, "wrong_token")
        stall_the_bot(client)
        legal = (await get_state(client, bot["room"]))["legal"][0]
        assert (await move(client, bot["room"], bot["token"], legal))[0] == 200
        before = await get_state(client, bot["room"])
        assert before["thinking"]
        body = await refusal(await post(client, bot["room"], "takeback", bot["token"]), 409,
                             "no_takeback")
        assert body["error"] == "the bot is thinking"
        assert await get_state(client, bot["room"]) == before

    async def test_takebacks_and_moves_at_once_form_one_sequence(self, client: Any) -> None:
        seeded = await seed(client, REPEATING, mode="bot", side="A", depth=1)
        room, token = seeded["room"], seeded["A"]
        stall_the_bot(client)
        assert (await move(client, room, token, "A1B1"))[0] == 200
        await client.varno.apply_bot_move(room, cached(client, room).version, "A2A1")
        start = await get_state(client, room)
        slow_down_updates(client)
        answers = await asyncio.gather(
            post(client, room, "takeback", token),
            client.post(f"/api/rooms/{room}/moves", json={"move": "A1A2", "token": token}),
            post(client, room, "takeback", token))
        bodies = [await answer.json() for answer in answers]
        done = sorted((body for body in bodies if "version" in body),
                      key=lambda body: body["version"])
        assert [body["version"] for body in done] == list(
            range(start["version"] + 1, start["version"] + 1 + len(done)))
        assert all(body["code"] == "no_takeback" for body in bodies if "code" in body)
        final = await get_state(client, room)
        assert final == done[-1] and final["thinking"]
        # The move went first (the takebacks were refused while the bot thought), or a
        # takeback did (back to the deal) and the move followed from there.
        assert len(final["history"]) == len(start["history"]) + 1
        if len(done) == 1:
            assert final["moves"] == 3 and final["history"][:2] == start["history"]
        else:
            assert final["moves"] == 1 and all(t["undone"] for t in final["history"][:2])


class TestRematch:
    async def test_both_players_seated_with_sides_swapped(self, client: Any) -> None:
        against_bot = await seed(client, A_WINS_AT_ONCE, mode="bot", side="A")
        assert (await move(client, against_bot["room"], against_bot["A"], "C4"))[0] == 200
        await refusal(await post(client, against_bot["room"], "rematch", against_bot["A"]),
                      409, "no_rematch")
        seeded = await seed(client, A_WINS_AT_ONCE)
        old = seeded["room"]
        await refusal(await post(client, old, "rematch", seeded["A"]), 409, "no_rematch")
        assert (await move(client, old, seeded["A"], "C4"))[0] == 200
        await refusal(await post(client, old, "rematch", "a stranger"), 403, "wrong_token")
        before = await get_state(client, old)

        first = await (await post(client, old, "rematch", seeded["B"])).json()
        assert first["seat"] == "A" and first["room"] != old
        finished = await get_state(client, old)
        assert finished["rematch"] == first["room"]
        assert finished["version"] == before["version"] + 1
        new = await get_state(client, first["room"])
        assert new["seats"] == {"A": "taken", "B": "free"} and not new["started"]
        # The free seat is kept for the other player: no invite takes it.
        await refusal(await client.post(f"/api/rooms/{first['room']}/join", json={}), 403,
                      "wrong_invite")

        second = await (await post(client, old, "rematch", seeded["A"])).json()
        assert (second["room"], second["seat"]) == (first["room"], "B")
        new = await get_state(client, first["room"])
        assert new["seats"] == {"A": "taken", "B": "taken"} and new["started"]
        assert new["mode"] == "humans" and new["rematch"] is None and new["history"] == []
        # Twice by the same seat: the same seat and secret, nothing changed.
        for token, answer in ((seeded["B"], first), (seeded["A"], second)):
            assert await (await post(client, old, "rematch", token)).json() == answer
        assert (await get_state(client, first["room"]))["version"] == new["version"]
        # The seats' new secrets play their new sides.
        status, _ = await move(client, first["room"], second["token"], new["legal"][0])
        assert status == 409
        status, _ = await move(client, first["room"], first["token"], new["legal"][0])
        assert status == 200

    async def test_both_at_once_make_one_room(self, client: Any) -> None:
        seeded = await seed(client, A_WINS_AT_ONCE)
        assert (await move(client, seeded["room"], seeded["A"], "C4"))[0] == 200
        slow_down_updates(client)
        answers = await asyncio.gather(*(post(client, seeded["room"], "rematch", seeded[side])
                                         for side in "AB"))
        seats = [await answer.json() for answer in answers]
        assert seats[0]["room"] == seats[1]["room"]
        assert [seat["seat"] for seat in seats] == ["B", "A"]



async def test_the_page_of_a_room_that_does_not_exist(client: Any) -> None:
    page = await (await client.get("/")).text()
    for path in ("/rooms/nosuchroom", "/rooms/not!a!room", "/rooms/" + "x" * 40):
        response = await client.get(path)
        assert response.status == 404 and response.content_type == "text/html"
        assert await response.text() == page
    response = await client.get("/api/rooms/nosuchroom")
    await refusal(response, 404, "no_such_room")
