"""varno-serve under load, on loopback: K scripted clients play whole games at once, each
in its own room (half against the bot, half with both seats), for a fixed time.

Every client follows its room over the WebSocket, as the page does, waits a person's
thinking time before each move, and starts a new room when a game ends. Printed: the
rooms played, the moves per second, the time until a person's move is acknowledged and
until it is pushed to the client's own WebSocket and until the bot's reply is (p50 /
p99), errors, and lost moves: acknowledged moves missing from the rooms after the server
is stopped and started again on its database.

    python bench/serve/bench_serve.py [--clients 100] [--seconds 60] [--depth 8]
        [--url http://127.0.0.1:8000]

With ``--url`` it loads a server (or a cluster's proxy) already running there;
``bench_cluster.py`` runs it that way on a cluster, beside one process.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import aiohttp

LOOPBACK = "127.0.0.1"
HERE = Path(__file__).resolve().parents[2] / "build" / "bench-serve"


@dataclass
class Tally:
    ack_ms: list[float] = field(default_factory=list)
    push_ms: list[float] = field(default_factory=list)
    bot_ms: list[float] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    rooms: dict[str, str] = field(default_factory=dict)          # room -> mode
    acked: dict[str, list[Any]] = field(default_factory=dict)    # room -> acknowledged history


# Every client of the benchmark comes from one address, which the server's limits per
# address (its requests, new rooms and connections) would stop at once: they are raised
# for it.
RAISED_LIMITS = {
    "requests_per_second": 100_000, "request_burst": 100_000,
    "room_creations_per_minute": 100_000,
    "connections_per_address": 100_000, "idle_connections_per_address": 100_000,
}


def start_server(db: Path, workers: int, log: Path) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "varno_serve", "--host", LOOPBACK, "--port", "0", "--db", str(db),
         "--bot-workers", str(workers),
         *(f"--limit={name}={value}" for name, value in RAISED_LIMITS.items())],
        stdout=subprocess.PIPE, stderr=log.open("a"), text=True,
    )
    assert process.stdout is not None
    line = process.stdout.readline()
    found = re.search(r"(http://\S+?)/? ", line)
    if found is None:
        process.kill()
        raise SystemExit(f"varno-serve did not start: {line!r} (see {log})")
    return process, found.group(1)


def stop_server(process: subprocess.Popen[str]) -> None:
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Room:
    """A room as one client sees it through its WebSocket."""

    def __init__(self) -> None:
        self.state: dict[str, Any] | None = None
        self.changed = asyncio.Event()
        # When each version came over the WebSocket.
        self.pushed: dict[int, float] = {}

    def take(self, state: dict[str, Any], pushed: bool = False) -> None:
        if pushed:
            self.pushed.setdefault(state["version"], time.monotonic())
        if self.state is None or state["version"] >= self.state["version"]:
            self.state = state
            self.changed.set()

    async def until(self, test: Any, deadline: float) -> bool:
        while self.state is None or not test(self.state):
            self.changed.clear()
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                await asyncio.wait_for(self.changed.wait(), left)
            except TimeoutError:
                return False
        return True


async def client(n: int, url: str, args: argparse.Namespace, stop_at: float, tally: Tally) -> None:
    rng = random.Random(n)
    # A share ``bot_share`` of the clients, spread evenly: every other one for a half.
    against_bot = math.floor((n + 1) * args.bot_share) > math.floor(n * args.bot_share)
    async with aiohttp.ClientSession(url) as session:
        while time.monotonic() < stop_at:
            body = {"mode": "bot", "side": "A", "depth": args.depth} if against_bot else {"mode": "humans"}
            async with session.post("/api/rooms", json=body) as response:
                if response.status != 201:
                    tally.errors.append(f"create: {response.status}")
                    return
                made = await response.json()
            room_id = made["room"]
            tokens = {made["seat"]: made["token"]}
            if not against_bot:
                async with session.post(f"/api/rooms/{room_id}/join",
                                        json={"invite": made["invite"]}) as response:
                    joined = await response.json()
                    tokens[joined["seat"]] = joined["token"]
            tally.rooms[room_id] = body["mode"]
            tally.acked[room_id] = []
            await play_room(session, room_id, tokens, rng, args, stop_at, tally)


async def play_room(session: aiohttp.ClientSession, room_id: str, tokens: dict[str, str],
                    rng: random.Random, args: argparse.Namespace, stop_at: float,
                    tally: Tally) -> None:
    room = Room()

    def acknowledge(state: dict[str, Any]) -> None:
        if len(state["history"]) > len(tally.acked[room_id]):
            tally.acked[room_id] = state["history"]

    async with session.ws_connect(f"/api/rooms/{room_id}/ws") as ws:

        async def follow() -> None:
            async for message in ws:
                state = json.loads(message.data)
                acknowledge(state)  # a push is sent only once its state is stored
                room.take(state, pushed=True)

        follower = asyncio.create_task(follow())
        try:
            while time.monotonic() < stop_at:
                mine = lambda s: s["result"] is not None or s["to_move"] in tokens  # noqa: E731
                if not await room.until(mine, stop_at):
                    return
                assert room.state is not None
                state = room.state
                if state["result"] is not None:
                    return
                await asyncio.sleep(rng.uniform(0.5, 1.5) * args.think)
                if time.monotonic() >= stop_at:
                    return
                side = state["to_move"]
                move = {"move": rng.choice(state["legal"]), "token": tokens[side]}
                sent = time.monotonic()
                async with session.post(f"/api/rooms/{room_id}/moves", json=move) as response:
                    acked = time.monotonic()
                    if response.status != 200:
                        tally.errors.append(f"move: {response.status} {await response.text()}")
                        return
                    reply = await response.json()
                tally.ack_ms.append((acked - sent) * 1000)
                acknowledge(reply)
                room.take(reply)
                # Pushed once the watcher has this version or a later one (a watcher gets
                # the newest state only: the bot's reply may come first).
                version = reply["version"]
                if await room.until(lambda s: max(room.pushed, default=-1) >= version,
                                    stop_at + 5):
                    pushed = min(t for v, t in room.pushed.items() if v >= version)
                    tally.push_ms.append((pushed - sent) * 1000)
                else:
                    tally.errors.append(f"room {room_id}: version {version} never pushed")
                    return
                if reply["result"] is None and reply["to_move"] not in tokens:
                    count = len(reply["history"])
                    answered = lambda s: len(s["history"]) > count or s["result"] is not None  # noqa: E731
                    if await room.until(answered, stop_at + 5):
                        tally.bot_ms.append((time.monotonic() - acked) * 1000)
                    else:
                        tally.errors.append(f"room {room_id}: no reply from the bot")
                        return
        finally:
            follower.cancel()
            await asyncio.gather(follower, return_exceptions=True)


async def count_lost(url: str, tally: Tally) -> tuple[int, int]:
    """Acknowledged moves missing from the rooms as the restarted server has them, and
    the number of moves acknowledged."""
    lost = acknowledged = 0
    async with aiohttp.ClientSession(url) as session:
        for room_id, history in tally.acked.items():
            acknowledged += len(history)
            async with session.get(f"/api/rooms/{room_id}") as response:
                if response.status != 200:
                    lost += len(history)
                    continue
                stored = (await response.json())["history"]
            kept = 0
            while kept < min(len(history), len(stored)) and history[kept] == stored[kept]:
                kept += 1
            lost += len(history) - kept
    return lost, acknowledged


def percentile(values: list[float], p: float) -> float:
    if not values:
        return math.nan
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))]


async def run(args: argparse.Namespace, url: str, tally: Tally) -> float:
    began = time.monotonic()
    stop_at = began + args.seconds
    tasks = [asyncio.create_task(client(n, url, args, stop_at, tally)) for n in range(args.clients)]
    # Bounded: every client stops by itself at stop_at, plus the moves in flight.
    done, pending = await asyncio.wait(tasks, timeout=args.seconds + 30)
    for task in pending:
        task.cancel()
        tally.errors.append("a client did not stop in time")
    for task in done:
        if task.exception() is not None:
            tally.errors.append(f"client failed: {task.exception()!r}")
    return time.monotonic() - began


@dataclass
class Figures:
    """What one run measured."""

    clients: int
    seconds: float
    rooms: int
    bot_rooms: int
    moves: int
    by_bot: int
    acks: list[float]
    pushes: list[float]
    replies: list[float]
    errors: list[str]
    lost: int
    acknowledged: int

    @classmethod
    def of(cls, args: argparse.Namespace, tally: Tally, elapsed: float, lost: int,
           acknowledged: int) -> Figures:
        moves = [t for h in tally.acked.values() for t in h if t["move"] is not None]
        return cls(clients=args.clients, seconds=elapsed, rooms=len(tally.rooms),
                   bot_rooms=sum(1 for mode in tally.rooms.values() if mode == "bot"),
                   moves=len(moves), by_bot=sum(1 for t in moves if t["by"] == "bot"),
                   acks=tally.ack_ms, pushes=tally.push_ms, replies=tally.bot_ms,
                   errors=tally.errors, lost=lost, acknowledged=acknowledged)

    def lines(self) -> list[tuple[str, str]]:
        """The figures, named, as text."""
        def p50_p99(values: list[float]) -> str:
            return (f"p50 {percentile(values, 50):.1f} ms, p99 {percentile(values, 99):.1f} ms "
                    f"({len(values)})")

        first = f" (first: {self.errors[0]})" if self.errors else ""
        return [
            ("rooms", f"{self.rooms} ({self.bot_rooms} against the bot), {self.clients} at once"),
            ("moves", f"{self.moves} ({self.moves / self.seconds:.1f}/s): "
                      f"{self.moves - self.by_bot} by people, {self.by_bot} by the bot"),
            ("move acked", p50_p99(self.acks)),
            ("move pushed", p50_p99(self.pushes)),
            ("bot reply", p50_p99(self.replies)),
            ("errors", f"{len(self.errors)}{first}"),
            ("lost moves", f"{self.lost} of {self.acknowledged} acknowledged entries"),
        ]

    def targets(self, ack_ms: float, push_ms: float, bot_ms: float) -> list[tuple[str, bool]]:
        return [
            ("100 rooms at once", self.clients >= 100),
            (f"move acked p99 <= {ack_ms:g} ms", percentile(self.acks, 99) <= ack_ms),
            (f"move pushed p99 <= {push_ms:g} ms", percentile(self.pushes, 99) <= push_ms),
            (f"bot reply p99 <= {bot_ms / 1000:g} s", percentile(self.replies, 99) <= bot_ms),
            ("0 errors", not self.errors),
            ("0 lost moves", self.lost == 0),
        ]


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clients", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--bot-workers", type=int, default=1)
    parser.add_argument("--think", type=float, default=2.0,
                        help="a person's mean time before a move, in seconds (default 2)")
    parser.add_argument("--bot-share", type=float, default=0.5,
                        help="the share of the clients that play against the bot (default 0.5)")
    parser.add_argument("--url", help="load a server already running there (on loopback) "
                        "instead of starting one; lost moves are then checked without a restart "
                        "(start it with the limits of RAISED_LIMITS)")
    return parser


def on_one_process(args: argparse.Namespace) -> Figures:
    """The load on a server of its own, stopped and started again before the count of
    lost moves."""
    tally = Tally()
    shutil.rmtree(HERE, ignore_errors=True)
    HERE.mkdir(parents=True)
    db, log = HERE / "rooms.db", HERE / "server.log"
    process, url = start_server(db, args.bot_workers, log)
    try:
        elapsed = asyncio.run(run(args, url, tally))
    finally:
        stop_server(process)
    process, url = start_server(db, args.bot_workers, log)
    try:
        lost, acknowledged = asyncio.run(count_lost(url, tally))
    finally:
        stop_server(process)
    return Figures.of(args, tally, elapsed, lost, acknowledged)


def on_url(args: argparse.Namespace, url: str,
           restart: Callable[[], None] = lambda: None) -> Figures:
    """The load on what runs at ``url``; ``restart`` before the count of lost moves."""
    tally = Tally()
    elapsed = asyncio.run(run(args, url, tally))
    restart()
    lost, acknowledged = asyncio.run(count_lost(url, tally))
    return Figures.of(args, tally, elapsed, lost, acknowledged)


def main() -> int:
    arguments = parser()
    args = arguments.parse_args()
    if args.url:
        if not re.fullmatch(r"http://(127\.\d+\.\d+\.\d+|localhost|\[::1\]):\d+", args.url):
            arguments.error("--url must be a loopback address, e.g. http://127.0.0.1:8000")
        figures = on_url(args, args.url)
    else:
        figures = on_one_process(args)
    print(f"varno-serve under load on {LOOPBACK}: {args.clients} clients for "
          f"{figures.seconds:.0f} s, bot depth {args.depth} on {args.bot_workers} worker(s), "
          f"think time {0.5 * args.think:.1f}-{1.5 * args.think:.1f} s")
    for name, text in figures.lines():
        print(f"  {name + ':':14}{text}")
    # The machine is shared: the load says how much else ran beside the benchmark.
    print(f"  machine:      {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} at the end")
    print("  targets:      " + ", ".join(f"{name}: {'met' if ok else 'MISSED'}"
                                        for name, ok in figures.targets(50, 50, 1000)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
