"""Fixtures of the PostgreSQL store's tests: a server of the tests' own for the session,
a fresh database per test, a server of a test's own to kill, and the store of either
backend (for the tests every backend must pass).

A test module takes the fixtures it uses by importing them from here.
"""

from __future__ import annotations

import itertools
import os
import shutil
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from pathlib import Path

import pytest
import pytest_asyncio

pytest.importorskip("psycopg")
pytest.importorskip("aiohttp")

from cluster_services import LOOPBACK, PostgresServer  # noqa: E402
from varno_serve.store import RoomStore  # noqa: E402
from varno_serve.store.postgresql import open_postgresql  # noqa: E402
from varno_serve.store.sqlite import SqliteRoomStore  # noqa: E402

# The servers' data: in the build tree (a folder the server's own user can reach).
BUILD = Path(__file__).resolve().parents[2] / "build" / "cluster-tests"

_databases = itertools.count()

Clock = Callable[[], float]
MakeStore = Callable[..., Awaitable[RoomStore]]


def _server(name: str) -> PostgresServer:
    folder = BUILD / f"{name}-{os.getpid()}"
    shutil.rmtree(folder, ignore_errors=True)
    return PostgresServer(folder)


def _remove(server: PostgresServer) -> None:
    server.stop()
    shutil.rmtree(server.folder, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres_server() -> Iterator[PostgresServer]:
    """One server for the session's tests, each on a database of its own."""
    server = _server("postgres")
    server.start()
    try:
        yield server
    finally:
        _remove(server)


@pytest.fixture
def pg_dsn(postgres_server: PostgresServer) -> Iterator[str]:
    """A fresh database on the session's server: its URL."""
    name = f"test_{next(_databases)}"
    postgres_server.psql(f"CREATE DATABASE {name}", database="postgres")
    yield f"postgresql://postgres@{LOOPBACK}:{postgres_server.port}/{name}"
    postgres_server.psql(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)", database="postgres")


@pytest.fixture
def own_postgres() -> Iterator[PostgresServer]:
    """A server of the test's own, to kill and start again (its ``dsn``)."""
    server = _server(f"postgres-own-{next(_databases)}")
    server.start()
    try:
        yield server
    finally:
        _remove(server)


@pytest_asyncio.fixture(params=["sqlite", "postgresql"])
async def make_store(request: pytest.FixtureRequest, tmp_path: Path) -> AsyncIterator[MakeStore]:
    """``await make_store(clock=...)``: a store of the backend the test runs on, on one
    SQLite file or PostgreSQL database per test (each call opens another store on it,
    as another process would); closed after the test."""
    opened: list[RoomStore] = []
    dsn = request.getfixturevalue("pg_dsn") if request.param == "postgresql" else ""

    async def make(clock: Clock = time.time) -> RoomStore:
        store: RoomStore
        if dsn:
            store = await open_postgresql(dsn.partition("://")[2], clock)
        else:
            store = SqliteRoomStore(tmp_path / "rooms.db", clock)
        opened.append(store)
        return store

    yield make
    for store in opened:
        await store.close()
