"""What one anonymous client can do to a varno-serve process, measured on loopback.

Each row starts a fresh varno-serve process of its own (``python -m varno_serve --host
127.0.0.1 --port 0 --db <tmp>/rooms.db`` with this interpreter, in a temporary directory
under build/probe-public/, its stderr in a file beside the database), plays a client
against it, stops it by its pid and prints one line with what it measured. It asserts
nothing: the same figures are taken on any version of the server, and compared.

    python bench/serve/probe_public.py [--server-cmd "..."] [--rows a,b,...] [--quick]

Rows (full counts; --quick takes smaller ones):
  memory     RSS before and after 17,750 joins and moves of made-up 8 KB room ids (on
             fresh connections), and again after 10 s without requests; the log it wrote
  idle       1,100 idle sockets (even with --quick) against a server under ``ulimit -n
             1024``: whether a fresh GET is answered, and in what time; how many idle
             sockets and whether a connection trickling its headers the server closes;
             what it logs meanwhile
  botqueue   60 depth-12 rooms where the bot moves first, made at once: how long a new
             depth-1 room then waits for its bot's first move; the bot rooms one client
             creates in 10 s, and how many of them the server takes up again (rooms showing
             "thinking", the workers' CPU) after kill -9 and a restart
  ratelimit  rooms created in 15 s on fresh connections; requests per second on fresh
             connections before that, and after 10,500 connections in all
  seats      of 13 two-seat rooms, how many the lobby lists and how many a stranger takes
             by joining without the invite; what the invited friend gets then
  origin     a text/plain POST from a foreign Origin, a WebSocket upgrade from a foreign
             Origin, a request with a foreign Host: the status of each
  bodies     a 1,900-deep JSON body, a body falsely marked gzip: their status; the log
             written for 2,000 requests that hang up in the middle of their body
  fairstart  of 20 depth-1 rooms where the bot moves first, in how many a GET 300 ms after
             creation still shows the deal; whether a two-seat room takes A's move before
             B has joined
  small      the safety headers of error responses, ``Allow`` on a 405, the database
             file's mode, the time SIGTERM takes with 20 depth-12 searches queued

The probe works with stricter versions of the API as well: every POST carries
``Content-Type: application/json`` (but in the row that tries another type); a join
passes the room's ``invite`` when its creation returned one; a bot room where the bot
moves first is started with ``POST /api/rooms/ID/start {"token": ...}`` (a 404 where
there is no such step) wherever the bot is meant to play. It passes no ``--limit``: the
defaults are what a client faces. One client (the one measured) uses 127.0.0.1; the
other people of a row (a room's owner, a friend, players waiting for the bot) each come
from a loopback address of their own.

--server-cmd replaces ``<python> -m varno_serve``; ``--host 127.0.0.1 --port 0 --db
PATH`` are appended to it. The machine is shared and the probe runs on it beside the
server: timings (the bot's wait, requests per second, SIGTERM) are noisy.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import contextlib
import json
import os
import re
import resource
import secrets
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final

import aiohttp

LOOPBACK: Final = "127.0.0.1"
FOREIGN_ORIGIN: Final = "http://pages.example"
FOREIGN_HOST: Final = "rebound.example"
WORK: Final = Path(__file__).resolve().parents[2] / "build" / "probe-public"
SAFETY_HEADERS: Final = ("x-content-type-options", "content-security-policy", "referrer-policy")
REQUEST_SECONDS: Final = 15.0
START_SECONDS: Final = 60.0
STOP_SECONDS: Final = 15.0
# A child of the server still there this long after the server ended is killed by its pid.
CHILD_GRACE: Final = 3.0
CLOCK_TICKS: Final = os.sysconf("SC_CLK_TCK")
MIB: Final = 1024 * 1024


def person(n: int) -> str:
    """The loopback address of another person than the measured client (127.0.0.1)."""
    return f"127.0.0.{n}"


class ProbeError(Exception):
    """A row cannot go on (the server did not start, say)."""


# -- the server process -------------------------------------------------------------------

def _stat_fields(pid: int) -> list[str] | None:
    """/proc/PID/stat from its third field (the state) on; None if there is no such process."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return text[text.rindex(")") + 2:].split()


def _start_time(pid: int) -> int | None:
    fields = _stat_fields(pid)
    return None if fields is None else int(fields[19])


