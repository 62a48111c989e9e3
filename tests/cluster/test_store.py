"""What every store must do, on SQLite and on PostgreSQL alike: the compare-and-set of a
room's version, the lobby's list, the rooms waiting for the bot in their order with a
cursor, the sweep's batches, and a database opened again (or by several processes)."""

from __future__ import annotations

import asyncio
import dataclasses

import pytest
from pg_fixtures import MakeStore, make_store, pg_dsn, postgres_server  # noqa: F401
from varno_serve.room import Room
from varno_serve.store import RoomStore, StoredRoom, WaitingRoom


def full_room_for_two(room_id: str) -> Room:
    """A room for two whose seats are both taken (one the lobby lists)."""
    room, _, invite = Room.for_humans(room_id)
    room.join(invite)
    return room


def waiting(room_id: str, due: float | None, version: int = 0) -> StoredRoom:
    """A stored room for the bot's queue: waiting for it (due at ``due``) or not."""
    stored = Room.against_bot(room_id, "B", 3)[0].to_stored()
    return dataclasses.replace(stored, version=version, bot_due=due, bot_to_move=due is not None)


class TestVersions:
    async def test_an_update_on_another_version_is_refused(self, make_store: MakeStore) -> None:
        store = await make_store()
        room, _, invite = Room.for_humans("r1")
        await store.create(room.to_stored())
        assert await store.version("r1") == 0
        room.join(invite)
        assert await store.update(room.to_stored())        # version 0 -> 1
        assert not await store.update(room.to_stored())    # version 0 is no longer there
        loaded = await store.load("r1")
        assert loaded is not None and loaded.version == 1 == await store.version("r1")
        assert Room.from_stored(loaded).free_seat is None
        # A version ahead of the stored one is refused as well.
        ahead = dataclasses.replace(loaded, version=5)
        assert not await store.update(ahead)
        assert await store.version("r1") == 1
        assert await store.version("none") is None and await store.load("none") is None
        assert not await store.update(dataclasses.replace(loaded, room_id="none"))

    async def test_a_room_comes_back_as_it_was_stored(self, make_store: MakeStore) -> None:
        store = await make_store()
        stored = dataclasses.replace(waiting("r1", 1234.5678901234567), board=bytes(range(256)),
                                     host='{"é": "\\u0000 and more"}', moves=7)
        await store.create(stored)
        assert await store.load("r1") == stored
        free = Room.for_humans("r2")[0].to_stored()
        await store.create(free)
        assert await store.load("r2") == free and free.free_seat == "B" and free.bot_due is None

    async def test_an_identifier_is_taken_once(self, make_store: MakeStore) -> None:
        store = await make_store()
        first = Room.for_humans("r1")[0].to_stored()
        await store.create(first)
        with pytest.raises(Exception):
            await store.create(full_room_for_two("r1").to_stored())
        assert await store.load("r1") == first

    async def test_concurrent_updates_of_one_version_let_one_through(
            self, make_store: MakeStore) -> None:
        """Two processes (stores) changing the same version at once: exactly one wins."""
        one, two = await make_store(), await make_store()
        room, _, invite = Room.for_humans("r1")
        await one.create(room.to_stored())
        room.join(invite)
        results = await asyncio.gather(*(store.update(room.to_stored())
                                         for store in (one, two) for _ in range(5)))
        assert sorted(results) == [False] * 9 + [True]
        assert await two.version("r1") == 1


