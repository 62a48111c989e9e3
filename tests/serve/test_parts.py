"""The parts of varno-serve on their own: the command line and its limits, the store's
URL, the events' feeds and the bot's scheduler."""

from __future__ import annotations

import asyncio
import logging
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest
from serve_helpers import wait_for
from varno_serve import bots as bots_module
from varno_serve.__main__ import build_parser
from varno_serve.bots import PoolBots, Search
from varno_serve.events import Feed, LocalEvents, shown_url
from varno_serve.limits import ClientAddresses, Limits, RateLimiter, parse_network
from varno_serve.room import Room
from varno_serve.service import RoomService
from varno_serve.store import StoreURLError, WaitingRoom, open_store
from varno_serve.store.sqlite import SqliteRoomStore


class TestCommandLine:
    def test_the_store_is_one_option_and_db_its_shorthand(self) -> None:
        parser = build_parser()
        assert parser.parse_args([]).store == "sqlite://varno-serve.db"
        assert parser.parse_args(["--db", "/tmp/r.db"]).store == "sqlite:///tmp/r.db"
        assert parser.parse_args(["--store", "sqlite:///srv/r.db"]).store == "sqlite:///srv/r.db"

    @pytest.mark.parametrize("argv", [
        ["--store", "mysql://x/y"], ["--store", "rooms.db"], ["--store", "sqlite://"],
        ["--store", "postgresql://x/y?pool_size=0"],
        ["--db", "a.db", "--store", "sqlite://b.db"],
    ])
    def test_a_store_that_cannot_be_is_a_usage_error(self, argv: list[str],
                                                      capsys: pytest.CaptureFixture[str]) -> None:
        with pytest.raises(SystemExit) as leaving:
            build_parser().parse_args(argv)
        assert leaving.value.code == 2 and "--store" in capsys.readouterr().err

    def test_limits_by_name(self) -> None:
        args = build_parser().parse_args([
            "--limit", "requests_per_second=2.5", "--limit", "room_creations_per_minute=3",
            "--limit", "rooms_in_memory=7", "--limit", "rooms_in_memory=9"])
        limits = Limits().set(args.limit)
        assert limits.requests_per_second == 2.5 and limits.room_creations_per_minute == 3
        assert limits.rooms_in_memory == 9          # the last one given
        assert limits.room_days == Limits().room_days
        assert set(Limits.names()) >= {
            "requests_per_second", "room_creations_per_minute", "pending_searches",
            "idle_seconds", "idle_connections_per_address", "rooms_in_memory", "room_days"}

    def test_events_across_nodes_and_the_nodes_name(
            self, capsys: pytest.CaptureFixture[str]) -> None:
        parser = build_parser()
        defaults = parser.parse_args([])
        assert defaults.events is None and defaults.node is None
        args = parser.parse_args(["--events", "redis://10.0.0.5:6379/2", "--node", "edge-1"])
        assert (args.events, args.node) == ("redis://10.0.0.5:6379/2", "edge-1")
        assert parser.parse_args(["--events", "unix:///run/redis.sock"]).events
        for wrong in (["--events", "http://x"], ["--events", "redis://"],
                      ["--events", "redis://h:port"], ["--node", " "]):
            with pytest.raises(SystemExit) as leaving:
                parser.parse_args(wrong)
            assert leaving.value.code == 2 and wrong[0] in capsys.readouterr().err
        # What the logs say of the URL: never its password.
        assert shown_url("redis://:s3cret@h:6379/0") == "redis://:***@h:6379/0"
        assert shown_url("redis://u:s3cret@h/0") == "redis://u:***@h/0"
        assert shown_url("redis://h:6379/0") == "redis://h:6379/0"

    @pytest.mark.parametrize("setting", [
        "bogus=1", "requests_per_second", "rooms_in_memory=1.5", "rooms_in_memory=x",
        "idle_seconds=0", "idle_seconds=-1", "idle_seconds=nan", "idle_seconds=inf",
    ])
    def test_unknown_limits_and_bad_values_are_usage_errors(
            self, setting: str, capsys: pytest.CaptureFixture[str]) -> None:
        with pytest.raises(SystemExit) as leaving:
            build_parser().parse_args(["--limit", setting])
        assert leaving.value.code == 2 and "--limit" in capsys.readouterr().err