def _cpu_seconds(pid: int) -> float:
    fields = _stat_fields(pid)
    return 0.0 if fields is None else (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def _running(pid: int, started: int) -> bool:
    """Whether the process ``pid`` that started at ``started`` is still there (not a zombie,
    not another process that got its pid since)."""
    fields = _stat_fields(pid)
    return fields is not None and fields[0] != "Z" and int(fields[19]) == started


# Servers started and not yet stopped: stopped at the end whatever happens.
LIVE: set[ServerProcess] = set()


class ServerProcess:
    """A varno-serve process on a free loopback port, its stderr in ``log``."""

    def __init__(self, command: list[str], db: Path, log: Path, *,
                 open_files: int | None = None) -> None:
        self.command = [*command, "--host", LOOPBACK, "--port", "0", "--db", str(db)]
        self.db, self.log, self.open_files = db, log, open_files
        self.process: subprocess.Popen[str] | None = None
        self.url = ""
        self.port = 0
        # Every child the server was seen with (its bot workers): pid -> start time.
        self.seen_children: dict[int, int] = {}
        # Whether a bot room where the bot moves first waits for POST .../start: None until
        # a start of a room just made tells (a 404 there: no such step).
        self.start_step: bool | None = None

    def _in_child(self) -> None:
        # Runs in the forked child before exec: the limits of the server alone.
        os.umask(0o022)
        if self.open_files is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (self.open_files, self.open_files))

    @property
    def pid(self) -> int:
        assert self.process is not None
        return self.process.pid

    async def start(self) -> float:
        """Starts the server; the seconds until it printed its address."""
        began = time.monotonic()
        with self.log.open("ab") as log:
            self.process = subprocess.Popen(
                self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                text=True, cwd=self.db.parent, preexec_fn=self._in_child,
            )
        LIVE.add(self)
        assert self.process.stdout is not None
        line = ""
        while time.monotonic() - began < START_SECONDS and self.process.poll() is None:
            ready, _, _ = select.select([self.process.stdout], [], [], 0)
            if ready:
                line = self.process.stdout.readline()
                break
            await asyncio.sleep(0.02)
        found = re.search(r"http://127\.0\.0\.1:(\d+)", line)
        if found is None:
            self.kill_now()
            raise ProbeError(f"varno-serve did not start: {line.strip()!r} (its log: {self.log})")
        self.port = int(found.group(1))
        self.url = f"http://{LOOPBACK}:{self.port}"
        return time.monotonic() - began

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def children(self) -> list[int]:
        """The server's child processes now (remembered, to be stopped with it)."""
        found: list[int] = []
        with contextlib.suppress(OSError):
            for task in Path(f"/proc/{self.pid}/task").iterdir():
                with contextlib.suppress(OSError):
                    found.extend(int(pid) for pid in (task / "children").read_text().split())
        for pid in found:
            started = _start_time(pid)
            if started is not None:
                self.seen_children.setdefault(pid, started)
        return found

    def rss_mib(self) -> float:
        for text in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if text.startswith("VmRSS:"):
                return int(text.split()[1]) * 1024 / MIB
        raise ProbeError("no VmRSS for the server")

    def children_cpu(self) -> float:
        """CPU seconds used so far by the server's live children (its bot workers)."""
        return sum(_cpu_seconds(pid) for pid in self.children())

    def log_size(self) -> int:
        return self.log.stat().st_size

    async def _exited(self, seconds: float) -> bool:
        assert self.process is not None
        deadline = time.monotonic() + seconds
        while self.process.poll() is None:
            if time.monotonic() >= deadline:
                return False
            await asyncio.sleep(0.01)
        return True

    async def _end_children(self) -> int:
        """Waits for the children seen to end; kills by pid those left after the grace
        time. The number killed."""
        deadline = time.monotonic() + CHILD_GRACE
        left = dict(self.seen_children)
        while left and time.monotonic() < deadline:
            left = {pid: t for pid, t in left.items() if _running(pid, t)}
            await asyncio.sleep(0.05)
        killed = 0
        for pid, started in left.items():
            if _running(pid, started):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
                    killed += 1
        self.seen_children.clear()
        return killed

    def _done(self) -> None:
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()
        LIVE.discard(self)

    async def stop(self, grace: float = STOP_SECONDS) -> tuple[float | None, int]:
        """SIGTERM, SIGKILL after ``grace`` seconds: the seconds it took to exit (None if it
        had to be killed) and the number of its children killed afterwards."""
        if self.process is None:
            return None, 0
        took: float | None = None
        if self.process.poll() is None:
            self.children()
            began = time.monotonic()
            self.process.send_signal(signal.SIGTERM)
            if await self._exited(grace):
                took = time.monotonic() - began
            else:
                self.process.kill()
                await self._exited(10.0)
        killed = await self._end_children()
        self._done()
        return took, killed

    async def kill9(self) -> None:
        """kill -9: the server does nothing more; its children are then ended as in stop."""
        assert self.process is not None
        self.children()
        self.process.kill()
        await self._exited(10.0)
        await self._end_children()
        self._done()

    def kill_now(self) -> None:
        """SIGKILL to the server and every child seen, at once (the way out on an error)."""
        if self.process is not None and self.process.poll() is None:
            self.children()
            self.process.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=10)
        for pid, started in self.seen_children.items():
            if _running(pid, started):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        self.seen_children.clear()
        self._done()


@dataclass
class Probe:
    """What the rows share: the server's command, the working folder, the counts."""

    command: list[str]
    work: Path
    quick: bool
    started: int = 0
    interpreter: str = ""  # the program of the first server started

    def server(self, name: str, *, open_files: int | None = None) -> ServerProcess:
        self.started += 1
        folder = self.work / f"{self.started:02d}-{name}"
        folder.mkdir()
        return ServerProcess(self.command, folder / "rooms.db", folder / "server.log",
                             open_files=open_files)

    @contextlib.asynccontextmanager
    async def serving(self, name: str, *, open_files: int | None = None) -> AsyncIterator[ServerProcess]:
        server = self.server(name, open_files=open_files)
        try:
            await self.start(server)
            yield server
        finally:
            await server.stop()

    async def start(self, server: ServerProcess) -> float:
        took = await server.start()
        if not self.interpreter:
            with contextlib.suppress(OSError):
                self.interpreter = os.readlink(f"/proc/{server.pid}/exe")
        return took

    def count(self, full: int, quick: int) -> int:
        return quick if self.quick else full

    def seconds(self, full: float, quick: float) -> float:
        return quick if self.quick else full


