"""The cluster's tests find the service-starting code of ``make cluster`` (``tools/``),
the server tests' helpers (``tests/serve``) and the rules' model (``tests/python``); and
share one cluster, as ``make cluster`` starts it, for the session."""

from __future__ import annotations

import os
import shutil
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

TESTS = Path(__file__).resolve().parents[1]
for folder in (TESTS.parent / "tools", TESTS / "serve", TESTS / "python"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

BUILD = TESTS.parent / "build" / "cluster-tests"
# Short leases, so that a job whose worker was killed is taken over within seconds.
LEASE_SECONDS = 2.0


@pytest.fixture
def redis_server(tmp_path: Path) -> Iterator[Any]:
    """A Redis server of the test's own (``url``), to kill and start again."""
    from cluster_services import RedisServer

    server = RedisServer(tmp_path / "redis")
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def cluster() -> Iterator[Any]:
    """PostgreSQL, Redis, three nodes, two workers and HAProxy on ports of their own, with
    the limits of scripted clients: a test that kills a part starts it again
    (``cluster.start()``) before it ends."""
    pytest.importorskip("psycopg")
    pytest.importorskip("redis")
    from cluster_services import Cluster, free_port
    from serve_helpers import UNLIMITED

    folder = BUILD / f"cluster-{os.getpid()}"
    shutil.rmtree(folder, ignore_errors=True)
    started = Cluster(folder, free_port(), limits=UNLIMITED, lease=LEASE_SECONDS)
    try:
        started.start()
        yield started
    finally:
        started.stop()
        shutil.rmtree(folder, ignore_errors=True)
