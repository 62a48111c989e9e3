"""``/healthz`` and ``/metrics`` of one server process (in-process events, its own pool of
bot workers): what they answer, that the load balancer and the monitoring are never
rate limited from loopback, and that the metrics count what happened, by route pattern
and never by the paths clients make up."""

from __future__ import annotations

import asyncio
import time
from pathlib import Path
from typing import Any

import aiohttp
import pytest
from serve_helpers import ServerProcess, create, get_state
from serve_helpers import metric as value
from varno_serve import health as health_module
from varno_serve.metrics import CountingStore, Metrics


class TestHealth:
    async def test_a_single_process_serves_with_its_parts_local(self, client: Any) -> None:
        response = await client.get("/healthz")
        assert response.status == 200 and response.headers["Cache-Control"] == "no-store"
        assert await response.json() == {"node": "local", "store": "up", "events": "local",
                                          "queue": "local"}

    async def test_a_store_that_fails_or_hangs_is_down_and_the_node_unavailable(
            self, client: Any, monkeypatch: pytest.MonkeyPatch) -> None:
        store = client.varno.store

        async def failing() -> bool:
            raise OSError("the disk is gone")

        async def hanging() -> bool:
            await asyncio.sleep(60)
            return True

        monkeypatch.setattr(health_module, "HEALTH_SECONDS", 0.2)
        for broken in (failing, hanging):
            monkeypatch.setattr(store, "healthy", broken)
            began = time.monotonic()
            response = await client.get("/healthz")
            assert response.status == 503
            assert (await response.json())["store"] == "down"
            assert time.monotonic() - began < 5
        monkeypatch.undo()
        assert (await client.get("/healthz")).status == 200

    async def test_a_closed_sqlite_store_is_down(self, tmp_path: Path) -> None:
        from varno_serve.store.sqlite import SqliteRoomStore
        store = SqliteRoomStore(tmp_path / "rooms.db")
        assert await store.healthy()
        await store.close()
        assert not await store.healthy()


class TestMetrics:
    async def test_failures_of_the_store_are_counted_by_operation(self, tmp_path: Path) -> None:
        from varno_serve.store.sqlite import SqliteRoomStore
        metrics = Metrics()
        store = CountingStore(SqliteRoomStore(tmp_path / "rooms.db"), metrics)
        assert await store.load("nosuchroom") is None
        await store.close()
        with pytest.raises(RuntimeError):
            await store.load("nosuchroom")
        found = metrics.exposition().decode()
        assert value(found, "varno_store_errors_total", operation="load") == 1
        assert value(found, "varno_store_errors_total", operation="update") == 0

    async def test_requests_are_counted_by_route_pattern(self, client: Any) -> None:
        made = await create(client, mode="humans")
        await get_state(client, made["room"])
        await client.get("/api/rooms/nosuchroom")
        await client.get("/some/made/up/path")
        await client.request("PROPFIND", "/api/config")
        response = await client.get("/metrics")
        assert response.status == 200
        assert response.content_type == "text/plain"
        found = text = await response.text()
        assert value(found, "varno_requests_total", route="/api/rooms", method="POST",
                     status="201") == 1
        assert value(found, "varno_requests_total", route="/api/rooms/{room}", method="GET",
                     status="200") == 1
        assert value(found, "varno_requests_total", route="/api/rooms/{room}", method="GET",
                     status="404") == 1
        assert value(found, "varno_requests_total", route="unrouted", method="GET",
                     status="404") == 1
        # A method no route of the path takes: refused before any route is chosen.
        assert value(found, "varno_requests_total", route="unrouted", method="other",
                     status="405") == 1
        # No path a client chose, no room's identifier, becomes a series of its own.
        assert made["room"] not in text and "made/up" not in text and "PROPFIND" not in text