# -- the client -----------------------------------------------------------------------------

@dataclass
class Reply:
    status: int  # 0: no answer
    data: Any = None
    headers: dict[str, str] = field(default_factory=dict)
    error: str = ""

    @property
    def label(self) -> str:
        return str(self.status) if self.status else self.error

    def field(self, name: str) -> Any:
        return self.data.get(name) if isinstance(self.data, dict) else None


def client(server: ServerProcess, *, source: str = LOOPBACK, fresh: bool = False,
           limit: int = 100, seconds: float = REQUEST_SECONDS) -> aiohttp.ClientSession:
    """A session against ``server`` from ``source``; ``fresh``: a new connection for every
    request."""
    connector = aiohttp.TCPConnector(
        force_close=fresh, limit=limit, local_addr=None if source == LOOPBACK else (source, 0))
    return aiohttp.ClientSession(server.url, connector=connector,
                                 timeout=aiohttp.ClientTimeout(total=seconds))


async def call(session: aiohttp.ClientSession, method: str, path: str, body: Any = None,
               *, data: bytes | None = None, headers: dict[str, str] | None = None) -> Reply:
    """One request; a JSON ``body`` goes as ``application/json``."""
    try:
        async with session.request(method, path, json=body if data is None else None, data=data,
                                   headers=headers) as response:
            raw = await response.read()
            try:
                parsed = json.loads(raw) if raw else None
            except ValueError:
                parsed = None
            return Reply(response.status, parsed, {k.lower(): v for k, v in response.headers.items()})
    except (aiohttp.ClientError, OSError, TimeoutError) as failure:
        return Reply(0, error=type(failure).__name__)


async def create_bot(server: ServerProcess, session: aiohttp.ClientSession, depth: int, *,
                     bot_first: bool = True, start: bool = True) -> tuple[Reply, Reply | None]:
    """A room against the bot, started when the bot moves first (if ``start``, and the
    server has that step): the creation's reply and the start's."""
    made = await call(session, "POST", "/api/rooms",
                      {"mode": "bot", "side": "B" if bot_first else "A", "depth": depth})
    started = None
    if made.status == 201 and bot_first and start and server.start_step is not False:
        started = await call(session, "POST", f"/api/rooms/{made.field('room')}/start",
                             {"token": made.field("token")})
        if started.status:
            server.start_step = started.status != 404
    return made, started


def join_body(made: Reply) -> dict[str, Any]:
    """A join as the invited friend sends it: with the invite if the room has one."""
    invite = made.field("invite")
    return {} if invite is None else {"invite": invite}


def moved(state: Any) -> bool:
    return isinstance(state, dict) and (bool(state.get("history")) or state.get("result") is not None)


async def first_move(session: aiohttp.ClientSession, room: str, began: float,
                     limit: float) -> float | None:
    """Seconds from ``began`` until the room's state shows a move (watched on its
    WebSocket, else polled); None if none within ``limit`` seconds."""
    deadline = began + limit
    with contextlib.suppress(aiohttp.ClientError, OSError, TimeoutError, ValueError):
        async with session.ws_connect(f"/api/rooms/{room}/ws") as ws:
            while time.monotonic() < deadline:
                message = await asyncio.wait_for(ws.receive(), deadline - time.monotonic())
                if message.type != aiohttp.WSMsgType.TEXT:
                    break
                if moved(json.loads(message.data)):
                    return time.monotonic() - began
    while time.monotonic() < deadline:
        if moved((await call(session, "GET", f"/api/rooms/{room}")).data):
            return time.monotonic() - began
        await asyncio.sleep(0.25)
    return None


Job = Callable[[int], Awaitable[str]]


async def repeat(count: int, concurrency: int, job: Job) -> Counter[str]:
    """``job(0)`` ... ``job(count - 1)``, ``concurrency`` at a time: the labels they gave."""
    labels: Counter[str] = Counter()
    taken = 0

    async def worker() -> None:
        nonlocal taken
        while taken < count:
            taken += 1
            labels[await job(taken - 1)] += 1

    await asyncio.gather(*(worker() for _ in range(min(concurrency, count))))
    return labels


@dataclass
class Rate:
    labels: Counter[str]
    per_second: float
    slowest: float
    fastest: float

    def __str__(self) -> str:
        spread = ""
        if round(self.slowest) != round(self.fastest):
            spread = f" ({self.slowest:,.0f}-{self.fastest:,.0f} in single seconds)"
        return f"{self.per_second:,.0f} req/s{spread}"


async def repeat_for(seconds: float, concurrency: int, job: Job) -> Rate:
    """``job`` over and over, ``concurrency`` at a time, for ``seconds``."""
    labels: Counter[str] = Counter()
    slices: Counter[int] = Counter()
    began = time.monotonic()
    taken = 0

    async def worker() -> None:
        nonlocal taken
        while time.monotonic() - began < seconds:
            taken += 1
            labels[await job(taken - 1)] += 1
            slices[int(time.monotonic() - began)] += 1

    await asyncio.gather(*(worker() for _ in range(concurrency)))
    elapsed = time.monotonic() - began
    whole = [slices[n] for n in range(int(seconds))] or [round(labels.total() / elapsed)]
    return Rate(labels, labels.total() / elapsed, min(whole), max(whole))


