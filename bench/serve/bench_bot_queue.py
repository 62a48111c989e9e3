"""The bot's queue on Redis and its workers, on loopback: what a worker core searches a
second, how long a bot's reply takes through the queue, and what the queue itself costs.

A node (``varno-serve --queue``) and ``--workers`` processes of ``varno-bot-worker``
share a SQLite file and a Redis server of their own (``tools/cluster_services.py``). At
each depth, ``--rooms`` rooms where the bot moves first are started at once: printed
are the searches a second of all the workers and of one, and the time from a start's
request to the bot's move on the room's channel (p50 / p99), which includes the wait
behind the other searches; then the same rooms started one after the other's reply (the
reply's time with nothing queued). Then the queue's own cost: jobs enqueued, taken and finished
one after the other with no search, by one process.

    python bench/serve/bench_bot_queue.py [--workers 2] [--rooms 24] [--depths 4 8 12]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import aiohttp
from redis.asyncio import Redis

from varno_serve.redis_bots import RedisQueue, connect

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from cluster_services import RedisServer  # type: ignore[import-not-found]  # noqa: E402

HERE = REPO / "build" / "bench-bot-queue"
LOOPBACK = "127.0.0.1"
RAISED_LIMITS = {"requests_per_second": 100_000, "request_burst": 100_000,
                 "room_creations_per_minute": 100_000, "pending_searches": 1000,
                 "rooms_in_memory": 10_000}


def start(arguments: list[str], log: Path, ready: str) -> tuple[subprocess.Popen[str], str]:
    """A process of the package, once it prints a line matching ``ready``; that line."""
    with log.open("a") as writing:
        process = subprocess.Popen([sys.executable, "-m", *arguments], stdout=subprocess.PIPE,
                                   stderr=writing, text=True)
    assert process.stdout is not None
    readable, _, _ = select.select([process.stdout], [], [], 30.0)
    line = process.stdout.readline() if readable else ""
    while readable and re.search(ready, line) is None and line:
        line = process.stdout.readline()
    if re.search(ready, line) is None:
        process.kill()
        raise SystemExit(f"{arguments[0]} did not start: {line!r} (see {log})")
    return process, line


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


async def depth_round(url: str, redis_url: str, depth: int, rooms: int,
                      workers: int, together: bool) -> None:
    """Starts ``rooms`` rooms at ``depth``, all at once or one after the other's reply."""
    listener = Redis.from_url(redis_url, decode_responses=True)
    pubsub = listener.pubsub()
    await pubsub.psubscribe("varno:room:*")
    asked: dict[str, float] = {}
    replied: dict[str, float] = {}
    async with aiohttp.ClientSession(url) as session:
        made = []
        for _ in range(rooms):
            async with session.post("/api/rooms", json={"mode": "bot", "side": "B",
                                                        "depth": depth}) as response:
                made.append(await response.json())

        async def begin(room: dict[str, str]) -> None:
            asked[room["room"]] = time.perf_counter()
            async with session.post(f"/api/rooms/{room['room']}/start",
                                    json={"token": room["token"]}) as response:
                assert response.status == 200, await response.text()

        async def replies(count: int) -> None:
            deadline = time.monotonic() + 600
            while len(replied) < count and time.monotonic() < deadline:
                message = await pubsub.get_message(ignore_subscribe_messages=True, timeout=1.0)
                # The node publishes the room's deal (version 0) and its start (1) too:
                # the bot's move is version 2.
                if message is not None and json.loads(message["data"])["version"] >= 2:
                    room = str(message["channel"]).rpartition(":")[2]
                    replied.setdefault(room, time.perf_counter())

        if together:
            await asyncio.gather(*(begin(room) for room in made))
            await replies(rooms)
        else:
            for n, room in enumerate(made):
                await begin(room)
                await replies(n + 1)
    await pubsub.aclose()
    await listener.aclose()
    waits = [(replied[room] - asked[room]) * 1000 for room in replied]
    took = max(replied.values()) - min(asked.values())
    rate = len(replied) / took
    how = "at once" if together else "one by one"
    print(f"depth {depth:2}, {how:10}: {len(replied)}/{rooms} searches in {took:5.2f} s: "
          f"{rate:6.1f}/s, {rate / workers:6.1f}/s a worker; reply p50 "
          f"{statistics.median(waits):6.0f} ms, p99 {percentile(waits, 0.99):6.0f} ms",
          flush=True)


async def queue_cost(redis_url: str, jobs: int) -> None:
    queue = RedisQueue(connect(redis_url))
    began = time.perf_counter()
    for n in range(jobs):
        await queue.enqueue(f"cost{n}", 1, time.time())
        job, _ = await queue.take("bench", 60.0)
        assert job is not None
        await queue.finish(job)
    took = time.perf_counter() - began
    print(f"queue alone: {jobs / took:.0f} jobs/s enqueued, taken and finished one at a time "
          f"({took / jobs * 1e6:.0f} us a job, three round trips)")
    await queue.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--rooms", type=int, default=24)
    parser.add_argument("--depths", type=int, nargs="+", default=[4, 8, 12])
    parser.add_argument("--jobs", type=int, default=2000)
    args = parser.parse_args()
    shutil.rmtree(HERE, ignore_errors=True)
    HERE.mkdir(parents=True)
    redis = RedisServer(HERE / "redis")
    redis.start()
    processes: list[subprocess.Popen[str]] = []
    try:
        store = f"sqlite://{HERE / 'rooms.db'}"
        node, line = start(["varno_serve", "--host", LOOPBACK, "--port", "0", "--store", store,
                            "--queue", redis.url,
                            *(f"--limit={name}={value}" for name, value in RAISED_LIMITS.items())],
                           HERE / "node.log", r"http://\S+/ ")
        processes.append(node)
        found = re.search(r"(http://\S+?)/ ", line)
        assert found is not None
        for n in range(args.workers):
            worker, _ = start(["varno_serve.worker", "--queue", redis.url, "--store", store,
                               "--events", redis.url, "--name", f"bench{n}"],
                              HERE / f"worker{n}.log", "takes the bot's turns")
            processes.append(worker)
        print(f"{args.workers} workers, {args.rooms} rooms a depth, load average "
              f"{os.getloadavg()[0]:.1f}", flush=True)
        for depth in args.depths:
            for together in (False, True):
                asyncio.run(depth_round(found.group(1), redis.url, depth, args.rooms,
                                        args.workers, together))
        # On a database of Redis that no worker reads.
        asyncio.run(queue_cost(redis.url.rpartition("/")[0] + "/1", args.jobs))
    finally:
        for process in processes:
            process.terminate()
            process.wait(timeout=15)
        redis.stop()


if __name__ == "__main__":
    main()
