"""Fixtures of the varno-serve tests: an in-process server on a loopback port."""

from __future__ import annotations

import ipaddress
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("aiohttp")
import pytest_asyncio  # noqa: E402

from serve_helpers import LOOPBACK, UNLIMITED, make_server  # noqa: E402
from varno_serve.limits import Limits  # noqa: E402
from varno_serve.web import make_app  # noqa: E402


@pytest_asyncio.fixture
async def start(aiohttp_client: Any, tmp_path: Path) -> Any:
    """``await start(db, trusted_proxies, **limits)``: a server on a fresh database (or
    ``db``) and a client of it; ``client.varno`` is its room service. The limits not
    given are those of ``UNLIMITED`` and then the defaults."""

    async def starting(db: Path | None = None, trusted_proxies: Sequence[str] = (),
                       **limits: Any) -> Any:
        settings = Limits().set({**UNLIMITED, **limits}.items())
        service = make_server(db or tmp_path / "rooms.db", settings)
        proxies = [ipaddress.ip_network(proxy) for proxy in trusted_proxies]
        client = await aiohttp_client(make_app(service, settings, proxies),
                                      server_kwargs={"host": LOOPBACK})
        client.varno = service
        return client

    return starting


@pytest_asyncio.fixture
async def client(start: Any) -> Any:
    return await start()