def counts(labels: Counter[str]) -> str:
    if not labels:
        return "none"
    if len(labels) == 1:
        (label, n), = labels.items()
        return f"all {label}" if n > 1 else label
    return ", ".join(f"{label} x{n:,}" for label, n in labels.most_common())


@dataclass
class Raw:
    status: int  # 0: no answer
    headers: dict[str, str]
    error: str = ""

    @property
    def label(self) -> str:
        return str(self.status) if self.status else self.error


async def raw_request(port: int, head: str, body: bytes = b"", *, seconds: float = 10.0) -> Raw:
    """A request written byte for byte (headers the client library would not send); the
    status and headers of the answer."""
    try:
        async with asyncio.timeout(seconds):
            reader, writer = await asyncio.open_connection(LOOPBACK, port)
            try:
                writer.write(head.replace("\n", "\r\n").encode("latin-1") + b"\r\n" + body)
                await writer.drain()
                answer = await reader.readuntil(b"\r\n\r\n")
            finally:
                writer.close()
                with contextlib.suppress(OSError):
                    await writer.wait_closed()
    except (OSError, TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError) as failure:
        return Raw(0, {}, type(failure).__name__)
    first, *lines = answer.decode("latin-1").split("\r\n")
    headers = {}
    for text in lines:
        name, _, value = text.partition(":")
        if name:
            headers[name.strip().lower()] = value.strip()
    return Raw(int(first.split()[1]), headers)


def request_head(method: str, path: str, port: int, *headers: str) -> str:
    lines = [f"{method} {path} HTTP/1.1", f"Host: {LOOPBACK}:{port}", "Connection: close",
             *headers]
    return "\n".join(lines) + "\n"


# -- the rows -------------------------------------------------------------------------------

class Line:
    """The figures of a row as they come, each under a key (a later one replaces it)."""

    def __init__(self) -> None:
        self.parts: dict[str, str] = {}

    def put(self, key: str, text: str) -> None:
        self.parts[key] = text

    def text(self) -> str:
        return "; ".join(self.parts.values()) or "nothing measured"


async def row_memory(probe: Probe, line: Line) -> None:
    """Memory kept for rooms that do not exist: joins and moves of made-up 8 KB ids."""
    count = probe.count(17_750, 2_000)
    pause = probe.seconds(10.0, 3.0)
    async with probe.serving("memory") as server:
        await asyncio.sleep(1.0)
        before = server.rss_mib()
        logged = server.log_size()
        line.put("rss", f"RSS {before:.0f} MiB before")
        move = {"move": "A1", "token": "t" * 32}

        async def job(n: int) -> str:
            room = secrets.token_urlsafe(6000)  # 8,000 characters, any of a room id's
            if n % 2:
                return (await call(attacker, "POST", f"/api/rooms/{room}/moves", move)).label
            return (await call(attacker, "POST", f"/api/rooms/{room}/join", {})).label

        began = time.monotonic()
        async with client(server, fresh=True, limit=32) as attacker:
            labels = await repeat(count, 32, job)
        took = time.monotonic() - began
        line.put("requests", f"{count:,} joins and moves of made-up 8 KB room ids in {took:.1f} s "
                             f"({counts(labels)})")
        after = server.rss_mib()
        line.put("rss", f"RSS {before:.0f} -> {after:.0f} MiB")
        await asyncio.sleep(pause)
        line.put("later", f"{server.rss_mib():.0f} MiB after {pause:.0f} s without requests")
        line.put("log", f"the log grew {(server.log_size() - logged) / MIB:,.0f} MiB")


async def _fresh_get(server: ServerProcess, source: str, seconds: float) -> str:
    began = time.monotonic()
    async with client(server, source=source, seconds=seconds) as session:
        reply = await call(session, "GET", "/api/rooms")
    took = time.monotonic() - began
    if reply.status:
        return f"{reply.status} in {took:.2f} s"
    return f"no answer in {took:.1f} s ({reply.error})"


async def _trickle(port: int, seconds: float) -> str:
    """A request whose headers come one byte a second: when the server closes it."""
    began = time.monotonic()
    try:
        reader, writer = await asyncio.open_connection(LOOPBACK, port)
    except OSError as failure:
        return f"not connected ({type(failure).__name__})"
    writer.write(f"GET /api/rooms HTTP/1.1\r\nHost: {LOOPBACK}:{port}\r\n".encode())
    ended = asyncio.create_task(reader.read(65536))
    trickled = b"X-Trickle: 1\r\n"
    try:
        for n in range(int(seconds)):
            done, _ = await asyncio.wait({ended}, timeout=1.0)
            if done:
                got = "an answer and closed" if ended.result() else "closed"
                return f"{got} after {time.monotonic() - began:.1f} s"
            writer.write(trickled[n % len(trickled):][:1])
            await writer.drain()
        return f"still open after {seconds:.0f} s"
    except OSError:
        return f"closed after {time.monotonic() - began:.1f} s"
    finally:
        ended.cancel()
        writer.close()


def _closed_by_server(sock: socket.socket) -> bool:
    try:
        sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
    except BlockingIOError:
        return False
    except OSError:
        return True
    # Anything readable on an idle connection is its end (an EOF, or a 408 before it).
    return True


