"""The PostgreSQL store's own: its URL and what is shown of it, the schema migrated once
by nodes starting together, a database killed or stuck (``StoreUnavailable``, 503) and
found again without a restart of the node, and two nodes playing one room."""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import subprocess
import sys
import time
from collections.abc import AsyncIterator, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from pg_fixtures import own_postgres, pg_dsn, postgres_server  # noqa: F401
from serve_helpers import LOOPBACK, UNLIMITED, ServerProcess
from cluster_services import PostgresServer, free_port
from varno_serve.__main__ import build_parser
from varno_serve.bots import PoolBots
from varno_serve.events import LocalEvents
from varno_serve.limits import Limits
from varno_serve.room import Room
from varno_serve.service import RoomService
from varno_serve.store import StoreUnavailable, StoreURLError, check_store_url, open_store, shown_url
from varno_serve.store import postgresql
from varno_serve.store.postgresql import PostgresRoomStore, check_url, open_postgresql
from varno_serve.web import make_app

SECRET = "s3cr3t-pa55"


def rest(dsn: str) -> str:
    return dsn.partition("://")[2]


def with_password(dsn: str) -> str:
    """The URL with a password (the tests' server trusts loopback and never asks)."""
    return dsn.replace("postgres@", f"postgres:{SECRET}@")