class TestOneProcess:
    def test_the_monitoring_is_not_rate_limited_from_loopback_but_what_a_proxy_passes_on(self, tmp_path: Path) -> None:
        server = ServerProcess(tmp_path / "rooms.db",
                               limits={"request_burst": 2, "requests_per_second": 0.01},
                               options=["--node", "edge-1", "--trusted-proxy", "127.0.0.1"])
        try:
            asyncio.run(self._limited(server.url))
        finally:
            server.stop()
        # Twenty checks and scrapes that succeeded: not in the access log (the balancer's
        # polls would drown it); the refused requests are.
        log = server.log.read_text()
        assert '"GET /api/config HTTP/1.1" 429' in log
        assert '"GET /metrics HTTP/1.1" 429' in log
        assert '"GET /healthz HTTP/1.1" 200' not in log
        assert '"GET /metrics HTTP/1.1" 200' not in log

    async def _limited(self, url: str) -> None:
        async with aiohttp.ClientSession(url) as session:
            statuses = []
            for _ in range(3):
                async with session.get("/api/config") as response:
                    statuses.append(response.status)
            assert statuses == [200, 200, 429]
            for _ in range(20):
                async with session.get("/healthz") as response:
                    assert response.status == 200
                    assert (await response.json())["node"] == "edge-1"
                async with session.get("/metrics") as response:
                    assert response.status == 200
                    text = await response.text()
        assert 'varno_node_info{node="edge-1"} 1.0' in text
        # What the proxy passes on is its client's, limited like any request: a client
        # behind the load balancer cannot scrape or check without end.
        for header in ({"X-Forwarded-For": "203.0.113.9"}, {"Forwarded": "for=203.0.113.9"}):
            async with aiohttp.ClientSession(url, headers=header) as session:
                statuses = []
                for path in ("/metrics", "/healthz", "/metrics"):
                    async with session.get(path) as response:
                        statuses.append(response.status)
                assert statuses[-1] == 429, (header, statuses)

    def test_a_game_against_the_bot_is_counted(self, tmp_path: Path) -> None:
        server = ServerProcess(tmp_path / "rooms.db",
                               limits={"request_burst": 10**6, "requests_per_second": 1e6,
                                       "room_creations_per_minute": 1000,
                                       "pending_searches": 7})
        try:
            during, after, node = asyncio.run(self._game(server.url))
        finally:
            server.stop()
        # The node's name is the address it listens on, unless --node says.
        assert node == server.url.removeprefix("http://")
        assert value(during, "varno_watchers") == 1
        assert value(after, "varno_watchers") == 0
        moves = value(after, "varno_requests_total", route="/api/rooms/{room}/moves",
                      method="POST", status="200")
        assert moves >= 2
        assert value(after, "varno_move_ack_seconds_count") == moves
        # Each move the person made asked for one search of the bot, at depth 2.
        assert value(after, "varno_search_seconds_count", depth="2") >= moves
        assert value(after, "varno_bot_wait_seconds_count") >= moves
        assert value(after, "varno_bot_queue_limit") == 7
        assert value(after, "varno_push_seconds_count", via="local") >= 2 * moves
        assert value(after, "varno_events_up") == 1
        assert value(after, "varno_store_errors_total", operation="update") == 0

    async def _game(self, url: str) -> tuple[str, str, str]:
        async with aiohttp.ClientSession(url) as session:
            async with session.post("/api/rooms", json={"mode": "bot", "depth": 2}) as response:
                made = await response.json()
            room, token = made["room"], made["token"]
            async with session.ws_connect(f"/api/rooms/{room}/ws") as ws:
                state = await ws.receive_json(timeout=10)
                for _ in range(2):
                    async with session.post(f"/api/rooms/{room}/moves", json={
                            "move": state["legal"][0], "token": token}) as response:
                        assert response.status == 200
                        state = await response.json()
                    # The bot's reply comes over the WebSocket.
                    while state["to_move"] != "A" and state["result"] is None:
                        state = await ws.receive_json(timeout=30)
                    if state["result"] is not None:
                        break
                async with session.get("/metrics") as response:
                    during = await response.text()
            await asyncio.sleep(0.1)
            async with session.get("/metrics") as response:
                after = await response.text()
            async with session.get("/healthz") as response:
                node: str = (await response.json())["node"]
        return during, after, node