async def row_idle(probe: Probe, line: Line) -> None:
    """Idle sockets against a server limited to 1,024 open files."""
    count = 1_100  # past the 1,024 files of the server, even in a quick run
    hold = probe.seconds(30.0, 10.0)
    answer = 10.0
    async with probe.serving("idle", open_files=1024) as server:
        loop = asyncio.get_running_loop()
        began = time.monotonic()
        logged = server.log_size()
        # Connected first, so that it is accepted whatever comes after.
        trickle = asyncio.create_task(_trickle(server.port, hold))
        await asyncio.sleep(0.5)
        sockets: list[socket.socket] = []
        connected: list[socket.socket] = []

        async def connect() -> str:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setblocking(False)
            sockets.append(sock)
            try:
                await asyncio.wait_for(loop.sock_connect(sock, (LOOPBACK, server.port)), 5.0)
            except (OSError, TimeoutError) as failure:
                return type(failure).__name__
            connected.append(sock)
            return "connected"

        try:
            # In batches the server can take from its accept queue: sockets the kernel
            # only answered with a SYN cookie while the queue was full would be connected
            # on this side alone, and hold none of the server's files.
            labels: Counter[str] = Counter()
            for first in range(0, count, 50):
                labels.update(await asyncio.gather(*(connect() for _ in range(min(50, count - first)))))
                await asyncio.sleep(0.05)
            line.put("idle", f"{count:,} idle sockets under ulimit -n 1024 ({counts(labels)})")
            await asyncio.sleep(2.0)
            files = len(os.listdir(f"/proc/{server.pid}/fd"))
            line.put("files", f"the server then held {files:,} files")
            same, other = await asyncio.gather(_fresh_get(server, LOOPBACK, answer),
                                               _fresh_get(server, person(2), answer))
            line.put("get", f"a fresh GET from the same address: {same} (from another: {other})")
            await asyncio.sleep(max(0.0, began + hold - time.monotonic()))
            closed = sum(_closed_by_server(sock) for sock in connected)
            line.put("closed", f"{closed:,} of the {len(connected):,} idle sockets closed by the "
                               f"server after {time.monotonic() - began:.0f} s")
            line.put("trickle", f"a request trickling its headers: {await trickle}")
            grown = server.log_size() - logged
            emfile = server.log.read_bytes().count(b"Too many open files")
            line.put("log", f"the log grew {grown / MIB:,.1f} MiB ('Too many open files' {emfile:,} times)")
        finally:
            trickle.cancel()
            for sock in sockets:
                sock.close()


async def row_botqueue(probe: Probe, line: Line) -> None:
    """The bot's queue: a shallow search behind deep ones; bot rooms made in 10 s and
    taken up again after kill -9."""
    deep = probe.count(60, 10)
    flood = probe.seconds(10.0, 3.0)
    waiting = probe.seconds(300.0, 90.0)
    search_cpu: float | None = None
    async with probe.serving("botqueue") as server:
        made: list[str] = []
        started: Counter[str] = Counter()

        async def make_deep(n: int) -> str:
            reply, start = await create_bot(server, attacker, 12)
            if reply.status == 201:
                made.append(reply.field("room"))
            if start is not None:
                started[start.label] += 1
            return reply.label

        began = time.monotonic()
        async with client(server, fresh=True, limit=16) as attacker:
            labels = await repeat(deep, 16, make_deep)
        took = time.monotonic() - began
        start_text = f"; start: {counts(started)}" if started else ""
        line.put("deep", f"{len(made)} of {deep} depth-12 rooms made in {took:.2f} s "
                         f"({counts(labels)}{start_text})")
        async with client(server, source=person(2)) as victim:
            began = time.monotonic()
            reply, start = await create_bot(server, victim, 1)
            if reply.status != 201:
                line.put("wait", f"a new depth-1 room was refused: {reply.label}")
            else:
                waited = await first_move(victim, reply.field("room"), began, waiting)
                shown = f"{waited:.1f} s" if waited is not None else f"over {waiting:.0f} s"
                line.put("wait", f"a new depth-1 room then waited {shown} for its bot's first move "
                                 f"(noisy: CPU-bound)")
        # The mean CPU of a depth-12 first move, from the rooms where it was made.
        async with client(server) as attacker:
            states = await asyncio.gather(*(call(attacker, "GET", f"/api/rooms/{room}")
                                            for room in made))
        done = sum(moved(state.data) for state in states)
        if done:
            search_cpu = server.children_cpu() / (done + 1)

    async def make_flood(n: int) -> str:
        reply, _ = await create_bot(first, attacker, 12)
        if reply.status == 201:
            flooded.append(reply.field("room"))
        return reply.label

    first = probe.server("botflood")
    again: ServerProcess | None = None
    try:
        await probe.start(first)
        flooded: list[str] = []
        async with client(first, fresh=True, limit=16) as attacker:
            rate = await repeat_for(flood, 16, make_flood)
        cost = ""
        if search_cpu is not None:
            cost = f", about {len(flooded) * search_cpu / 3600:.1f} CPU-hours at {search_cpu:.2f} s a search"
        line.put("flood", f"{len(flooded):,} depth-12 bot rooms created by one client in "
                          f"{flood:.0f} s ({counts(rate.labels)}{cost})")
        await first.kill9()
        again = ServerProcess(probe.command, first.db, first.log)
        restart = await again.start()
        await asyncio.sleep(1.0)
        cpu = again.children_cpu()
        await asyncio.sleep(5.0)
        busy = (again.children_cpu() - cpu) / 5.0
        thinking, unchecked = await _thinking(again, flooded, probe.seconds(60.0, 20.0))
        line.put("requeued", f"after kill -9 and a restart ({restart:.1f} s): {thinking:,} of "
                             f"{len(flooded) - unchecked:,} rooms checked thinking, bot workers "
                             f"busy {busy:.0%} of a core")
    finally:
        await first.stop()
        if again is not None:
            stopped, _ = await again.stop()
            shown = f"{stopped:.1f} s" if stopped is not None else f"not within {STOP_SECONDS:.0f} s (killed)"
            line.put("sigterm", f"SIGTERM then: exit in {shown}")