class TestTheURL:
    async def test_both_schemes_open_the_database(self, pg_dsn: str) -> None:
        for scheme in ("postgresql", "postgres"):
            store = await open_store(f"{scheme}://{rest(pg_dsn)}?pool_size=2&timeout=3")
            assert isinstance(store, PostgresRoomStore) and store.shared
            assert await store.healthy()
            await store.close()

    @pytest.mark.parametrize("url", [
        "postgresql://h/db?pool_size=0", "postgresql://h/db?pool_size=many",
        "postgresql://h/db?timeout=0", "postgresql://h/db?timeout=soon",
        "postgresql://h:port/db", "postgres://h/db?pool_size=100000",
    ])
    def test_options_it_cannot_use_are_refused_before_anything_opens(self, url: str) -> None:
        with pytest.raises(StoreURLError):
            check_store_url(url)

    def test_the_store_options_are_not_handed_to_libpq(self) -> None:
        settings = check_url("u@h:5433/db?sslmode=disable&pool_size=3&timeout=2.5&options=-c%20x%3Dy")
        assert (settings.pool_size, settings.timeout) == (3, 2.5)
        assert settings.conninfo == ("postgresql://u@h:5433/db?sslmode=disable&"
                                     "options=-c%20x%3Dy&connect_timeout=2")
        defaults = check_url("h/db?connect_timeout=9")
        assert defaults.pool_size == postgresql.DEFAULT_POOL_SIZE
        assert defaults.conninfo == "postgresql://h/db?connect_timeout=9"

    def test_the_command_line_takes_it_and_says_what_is_missing_without_the_extra(
            self, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
        url = "postgres://varno@db.example:5433/rooms?pool_size=20"
        assert build_parser().parse_args(["--store", url]).store == url
        monkeypatch.setitem(sys.modules, "psycopg", None)
        monkeypatch.delitem(sys.modules, "varno_serve.store.postgresql")
        with pytest.raises(SystemExit):
            build_parser().parse_args(["--store", url])
        assert "pip install 'varno[cluster]'" in capsys.readouterr().err

    def test_a_password_is_never_shown(self) -> None:
        assert shown_url(f"postgresql://u:{SECRET}@h:1/db?timeout=2") == \
            "postgresql://u:***@h:1/db?timeout=2"
        assert SECRET not in shown_url(f"postgres://h/db?user=u&password={SECRET}")
        assert shown_url("sqlite:///srv/rooms.db") == "sqlite:///srv/rooms.db"
        with pytest.raises(StoreURLError) as refused:
            check_store_url(f"postgresql://u:{SECRET}@h/db?pool_size=0")
        assert SECRET not in str(refused.value)

    async def test_nor_logged_when_the_database_goes(
            self, own_postgres: PostgresServer, caplog: pytest.LogCaptureFixture) -> None:
        caplog.set_level(logging.DEBUG)
        store = await open_postgresql(rest(with_password(own_postgres.dsn)) + "?timeout=1")
        assert SECRET not in repr(store) and "***" in repr(store)
        own_postgres.kill()
        with pytest.raises(StoreUnavailable) as down:
            await store.version("r1")
        await store.close()
        assert SECRET not in str(down.value) and SECRET not in caplog.text


class TestTheSchema:
    async def test_nodes_starting_together_migrate_it_once(
            self, pg_dsn: str, monkeypatch: pytest.MonkeyPatch) -> None:
        first = await open_postgresql(rest(pg_dsn))
        await first.create(Room.for_humans("kept")[0].to_stored())
        await first.close()
        # A new version whose steps fail if run twice, taken by five nodes at once.
        monkeypatch.setattr(postgresql, "MIGRATIONS", [*postgresql.MIGRATIONS, (
            "ALTER TABLE varno_rooms ADD COLUMN note text",
            "CREATE TABLE migrated (node integer)",
            "INSERT INTO migrated VALUES (pg_backend_pid())",
        )])
        stores = await asyncio.gather(*(open_postgresql(rest(pg_dsn)) for _ in range(5)))
        try:
            probe = stores[0]

            async def one_value(sql: str) -> Any:
                async with probe._pool.connection() as connection:
                    row = await (await connection.execute(sql)).fetchone()
                    assert row is not None
                    return row[0]

            assert await one_value("SELECT count(*) FROM migrated") == 1
            assert await one_value("SELECT version FROM varno_schema") == 2
            assert await one_value("SELECT count(*) FROM varno_schema") == 1
            assert all([await store.version("kept") == 0 for store in stores])
        finally:
            for store in stores:
                await store.close()

    async def test_a_schema_newer_than_the_servers_is_left_as_it_is(
            self, pg_dsn: str, postgres_server: PostgresServer,
            caplog: pytest.LogCaptureFixture) -> None:
        await (await open_postgresql(rest(pg_dsn))).close()
        database = pg_dsn.rpartition("/")[2]
        postgres_server.psql("UPDATE varno_schema SET version = 99", database=database)
        store = await open_postgresql(rest(pg_dsn))
        await store.create(Room.for_humans("r1")[0].to_stored())
        await store.close()
        assert postgres_server.psql("SELECT version FROM varno_schema", database=database).strip() == "99"
        assert "newer than this server's" in caplog.text


@contextlib.contextmanager
def stopped(server: PostgresServer) -> Iterator[None]:
    """The server's processes stopped (SIGSTOP): a database that takes connections and
    statements and never answers."""
    server.pause()
    try:
        yield
    finally:
        server.resume()


class TestUnavailable:
    async def test_a_database_killed_and_started_again_is_found_again(
            self, own_postgres: PostgresServer) -> None:
        store = await open_postgresql(rest(own_postgres.dsn) + "?timeout=1&pool_size=3")
        room, _, invite = Room.for_humans("r1")
        await store.create(room.to_stored())
        own_postgres.kill()
        room.join(invite)
        for call in (store.version("r1"), store.load("r1"), store.update(room.to_stored()),
                     store.create(Room.for_humans("r2")[0].to_stored()), store.open_rooms(5),
                     store.rooms_waiting_for_bot(None, 5), store.delete_untouched(0.0, 5)):
            began = time.monotonic()
            with pytest.raises(StoreUnavailable):
                await call
            assert time.monotonic() - began < 1 + postgresql.DEADLINE_MARGIN + 1
        assert not await store.healthy()

        own_postgres.start()
        # The same store: its pool reconnects by itself.
        deadline = time.monotonic() + 15
        while not await store.healthy():
            assert time.monotonic() < deadline, "the store did not find the database again"
            await asyncio.sleep(0.1)
        assert await store.version("r1") == 0 and await store.load("r2") is None
        assert await store.update(room.to_stored()) and await store.version("r1") == 1
        await store.close()

    async def test_the_first_reads_after_a_restart_find_the_database(
            self, own_postgres: PostgresServer) -> None:
        """A restart between two requests: the pool's connections are all broken, and
        the next reads are answered all the same (tried again on new connections)."""
        store = await open_postgresql(rest(own_postgres.dsn) + "?pool_size=4")
        await store.create(Room.for_humans("r1")[0].to_stored())
        # Every connection of the pool opened and idle.
        await asyncio.gather(*(store.version("r1") for _ in range(8)))
        own_postgres.kill()
        own_postgres.start()
        assert await asyncio.gather(*(store.version("r1") for _ in range(4))) == [0] * 4
        await store.close()

    async def test_a_stuck_database_does_not_hold_a_request(
            self, own_postgres: PostgresServer) -> None:
        store = await open_postgresql(rest(own_postgres.dsn) + "?timeout=0.5")
        await store.create(Room.for_humans("r1")[0].to_stored())
        with stopped(own_postgres):
            for call in (store.version("r1"), store.create(Room.for_humans("r2")[0].to_stored())):
                began = time.monotonic()
                with pytest.raises(StoreUnavailable):
                    await call
                assert time.monotonic() - began < 0.5 + postgresql.DEADLINE_MARGIN + 0.5
            assert not await store.healthy()
        deadline = time.monotonic() + 15
        while not await store.healthy():
            assert time.monotonic() < deadline
            await asyncio.sleep(0.1)
        # The write given up on may have been made or not; the store says which.
        assert await store.version("r1") == 0 and await store.version("r2") in (0, None)
        await store.close()


# -- nodes -----------------------------------------------------------------------------------

@contextlib.asynccontextmanager
async def node(aiohttp_client: Any, dsn: str) -> AsyncIterator[Any]:
    """A server node in this process on the database ``dsn``: a client of it."""
    limits = Limits().set(UNLIMITED.items())
    store = await open_postgresql(rest(dsn))
    bots = PoolBots(lambda: ThreadPoolExecutor(1), pending_searches=limits.pending_searches)
    service = RoomService(store, LocalEvents(), bots, rooms_in_memory=limits.rooms_in_memory)
    client = await aiohttp_client(make_app(service, limits), server_kwargs={"host": LOOPBACK})
    try:
        yield client
    finally:
        await client.close()


async def answer(response: aiohttp.ClientResponse) -> dict[str, Any]:
    text = await response.text()
    assert response.status in (200, 201), (response.status, text)
    found: dict[str, Any] = json.loads(text)
    return found


class TestTwoNodes:
    async def test_moves_alternating_between_nodes_make_one_history(
            self, aiohttp_client: Any, pg_dsn: str) -> None:
        async with node(aiohttp_client, pg_dsn) as one, node(aiohttp_client, pg_dsn) as two:
            made = await answer(await one.post("/api/rooms", json={"mode": "humans"}))
            room = made["room"]
            joined = await answer(await two.post(f"/api/rooms/{room}/join",
                                                 json={"invite": made["invite"]}))
            tokens = {"A": made["token"], "B": joined["token"]}
            nodes = (one, two)
            played: list[str] = []
            state = await answer(await one.get(f"/api/rooms/{room}"))
            while state["result"] is None and state["legal"]:
                mover, other = nodes[len(played) % 2], nodes[(len(played) + 1) % 2]
                # Each node has the room in memory, and the other changed it since.
                seen = await answer(await mover.get(f"/api/rooms/{room}"))
                assert seen["version"] == state["version"]
                mv = seen["legal"][0]
                state = await answer(await mover.post(
                    f"/api/rooms/{room}/moves", json={"move": mv, "token": tokens[seen["to_move"]]}))
                played.append(mv)
                assert (await answer(await other.get(f"/api/rooms/{room}")))["version"] == \
                    state["version"]
            ends = [await answer(await n.get(f"/api/rooms/{room}")) for n in nodes]
            assert ends[0] == ends[1] == state
            assert [turn["move"] for turn in state["history"] if turn["move"]] == played
            assert len(played) >= 6

    async def test_a_bot_game_played_through_both_nodes(
            self, aiohttp_client: Any, pg_dsn: str) -> None:
        async with node(aiohttp_client, pg_dsn) as one, node(aiohttp_client, pg_dsn) as two:
            made = await answer(await one.post("/api/rooms",
                                               json={"mode": "bot", "side": "A", "depth": 1}))
            room, token = made["room"], made["token"]
            persons = 0
            state = await answer(await two.get(f"/api/rooms/{room}"))
            while state["result"] is None:
                here = (one, two)[persons % 2]
                state = await answer(await here.get(f"/api/rooms/{room}"))
                if state["thinking"] or state["to_move"] != "A":
                    await asyncio.sleep(0.01)
                    continue
                if not state["legal"]:
                    break
                state = await answer(await here.post(
                    f"/api/rooms/{room}/moves", json={"move": state["legal"][0], "token": token}))
                persons += 1
            # One sequence: the person (A) and the bot (B) in turn, passes included, so
            # no turn of the bot's was lost or played twice.
            sides = [(turn["side"], turn["by"]) for turn in state["history"]]
            assert sides == [("A", "human"), ("B", "bot")] * (len(sides) // 2) + \
                [("A", "human")] * (len(sides) % 2)
            assert sum(by == "human" for _, by in sides) == persons >= 3


# -- a server process ------------------------------------------------------------------------

async def status_of(session: aiohttp.ClientSession, method: str, path: str,
                    body: dict[str, Any] | None = None) -> tuple[int, dict[str, Any], str | None]:
    async with session.request(method, path, json=body) as response:
        data: dict[str, Any] = await response.json()
        return response.status, data, response.headers.get("Retry-After")


class TestAServerAndItsDatabase:
    def test_a_server_whose_database_is_out_of_reach_does_not_start(self) -> None:
        nowhere = f"postgresql://varno:{SECRET}@{LOOPBACK}:{free_port()}/varno?timeout=1"
        began = time.monotonic()
        done = subprocess.run([sys.executable, "-m", "varno_serve", "--port", "0",
                               "--store", nowhere], capture_output=True, text=True, timeout=60)
        assert done.returncode == 1 and time.monotonic() - began < 30
        assert "varno-serve: postgresql://varno:***@" in done.stderr
        assert SECRET not in done.stderr + done.stdout

    def test_requests_while_the_database_is_down_get_503_and_nothing_is_lost(
            self, own_postgres: PostgresServer, tmp_path: Path) -> None:
        server = ServerProcess(tmp_path / "node.db",
                               store=with_password(own_postgres.dsn) + "?timeout=1")
        try:
            outcome = asyncio.run(self._play_through_an_outage(server.url, own_postgres))
        finally:
            server.stop()
        acknowledged, history = outcome
        assert history == acknowledged and len(acknowledged) >= 4
        log = (tmp_path / "node.log").read_text()
        assert "the store is unavailable" in log and SECRET not in log

    @staticmethod
    async def _play_through_an_outage(url: str, database: PostgresServer
                                      ) -> tuple[list[str], list[str]]:
        acknowledged: list[str] = []
        async with aiohttp.ClientSession(url) as session:
            status, made, _ = await status_of(session, "POST", "/api/rooms", {"mode": "humans"})
            assert status == 201
            room = made["room"]
            status, joined, _ = await status_of(session, "POST", f"/api/rooms/{room}/join",
                                                {"invite": made["invite"]})
            tokens = {"A": made["token"], "B": joined["token"]}

            async def play() -> int:
                status, state, _ = await status_of(session, "GET", f"/api/rooms/{room}")
                if status != 200:
                    return status
                mv = state["legal"][0]
                status, after, retry = await status_of(
                    session, "POST", f"/api/rooms/{room}/moves",
                    {"move": mv, "token": tokens[state["to_move"]]})
                if status == 200:
                    acknowledged.append(mv)
                else:
                    assert status == 503 and retry is not None and int(retry) >= 1, after
                return status

            for _ in range(2):
                assert await play() == 200
            database.kill()
            refused = []
            for _ in range(3):
                refused.append(await play())
                for method, path, body in (("GET", f"/api/rooms/{room}", None),
                                           ("GET", "/api/rooms", None),
                                           ("POST", "/api/rooms", {"mode": "humans"})):
                    status, error, retry = await status_of(session, method, path, body)
                    assert status == 503 and retry is not None, (method, path, status, error)
                    refused.append(status)
            assert set(refused) == {503}
            database.start()
            deadline = time.monotonic() + 20
            while (await status_of(session, "GET", f"/api/rooms/{room}"))[0] != 200:
                assert time.monotonic() < deadline, "the node did not find its database again"
                await asyncio.sleep(0.2)
            for _ in range(2):
                assert await play() == 200
            status, state, _ = await status_of(session, "GET", f"/api/rooms/{room}")
            history = [turn["move"] for turn in state["history"] if turn["move"]]
        return acknowledged, history