class Clock:
    def __init__(self) -> None:
        self.now = 100.0

    def __call__(self) -> float:
        return self.now


class TestRateLimiter:
    def test_a_burst_then_a_steady_rate(self) -> None:
        clock = Clock()
        limiter = RateLimiter(Limits(request_burst=2, requests_per_second=1.0), clock)
        assert [limiter.request("a") for _ in range(3)] == [0.0, 0.0, 1.0]
        clock.now += 0.5
        assert limiter.request("a") == 0.5         # refused: nothing counted
        assert limiter.request("b") == 0.0         # another client has its own
        clock.now += 0.5
        assert limiter.request("a") == 0.0
        clock.now += 1000                          # it comes back up to the burst, no more
        assert [limiter.request("a") for _ in range(3)] == [0.0, 0.0, 1.0]

    def test_new_rooms_per_minute(self) -> None:
        clock = Clock()
        limiter = RateLimiter(Limits(room_creations_per_minute=3), clock)
        assert [limiter.new_room("a") for _ in range(4)] == [0.0, 0.0, 0.0, 20.0]
        clock.now += 20
        assert limiter.new_room("a") == 0.0
        assert limiter.new_room("a") == 20.0

    def test_the_table_of_clients_is_bounded(self) -> None:
        clock = Clock()
        limiter = RateLimiter(Limits(request_burst=1), clock, max_clients=3)
        assert limiter.request("kept") == 0.0
        for n in range(1000):
            limiter.request(f"client {n}")
            limiter.request("kept")              # seen recently: never the one forgotten
            assert len(limiter) <= 3
        assert limiter.request("kept") > 0       # still the same, spent allowance


class TestClientAddresses:
    def test_without_a_trusted_proxy_the_peer_is_the_client(self) -> None:
        addresses = ClientAddresses()
        assert addresses.client("192.0.2.1", ["203.0.113.5"]) == "192.0.2.1"
        assert addresses.client("::ffff:192.0.2.1") == "192.0.2.1"
        assert addresses.client("2001:db8:1:2:3::4") == "2001:db8:1:2::/64"
        assert addresses.client(None) == "local"

    def test_forwarded_for_from_the_right_past_trusted_proxies(self) -> None:
        addresses = ClientAddresses([parse_network("10.0.0.0/8"), parse_network("192.0.2.7")])
        assert addresses.client("10.1.1.1", ["203.0.113.5"]) == "203.0.113.5"
        # A chain of trusted proxies; what the client wrote itself is never read.
        assert addresses.client("10.1.1.1", ["6.6.6.6, 203.0.113.5", "192.0.2.7"]) == "203.0.113.5"
        assert addresses.client("10.1.1.1", ["[2001:db8::1]:4711"]) == "2001:db8::/64"
        assert addresses.client("10.1.1.1", ["203.0.113.5:80"]) == "203.0.113.5"
        # Garbage, or nothing, from a trusted proxy: the last address known stands.
        assert addresses.client("10.1.1.1", ["203.0.113.5, junk"]) == "10.1.1.1"
        assert addresses.client("10.1.1.1", []) == "10.1.1.1"
        assert addresses.client("10.1.1.1", ["10.2.2.2"]) == "10.2.2.2"
        # A peer that is not a trusted proxy is the client, whatever it says.
        assert addresses.client("198.51.100.1", ["203.0.113.5"]) == "198.51.100.1"

    @pytest.mark.parametrize("text", ["10.0.0.0/33", "nonsense", ""])
    def test_a_proxy_that_is_no_address_is_a_usage_error(
            self, text: str, capsys: pytest.CaptureFixture[str]) -> None:
        with pytest.raises(SystemExit):
            build_parser().parse_args(["--trusted-proxy", text])
        assert "--trusted-proxy" in capsys.readouterr().err