def _retry_after(reply: Reply) -> float:
    """The seconds a refusal asks to wait (1 if it does not say in seconds), at most 5."""
    try:
        return min(5.0, max(0.0, float(reply.headers.get("retry-after", "1"))))
    except ValueError:
        return 1.0


async def _thinking(server: ServerProcess, rooms: list[str], seconds: float) -> tuple[int, int]:
    """How many of ``rooms`` show the bot thinking, and how many could not be checked in
    ``seconds`` (a refused GET is tried again after the wait it asks for)."""
    deadline = time.monotonic() + seconds
    thinking = 0
    unchecked = 0

    async def check(n: int) -> str:
        nonlocal thinking, unchecked
        while time.monotonic() < deadline:
            reply = await call(session, "GET", f"/api/rooms/{rooms[n]}")
            if reply.status == 200:
                thinking += bool(reply.field("thinking"))
                return "checked"
            if reply.status not in (429, 503):
                break
            await asyncio.sleep(_retry_after(reply))
        unchecked += 1
        return "unchecked"

    async with client(server, limit=16) as session:
        await repeat(len(rooms), 16, check)
    return thinking, unchecked


async def row_ratelimit(probe: Probe, line: Line) -> None:
    """Rooms made on fresh connections, and requests per second before and after many
    connections."""
    window = probe.seconds(15.0, 3.0)
    sample = probe.seconds(3.0, 1.0)
    # Past today's 10,000 entries of the rate table, all of them younger than a minute.
    connections_after = 10_500
    async with probe.serving("ratelimit") as server:
        connections = 0

        async def refused(n: int) -> str:
            # The cheapest request that is counted against the limit: a malformed room.
            nonlocal connections
            connections += 1
            return (await call(attacker, "POST", "/api/rooms", {"mode": "probe"})).label

        async def create(n: int) -> str:
            nonlocal connections
            connections += 1
            return (await call(attacker, "POST", "/api/rooms", {"mode": "humans"})).label

        async with client(server, fresh=True, limit=16) as attacker:
            before = await repeat_for(sample, 16, refused)
            line.put("rate", f"{before} on fresh connections at first ({counts(before.labels)})")
            rooms = await repeat_for(window, 16, create)
            line.put("rooms", f"{rooms.labels['201']:,} rooms created in {window:.0f} s on fresh "
                              f"connections ({counts(rooms.labels)})")
            if connections < connections_after:
                await repeat(connections_after - connections, 16, refused)
            after = await repeat_for(sample, 16, refused)
        line.put("rate", f"requests on fresh connections: {before} -> {after} after "
                           f"{connections - after.labels.total():,} connections "
                           f"({counts(before.labels)} -> {counts(after.labels)})")


async def row_seats(probe: Probe, line: Line) -> None:
    """Two-seat rooms: listed in the lobby, taken by a stranger without the invite."""
    count = probe.count(13, 5)
    async with probe.serving("seats") as server:
        async with client(server, source=person(2)) as owner:
            replies = [await call(owner, "POST", "/api/rooms", {"mode": "humans"}) for _ in range(count)]
        rooms = {r.field("room"): r for r in replies if r.status == 201}
        line.put("made", f"{len(rooms)} of {count} two-seat rooms made")
        async with client(server, source=person(3)) as stranger:
            lobby = await call(stranger, "GET", "/api/rooms")
            entries = lobby.field("rooms") or []
            listed = [e for e in entries if isinstance(e, dict) and e.get("room") in rooms]
            free = sum(1 for e in listed if e.get("free_seat"))
            line.put("listed", f"{len(listed)} listed in the lobby, {free} with a free seat shown")
            joins = Counter([(await call(stranger, "POST", f"/api/rooms/{room}/join", {})).label
                             for room in rooms])
        line.put("taken", f"a stranger joining without the invite took {joins['200']} of "
                          f"{len(rooms)} ({counts(joins)})")
        async with client(server, source=person(4)) as friend:
            friends = Counter([(await call(friend, "POST", f"/api/rooms/{room}/join",
                                           join_body(made))).label for room, made in rooms.items()])
        invited = "with the invite" if any(m.field("invite") for m in rooms.values()) else "(no invite given)"
        line.put("friend", f"then the invited friend {invited}: {counts(friends)}")