class TestListings:
    async def test_the_lobby_lists_full_rooms_under_way_the_latest_changed_first(
            self, make_store: MakeStore) -> None:
        now = [1000.0]
        store = await make_store(clock=lambda: now[0])
        for room_id in ("a", "b", "c"):
            await store.create(full_room_for_two(room_id).to_stored())
            now[0] += 1
        await store.create(Room.for_humans("free")[0].to_stored())      # a seat waits
        over = full_room_for_two("over").to_stored()
        await store.create(dataclasses.replace(over, over=True))
        room = Room.from_stored(await _load(store, "a"))
        room.play(room.legal_moves()[0], "A")
        assert await store.update(room.to_stored())                     # "a" changed last
        assert [s.room_id for s in await store.open_rooms(10)] == ["a", "c", "b"]
        assert [(s.room_id, s.mode, s.moves) for s in await store.open_rooms(2)] == [
            ("a", "humans", 1), ("c", "humans", 0)]

    async def test_changes_within_one_tick_of_the_clock_keep_their_order(
            self, make_store: MakeStore) -> None:
        store = await make_store(clock=lambda: 5000.0)
        for room_id in ("x", "y", "z", "w"):
            await store.create(full_room_for_two(room_id).to_stored())
        assert [s.room_id for s in await store.open_rooms(10)] == ["w", "z", "y", "x"]

    async def test_the_rooms_waiting_for_the_bot_come_in_due_order_a_page_at_a_time(
            self, make_store: MakeStore) -> None:
        store = await make_store()
        # Ties on the due time are taken by identifier, byte by byte ("B" < "_" < "a").
        dues = {"late": 30.0, "b": 10.0, "a": 10.0, "B": 10.0, "_x": 10.0, "early": 1.0,
                "mid": 20.0}
        for room_id, due in dues.items():
            await store.create(waiting(room_id, due, version=len(room_id)))
        await store.create(waiting("idle", None))
        pages: list[list[WaitingRoom]] = []
        after: WaitingRoom | None = None
        while True:
            page = await store.rooms_waiting_for_bot(after, 3)
            pages.append(page)
            if len(page) < 3:
                break
            after = page[-1]
        order = [room.room_id for page in pages for room in page]
        assert order == ["early", "B", "_x", "a", "b", "mid", "late"]
        assert [len(page) for page in pages] == [3, 3, 1]
        assert pages[0][0] == WaitingRoom("early", 5, 1.0)
        # A room that stops waiting leaves the list; the cursor still holds.
        stopped = dataclasses.replace(waiting("mid", None), version=4)
        assert await store.update(stopped)
        assert [r.room_id for r in await store.rooms_waiting_for_bot(pages[0][-1], 10)] == [
            "a", "b", "late"]


class TestTheSweep:
    async def test_the_store_deletes_the_oldest_rooms_a_batch_at_a_time(
            self, make_store: MakeStore) -> None:
        now = [1000.0]
        store = await make_store(clock=lambda: now[0])
        made = [Room.for_humans(f"old{n}") for n in range(7)]
        rooms = [room for room, _, _ in made]
        for room in rooms:
            await store.create(room.to_stored())
            now[0] += 1
        now[0] = 5000.0
        await store.create(Room.for_humans("new")[0].to_stored())
        rooms[3].join(made[3][2])                             # touched: kept
        assert await store.update(rooms[3].to_stored())

        batches = [await store.delete_untouched(2000.0, 3) for _ in range(3)]
        assert batches == [["old0", "old1", "old2"], ["old4", "old5", "old6"], []]
        for room_id in ("old3", "new"):
            assert await store.load(room_id) is not None
        assert await store.version("old0") is None

    async def test_two_sweeps_at_once_delete_each_room_once(self, make_store: MakeStore) -> None:
        now = [1000.0]
        one = await make_store(clock=lambda: now[0])
        two = await make_store(clock=lambda: now[0])
        for n in range(40):
            await one.create(Room.for_humans(f"r{n:02}")[0].to_stored())
            now[0] += 1
        batches = await asyncio.gather(*(store.delete_untouched(2000.0, 7)
                                         for _ in range(4) for store in (one, two)))
        deleted = [room_id for batch in batches for room_id in batch]
        assert len(deleted) == len(set(deleted)) and all(len(b) <= 7 for b in batches)
        while True:
            batch = await two.delete_untouched(2000.0, 7)
            deleted += batch
            if not batch:
                break
        assert sorted(deleted) == [f"r{n:02}" for n in range(40)]


class TestOpenedAgain:
    async def test_a_store_opened_again_has_every_room_and_carries_on_the_order(
            self, make_store: MakeStore) -> None:
        first = await make_store(clock=lambda: 9000.0)
        for room_id in ("p", "q"):
            await first.create(full_room_for_two(room_id).to_stored())
        # Another process whose clock is behind: its changes still come after.
        second = await make_store(clock=lambda: 10.0)
        assert await second.healthy() and await second.version("q") == 1
        await second.create(full_room_for_two("r").to_stored())
        assert [s.room_id for s in await first.open_rooms(10)] == ["r", "q", "p"]
        assert await first.delete_untouched(9000.0, 10) == []

    async def test_stores_opened_at_once_on_one_new_database_all_work(
            self, make_store: MakeStore) -> None:
        stores = await asyncio.gather(*(make_store() for _ in range(4)))
        for n, store in enumerate(stores):
            await store.create(Room.for_humans(f"r{n}")[0].to_stored())
        for store in stores:
            assert [await store.version(f"r{n}") for n in range(4)] == [0] * 4


async def _load(store: RoomStore, room_id: str) -> StoredRoom:
    found = await store.load(room_id)
    assert found is not None
    return found