class TestStoreURL:
    async def test_open_store_picks_the_backend(self, tmp_path: Path) -> None:
        store = await open_store(f"sqlite://{tmp_path}/rooms.db")
        assert isinstance(store, SqliteRoomStore)
        await store.close()
        assert (tmp_path / "rooms.db").exists()
        with pytest.raises(StoreURLError):
            await open_store("memcached://x")


class TestFeeds:
    async def test_a_slow_reader_gets_only_the_newest_state(self) -> None:
        feed = Feed()
        for version in range(5):
            feed.offer(version, f"state {version}")
        assert await feed.next() == "state 4"
        feed.offer(3, "older")            # no newer than what was offered: dropped
        feed.offer(4, "same version")
        waiting = asyncio.create_task(feed.next())
        await asyncio.sleep(0.01)
        assert not waiting.done()
        feed.offer(5, "state 5")
        assert await asyncio.wait_for(waiting, 1) == "state 5"

    async def test_watchers_of_a_room_get_its_states_and_leave_nothing_behind(self) -> None:
        events = LocalEvents()
        async with events.subscribe("r1") as one, events.subscribe("r1") as two, \
                events.subscribe("r2") as other:
            events.publish("r1", 1, "r1 at 1")
            assert await one.next() == await two.next() == "r1 at 1"
            other.offer(0, "nothing yet")
            assert await other.next() == "nothing yet"
        assert events.watched() == 0


class _Host:
    """A BotHost that fails to apply the first move it is given."""

    def __init__(self) -> None:
        self.applied: list[tuple[str, int, str]] = []
        self.failures = 1

    async def bot_search(self, room_id: str, version: int) -> Search | None:
        return Search(Room.against_bot(room_id, "A", 1)[0].board_blob(), "B", 1)

    async def apply_bot_move(self, room_id: str, version: int, move: str) -> None:
        if self.failures:
            self.failures -= 1
            raise OSError("the store is away")
        self.applied.append((room_id, version, move))

    async def waiting_for_bot(self, count: int) -> tuple[list[WaitingRoom], bool]:
        return [], False

    def bot_done(self, room_id: str) -> None:
        pass


class TestBotScheduler:
    async def test_a_failed_turn_is_tried_again(self, caplog: pytest.LogCaptureFixture) -> None:
        bots = PoolBots(lambda: ThreadPoolExecutor(1), pending_searches=10, retry_seconds=0.01)
        host = _Host()
        await bots.start(host)
        bots.request("r1", 4, 0.0)
        await wait_for(lambda: bool(host.applied), timeout=10)
        assert [(room, version) for room, version, _ in host.applied] == [("r1", 4)]
        assert "the bot's move in room r1 failed; trying again" in caplog.text
        await wait_for(lambda: bots.pending() == 0)
        await bots.close()

    async def test_a_refused_move_of_the_bot_gives_way_to_a_legal_one(
            self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
            caplog: pytest.LogCaptureFixture) -> None:
        def wrong(board: bytes, side: Any, depth: int) -> str:
            return "A1A1"

        monkeypatch.setattr(bots_module, "choose_move", wrong)
        bots = PoolBots(lambda: ThreadPoolExecutor(1), pending_searches=10)
        service = RoomService(SqliteRoomStore(tmp_path / "r.db"), LocalEvents(), bots,
                              rooms_in_memory=10)
        await service.start()
        caplog.set_level(logging.ERROR)
        room, _, token, _ = await service.create("bot", "B", 3)  # the bot moves first
        first = room.legal_moves()[0]
        await service.start_game(room.room_id, token)
        await wait_for(lambda: (service.cached(room.room_id) or room).version == 2, timeout=10)
        after = service.cached(room.room_id)
        assert after is not None
        assert after.history == [{"side": "A", "move": first, "by": "bot"}]
        assert "the bot's move was not played ('A1A1' was refused" in caplog.text
        await service.close()