async def row_origin(probe: Probe, line: Line) -> None:
    """Requests a page on another site, or a name rebound to loopback, can make."""
    async with probe.serving("origin") as server:
        body = b'{"mode": "humans"}'
        plain = await raw_request(server.port, request_head(
            "POST", "/api/rooms", server.port, "Content-Type: text/plain",
            f"Origin: {FOREIGN_ORIGIN}", f"Content-Length: {len(body)}"), body)
        line.put("plain", f"text/plain POST from a foreign Origin: {plain.label}")
        foreign_json = await raw_request(server.port, request_head(
            "POST", "/api/rooms", server.port, "Content-Type: application/json",
            f"Origin: {FOREIGN_ORIGIN}", f"Content-Length: {len(body)}"), body)
        line.put("json", f"(application/json from it: {foreign_json.label})")
        async with client(server) as session:
            room = (await call(session, "POST", "/api/rooms", {"mode": "humans"})).field("room")
        upgrade = await raw_request(server.port, request_head(
            "GET", f"/api/rooms/{room}/ws", server.port, "Upgrade: websocket",
            "Connection: Upgrade", f"Sec-WebSocket-Key: {base64.b64encode(os.urandom(16)).decode()}",
            "Sec-WebSocket-Version: 13", f"Origin: {FOREIGN_ORIGIN}"))
        line.put("ws", f"WebSocket upgrade from a foreign Origin: {upgrade.label}")
        rebound = await raw_request(server.port, "\n".join([
            "GET /api/rooms HTTP/1.1", f"Host: {FOREIGN_HOST}:{server.port}", "Connection: close"]) + "\n")
        line.put("host", f"a foreign Host: {rebound.label}")


async def _log_settled(server: ServerProcess) -> int:
    """The log's size once it has not grown for half a second (at most 5 s)."""
    deadline = time.monotonic() + 5.0
    size = server.log_size()
    while time.monotonic() < deadline:
        await asyncio.sleep(0.5)
        now = server.log_size()
        if now == size:
            break
        size = now
    return size


async def row_bodies(probe: Probe, line: Line) -> None:
    """Bodies the JSON reader or the decoder cannot take, and clients hanging up."""
    hangups = probe.count(2_000, 200)
    async with probe.serving("bodies") as server:
        deep = b"[" * 1900 + b"]" * 1900
        reply = await raw_request(server.port, request_head(
            "POST", "/api/rooms", server.port, "Content-Type: application/json",
            f"Content-Length: {len(deep)}"), deep)
        line.put("deep", f"1,900-deep JSON: {reply.label}")
        body = b'{"mode": "humans"}'
        reply = await raw_request(server.port, request_head(
            "POST", "/api/rooms", server.port, "Content-Type: application/json",
            "Content-Encoding: gzip", f"Content-Length: {len(body)}"), body)
        line.put("gzip", f"a body falsely marked gzip: {reply.label}")
        before = await _log_settled(server)
        text_before = server.log.read_bytes()[:before].count(b"Traceback")

        async def hang_up(n: int) -> str:
            try:
                async with asyncio.timeout(10.0):
                    _, writer = await asyncio.open_connection(LOOPBACK, server.port)
                    writer.write(request_head("POST", "/api/rooms", server.port,
                                              "Content-Type: application/json",
                                              "Content-Length: 64").replace("\n", "\r\n").encode()
                                 + b"\r\n" + b'{"mode": "hu')
                    await writer.drain()
                    await asyncio.sleep(0.05)
                    writer.close()
                    with contextlib.suppress(OSError):
                        await writer.wait_closed()
                return "hung up"
            except (OSError, TimeoutError) as failure:
                return type(failure).__name__

        labels = await repeat(hangups, 16, hang_up)
        after = await _log_settled(server)
        tracebacks = server.log.read_bytes()[:after].count(b"Traceback") - text_before
        added = after - before
        line.put("hangups", f"{hangups:,} requests hanging up mid-body ({counts(labels)}) added "
                            f"{added / MIB:.2f} MiB of log ({added / hangups:,.0f} bytes each, "
                            f"{tracebacks:,} tracebacks)")


async def row_fairstart(probe: Probe, line: Line) -> None:
    """Whether a person sees the deal before the first move."""
    count = probe.count(20, 5)
    async with probe.serving("fairstart") as server:
        # One room played first, so that the bot's workers are up before the rooms counted.
        async with client(server, source=person(3)) as warm:
            reply, _ = await create_bot(server, warm, 1)
            if reply.status == 201:
                await first_move(warm, reply.field("room"), time.monotonic(), 30.0)
        labels: Counter[str] = Counter()
        deal = 0
        for n in range(count):
            async with client(server, source=person(10 + n)) as player:
                reply, _ = await create_bot(server, player, 1, start=False)
                labels[reply.label] += 1
                if reply.status != 201:
                    continue
                await asyncio.sleep(0.3)
                state = await call(player, "GET", f"/api/rooms/{reply.field('room')}")
                deal += state.status == 200 and not moved(state.data)
        line.put("deal", f"a GET 300 ms after creation showed the deal in {deal} of "
                         f"{labels['201']} depth-1 rooms where the bot moves first ({counts(labels)})")
        async with client(server, source=person(4)) as first:
            made_room = await call(first, "POST", "/api/rooms", {"mode": "humans"})
            room, token = made_room.field("room"), made_room.field("token")
            state = await call(first, "GET", f"/api/rooms/{room}")
            legal = state.field("legal") or ["A1"]
            reply = await call(first, "POST", f"/api/rooms/{room}/moves",
                               {"move": legal[0], "token": token})
        line.put("alone", f"A's move in a two-seat room before B joined: {reply.label}")


def _safety(headers: dict[str, str]) -> str:
    return f"{sum(name in headers for name in SAFETY_HEADERS)} of {len(SAFETY_HEADERS)}"


async def row_small(probe: Probe, line: Line) -> None:
    """Safety headers, Allow, the database file's mode, SIGTERM with a backlog."""
    backlog = probe.count(20, 5)
    server = probe.server("small")
    try:
        await probe.start(server)
        async with client(server) as session:
            ok = await call(session, "GET", "/api/rooms")
            missing = await call(session, "GET", "/api/rooms/no-such-room")
            page = await call(session, "GET", "/rooms/no-such-room")
            wrong = await call(session, "DELETE", "/api/rooms")
            await call(session, "POST", "/api/rooms", {"mode": "humans"})
        line.put("headers", f"safety headers on a {missing.label}: {_safety(missing.headers)}, "
                            f"on a page {page.label}: {_safety(page.headers)}, on a {wrong.label}: "
                            f"{_safety(wrong.headers)} (on a {ok.label}: {_safety(ok.headers)})")
        line.put("allow", f"{wrong.label} Allow: {wrong.headers.get('allow', 'none')}")
        modes = [f"{path.name} {path.stat().st_mode & 0o777:04o}"
                 for path in sorted(server.db.parent.glob(server.db.name + "*"))]
        line.put("mode", f"database files {', '.join(modes)} (the server's umask 0022)")
        labels: Counter[str] = Counter()

        async def player(n: int) -> None:
            async with client(server, source=person(40 + n)) as session:
                reply, _ = await create_bot(server, session, 12)
                labels[reply.label] += 1

        await asyncio.gather(*(player(n) for n in range(backlog)))
        await asyncio.sleep(1.5)
        workers = len(server.children())
        took, killed = await server.stop(grace=30.0)
        shown = f"{took:.1f} s" if took is not None else "not within 30 s (killed)"
        line.put("sigterm", f"SIGTERM with {labels['201']} depth-12 rooms waiting for the bot "
                            f"({counts(labels)}): exit in {shown}, {killed} of its {workers} "
                            f"child processes left to kill")
    finally:
        await server.stop()


@dataclass(frozen=True)
class Row:
    run: Callable[[Probe, Line], Awaitable[None]]
    seconds: float  # the row's time limit (full counts)


ROWS: Final = {
    "memory": Row(row_memory, 300.0),
    "idle": Row(row_idle, 120.0),
    "botqueue": Row(row_botqueue, 600.0),
    "ratelimit": Row(row_ratelimit, 300.0),
    "seats": Row(row_seats, 60.0),
    "origin": Row(row_origin, 60.0),
    "bodies": Row(row_bodies, 120.0),
    "fairstart": Row(row_fairstart, 120.0),
    "small": Row(row_small, 120.0),
}


async def run_row(probe: Probe, name: str, seconds: float) -> str:
    line = Line()
    began = time.monotonic()
    try:
        await asyncio.wait_for(ROWS[name].run(probe, line), seconds)
    except TimeoutError:
        line.put("end", f"TIMED OUT after {seconds:.0f} s")
    except Exception as failure:  # reported, and the next row runs
        line.put("end", f"FAILED: {failure!r}")
    except asyncio.CancelledError:
        line.put("end", "INTERRUPTED")
        print(f"{name:<10} {line.text()} [{time.monotonic() - began:.0f} s]", flush=True)
        raise
    return f"{name:<10} {line.text()} [{time.monotonic() - began:.0f} s]"


async def run(probe: Probe, names: list[str], limit: float | None) -> None:
    task = asyncio.current_task()
    assert task is not None
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, task.cancel)
    for name in names:
        print(await run_row(probe, name, limit or ROWS[name].seconds), flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server-cmd", default=f"{shlex.quote(sys.executable)} -m varno_serve",
                        help="the command that starts varno-serve; --host, --port and --db are "
                        "appended (default: this interpreter's -m varno_serve)")
    parser.add_argument("--rows", default=",".join(ROWS),
                        help=f"the rows to measure, in this order (default: {','.join(ROWS)})")
    parser.add_argument("--quick", action="store_true", help="smaller counts and shorter waits")
    parser.add_argument("--row-timeout", type=float,
                        help="seconds allowed to every row (default: each row's own)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the servers' databases and logs (under build/probe-public/)")
    args = parser.parse_args()
    names = [name.strip() for name in args.rows.split(",") if name.strip()]
    unknown = [name for name in names if name not in ROWS]
    if unknown or not names:
        parser.error(f"unknown rows {unknown}; the rows are {', '.join(ROWS)}")
    command = shlex.split(args.server_cmd)
    # 1,100 idle sockets and their peers' connections are this process's files.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 4096 if hard == resource.RLIM_INFINITY else min(4096, hard)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))

    WORK.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="run-", dir=WORK))
    probe = Probe(command, work, args.quick)
    began = time.monotonic()
    print(f"varno-serve probe on {LOOPBACK}: {shlex.join(command)} with its default limits; "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; "
          f"{'quick' if args.quick else 'full'} counts", flush=True)
    try:
        asyncio.run(run(probe, names, args.row_timeout))
    except (KeyboardInterrupt, asyncio.CancelledError):
        print("interrupted", flush=True)
        return 130
    finally:
        for server in list(LIVE):
            server.kill_now()
        if args.keep:
            print(f"kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
        print(f"total {time.monotonic() - began:.0f} s; load average {os.getloadavg()[0]:.1f} "
              f"at the end; the server ran on {probe.interpreter or 'nothing'}", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
