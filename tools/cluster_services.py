"""The processes of a cluster on one machine, on loopback: PostgreSQL and Redis servers
from Debian's packages, ``varno-serve`` nodes, ``varno-bot-worker`` processes and
HAProxy in front; ``make cluster`` (``tools/cluster.py``) and the cluster's tests start
them all from here.

Each part listens on a port of 127.0.0.1, keeps its files under a folder of the build
tree, runs in a session of its own (so that it outlives the command that started it,
and a signal meant for that command's process group does not reach it) and is stopped by
its pid. A part can be killed (SIGKILL, no clean-up) and started again on the same port
and data, for the failure tests. A part started by another process (an earlier ``make
cluster``) is *adopted* by its pid: it counts as running while that pid is alive and its
command line is the part's own, so that a pid reused by another program is never taken
for it (nor signalled).

PostgreSQL refuses to run as root: when this runs as root, its processes take the
``postgres`` user the Debian package creates (in the child, before it runs), and its
folders belong to that user.
"""

from __future__ import annotations

import contextlib
import json
import os
import pwd
import shutil
import signal
import socket
import string
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Final

LOOPBACK: Final = "127.0.0.1"
DATABASE: Final = "varno"
START_SECONDS: Final = 30.0
STOP_SECONDS: Final = 10.0
# The HAProxy configuration's template (README: "Several machines" shows it).
HAPROXY_TEMPLATE: Final = Path(__file__).resolve().parent / "haproxy.cfg.in"


def postgres_bin() -> Path:
    """The folder of the newest PostgreSQL server programs Debian installed."""
    found = sorted(Path("/usr/lib/postgresql").glob("*/bin/postgres"),
                   key=lambda path: int(path.parts[-3]) if path.parts[-3].isdigit() else 0)
    return found[-1].parent if found else Path("/usr/lib/postgresql/15/bin")


POSTGRES_BIN: Final = postgres_bin()


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((LOOPBACK, 0))
        port: int = sock.getsockname()[1]
        return port


def alive(pid: int) -> bool:
    """Whether ``pid`` is a process still running (not gone, not a zombie)."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return text[text.rindex(")") + 2] != "Z"


def command_line(pid: int) -> list[str]:
    """The arguments ``pid`` was started with; none if it is gone."""
    try:
        raw = Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return []
    return [part.decode(errors="replace") for part in raw.split(b"\0") if part]


def children(pid: int) -> list[int]:
    """The processes ``pid`` started (directly)."""
    found: list[int] = []
    with contextlib.suppress(OSError):
        for task in Path(f"/proc/{pid}/task").iterdir():
            found.extend(int(child) for child in (task / "children").read_text().split())
    return found


def _signal(pid: int, signum: int) -> None:
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signum)


def _wait_until(ready: Callable[[], bool], what: str, seconds: float = START_SECONDS,
                gone: Callable[[], bool] = lambda: False) -> None:
    deadline = time.monotonic() + seconds
    while not ready():
        if gone():
            raise RuntimeError(f"{what} exited")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} was not ready within {seconds:.0f} s")
        time.sleep(0.05)


def _listening(port: int) -> bool:
    with contextlib.suppress(OSError), socket.create_connection((LOOPBACK, port), 0.2):
        return True
    return False


def http_get(url: str, headers: Mapping[str, str] | None = None,
             timeout: float = 2.0) -> tuple[int, bytes]:
    """The status and body of a GET of ``url`` (a loopback address); 0 if nothing
    answered."""
    request = urllib.request.Request(url, headers=dict(headers or {}))
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            body: bytes = response.read()
            return int(response.status), body
    except urllib.error.HTTPError as refused:
        return refused.code, refused.read()
    except (OSError, ValueError):
        return 0, b""


class Part:
    """A process of the cluster, started here (``process``) or adopted by its pid."""

    what = "a process"

    def __init__(self) -> None:
        self.process: subprocess.Popen[bytes] | None = None
        self._pid: int | None = None

    @property
    def pid(self) -> int | None:
        return self.process.pid if self.process is not None else self._pid

    def ours(self, arguments: list[str]) -> bool:
        """Whether a process started with ``arguments`` is this part."""
        raise NotImplementedError

    def adopt(self, pid: int | None) -> bool:
        """Takes the running process ``pid`` as this part, if it is this part's."""
        if pid is None or not alive(pid) or not self.ours(command_line(pid)):
            return False
        self.process, self._pid = None, pid
        return True

    def running(self) -> bool:
        pid = self.pid
        if pid is None:
            return False
        if self.process is not None and self.process.poll() is not None:
            return False
        return alive(pid) and self.ours(command_line(pid))

    def exited(self) -> bool:
        """Whether the process started here (or adopted) has ended."""
        if self.process is not None:
            return self.process.poll() is not None
        return self._pid is None or not alive(self._pid)

    def _spawn(self, arguments: Sequence[str], log: Path, *, cwd: Path | None = None,
               preexec_fn: Callable[[], None] | None = None) -> None:
        log.parent.mkdir(parents=True, exist_ok=True)
        with log.open("ab") as output:
            self.process = subprocess.Popen(
                list(arguments), stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                start_new_session=True, preexec_fn=preexec_fn, cwd=cwd)
        self._pid = None

    def _processes(self) -> list[int]:
        """The pids to signal: the part's own (and its children, for ``kill``)."""
        pid = self.pid
        return [] if pid is None else [pid, *children(pid)]

    def _reap(self, seconds: float) -> bool:
        """Waits for the part to end; whether it did."""
        pid = self.pid
        if pid is None:
            return True
        if self.process is not None:
            try:
                self.process.wait(timeout=seconds)
            except subprocess.TimeoutExpired:
                return False
            return True
        deadline = time.monotonic() + seconds
        while alive(pid):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def kill(self) -> None:
        """SIGKILL to the part and the processes it started, at once: a crash."""
        if not self.running():
            self._forget()
            return
        for pid in self._processes():
            _signal(pid, signal.SIGKILL)
        self._reap(STOP_SECONDS)
        self._forget()

    def stop(self, signum: int = signal.SIGTERM) -> None:
        """``signum`` to the part, then SIGKILL if it has not ended within
        ``STOP_SECONDS``."""
        if not self.running():
            self._forget()
            return
        pid = self.pid
        assert pid is not None
        _signal(pid, signum)
        if not self._reap(STOP_SECONDS):
            self.kill()
        self._forget()

    def _forget(self) -> None:
        if self.process is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=0)
        self.process, self._pid = None, None


class PostgresServer(Part):
    """A PostgreSQL server with its data in ``folder``: ``dsn`` names its database."""

    what = "postgres"

    def __init__(self, folder: Path, port: int | None = None) -> None:
        super().__init__()
        # Absolute: the server runs in it, and names its files from it.
        self.folder = folder.resolve()
        self.data = self.folder / "data"
        self.port = port if port is not None else free_port()
        self._user: str | None = "postgres" if os.geteuid() == 0 else None

    @property
    def dsn(self) -> str:
        return f"postgresql://postgres@{LOOPBACK}:{self.port}/{DATABASE}"

    def ours(self, arguments: list[str]) -> bool:
        return bool(arguments) and Path(arguments[0]).name == "postgres" \
            and str(self.data) in arguments and str(self.port) in arguments

    def _become_owner(self) -> None:
        """In the child, before it runs a PostgreSQL program: the server's user."""
        if self._user:
            entry = pwd.getpwnam(self._user)
            os.setgid(entry.pw_gid)
            os.setgroups([entry.pw_gid])
            os.setuid(entry.pw_uid)

    def _own(self, path: Path) -> None:
        if self._user:
            entry = pwd.getpwnam(self._user)
            os.chown(path, entry.pw_uid, entry.pw_gid)

    def _initdb(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        self._own(self.folder)
        subprocess.run([
            str(POSTGRES_BIN / "initdb"), "-D", str(self.data), "-U", "postgres",
            "--auth=trust", "--encoding=UTF8", "--no-instructions"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            preexec_fn=self._become_owner, cwd=self.folder)

    def start(self) -> None:
        """Starts the server (making its data folder and database the first time)."""
        fresh = not (self.data / "PG_VERSION").exists()
        if fresh:
            self._initdb()
        self._spawn([
            str(POSTGRES_BIN / "postgres"), "-D", str(self.data), "-p", str(self.port),
            "-c", f"listen_addresses={LOOPBACK}", "-c", f"unix_socket_directories={self.folder}",
            "-c", "fsync=on", "-c", "max_connections=200"],
            self.folder / "postgres.log", preexec_fn=self._become_owner, cwd=self.folder)
        _wait_until(lambda: _listening(self.port), "postgres", gone=self.exited)
        self._wait_for_queries()
        if fresh:
            self.psql(f"CREATE DATABASE {DATABASE}", database="postgres")

    def answers(self) -> bool:
        done = subprocess.run(
            [str(POSTGRES_BIN / "pg_isready"), "-h", LOOPBACK, "-p", str(self.port),
             "-U", "postgres"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return done.returncode == 0

    def _wait_for_queries(self) -> None:
        _wait_until(self.answers, "postgres (accepting connections)")

    def psql(self, sql: str, database: str = DATABASE) -> str:
        """Runs ``sql`` with psql; what it printed."""
        done = subprocess.run(
            ["psql", "-X", "-q", "-t", "-A", "-h", LOOPBACK, "-p", str(self.port), "-U",
             "postgres", "-d", database, "-v", "ON_ERROR_STOP=1", "-c", sql],
            check=True, capture_output=True, text=True)
        return done.stdout

    def processes(self) -> list[int]:
        """The postmaster and its children (backends and helpers). Each backend is a
        session of its own (PostgreSQL calls setsid in every child), so the postmaster's
        process group holds the postmaster alone."""
        return self._processes()

    def _signal_all(self, signum: int) -> None:
        for pid in self.processes():
            _signal(pid, signum)

    def pause(self) -> None:
        """SIGSTOP to the postmaster and its backends: a server that takes connections
        and statements and answers none (``resume`` ends it)."""
        self._signal_all(signal.SIGSTOP)

    def resume(self) -> None:
        self._signal_all(signal.SIGCONT)

    def stop(self, signum: int = signal.SIGINT) -> None:
        """A fast, clean shutdown (SIGINT), then SIGKILL if it takes over 10 s."""
        super().stop(signum)


class RedisServer(Part):
    """A Redis server with its files in ``folder``, persisting nothing: ``url``."""

    what = "redis-server"

    def __init__(self, folder: Path, port: int | None = None) -> None:
        super().__init__()
        self.folder = folder.resolve()
        self.port = port if port is not None else free_port()

    @property
    def url(self) -> str:
        return f"redis://{LOOPBACK}:{self.port}/0"

    def ours(self, arguments: list[str]) -> bool:
        # Redis rewrites its command line as "redis-server 127.0.0.1:PORT" once started.
        text = " ".join(arguments)
        return bool(arguments) and "redis-server" in arguments[0] \
            and (f"{LOOPBACK}:{self.port}" in text or f"--port {self.port} " in text)

    def start(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        self._spawn(
            [shutil.which("redis-server") or "/usr/bin/redis-server", "--port", str(self.port),
             "--bind", LOOPBACK, "--dir", str(self.folder), "--save", "", "--appendonly", "no",
             "--daemonize", "no"], self.folder / "redis.log")
        _wait_until(self.answers, "redis-server", gone=self.exited)

    def answers(self) -> bool:
        """Whether it answers PING (a stopped Redis's port may still take connections)."""
        with contextlib.suppress(OSError), \
                socket.create_connection((LOOPBACK, self.port), 0.5) as sock:
            sock.settimeout(0.5)
            sock.sendall(b"PING\r\n")
            return sock.recv(16).startswith(b"+PONG")
        return False


class VarnoProcess(Part):
    """A process of the package (``python -m MODULE ...``) with its log in ``log``."""

    module = "varno_serve"

    def __init__(self, log: Path, python: str = sys.executable) -> None:
        super().__init__()
        self.log = log.resolve()
        self.python = python

    def arguments(self) -> list[str]:
        raise NotImplementedError

    def start(self) -> None:
        self._spawn([self.python, "-m", self.module, *self.arguments()], self.log)
        _wait_until(self.answers, f"{self.what} (see {self.log})",
                    gone=self.exited)

    def answers(self) -> bool:
        raise NotImplementedError


class Node(VarnoProcess):
    """A ``varno-serve`` node on ``port``, sharing the store and Redis of the cluster,
    behind the proxies ``trusted``."""

    what = "varno-serve"

    def __init__(self, name: str, port: int, store: str, redis: str, log: Path, *,
                 limits: Mapping[str, float] = {}, trusted: Sequence[str] = (LOOPBACK,),
                 python: str = sys.executable) -> None:
        super().__init__(log, python)
        self.name, self.port, self.store, self.redis = name, port, store, redis
        self.limits = dict(limits)
        self.trusted = list(trusted)

    @property
    def url(self) -> str:
        return f"http://{LOOPBACK}:{self.port}"

    def arguments(self) -> list[str]:
        return ["--host", LOOPBACK, "--port", str(self.port), "--node", self.name,
                "--store", self.store, "--events", self.redis, "--queue", self.redis,
                *(f"--trusted-proxy={proxy}" for proxy in self.trusted),
                *(f"--limit={name}={_number(value)}" for name, value in sorted(self.limits.items()))]

    def ours(self, arguments: list[str]) -> bool:
        # Adopted by its name and port, whatever limits it was started with.
        return arguments[1:3] == ["-m", self.module] \
            and _option(arguments, "--node") == self.name \
            and _option(arguments, "--port") == str(self.port)

    def health(self) -> dict[str, Any] | None:
        status, body = http_get(f"{self.url}/healthz")
        if status not in (200, 503):
            return None
        report: dict[str, Any] = json.loads(body)
        return report

    def answers(self) -> bool:
        """Whether it serves, its events and queue up."""
        report = self.health()
        return report is not None and (report["store"], report["events"], report["queue"]) \
            == ("up", "up", "up")


class Worker(VarnoProcess):
    """A ``varno-bot-worker`` named ``name``, its metrics on ``metrics_port``."""

    module = "varno_serve.worker"
    what = "varno-bot-worker"

    def __init__(self, name: str, store: str, redis: str, log: Path, *,
                 metrics_port: int | None = None, lease: float = 5.0,
                 python: str = sys.executable) -> None:
        super().__init__(log, python)
        self.name, self.store, self.redis, self.lease = name, store, redis, lease
        self.metrics_port = metrics_port if metrics_port is not None else free_port()

    def arguments(self) -> list[str]:
        return ["--queue", self.redis, "--store", self.store, "--events", self.redis,
                "--name", self.name, "--lease", f"{self.lease:g}",
                "--metrics-port", str(self.metrics_port)]

    def ours(self, arguments: list[str]) -> bool:
        # Adopted by its name: its metrics' port was chosen by the command that started it.
        return arguments[1:3] == ["-m", self.module] \
            and _option(arguments, "--name") == self.name

    def adopt(self, pid: int | None) -> bool:
        if not super().adopt(pid):
            return False
        assert pid is not None
        self.metrics_port = int(_option(command_line(pid), "--metrics-port") or 0)
        return True

    def metrics(self) -> str:
        status, body = http_get(f"http://{LOOPBACK}:{self.metrics_port}/metrics")
        return body.decode() if status == 200 else ""

    def answers(self) -> bool:
        return "varno_node_info" in self.metrics() \
            and "takes the bot's turns" in self.log.read_text(errors="replace")


def haproxy_config(port: int, servers: Sequence[tuple[str, int]], folder: Path) -> str:
    """The HAProxy configuration of the template, for a front on ``port`` and the nodes
    ``servers`` (name, port), all on loopback."""
    lines = "\n".join(f"    server {name} {LOOPBACK}:{server_port}"
                      for name, server_port in servers)
    return string.Template(HAPROXY_TEMPLATE.read_text()).substitute(
        bind=f"{LOOPBACK}:{port}", servers=lines, unavailable=folder.resolve() / "503.http")


# What HAProxy answers while no node can serve (every node's store out of reach): what a
# node would, a JSON error with Retry-After.
UNAVAILABLE: Final = (
    'HTTP/1.1 503 Service Unavailable\r\n'
    'Content-Type: application/json; charset=utf-8\r\n'
    'Cache-Control: no-store\r\n'
    'Retry-After: 1\r\n'
    'Connection: close\r\n'
    '\r\n'
    '{"error": "the rooms cannot be reached just now; nothing was changed; '
    'try again shortly", "code": "store_unavailable"}\n')


class HAProxy(Part):
    """HAProxy in front of the nodes, on ``port``, its configuration in ``folder``."""

    what = "haproxy"

    def __init__(self, folder: Path, port: int) -> None:
        super().__init__()
        self.folder = folder.resolve()
        self.port = port
        self.config = self.folder / "haproxy.cfg"

    @property
    def url(self) -> str:
        return f"http://{LOOPBACK}:{self.port}"

    def ours(self, arguments: list[str]) -> bool:
        return bool(arguments) and Path(arguments[0]).name == "haproxy" \
            and str(self.config) in arguments

    def write_config(self, nodes: Sequence[Node]) -> bool:
        """Writes the configuration for ``nodes``; whether it changed."""
        self.folder.mkdir(parents=True, exist_ok=True)
        (self.folder / "503.http").write_text(UNAVAILABLE)
        text = haproxy_config(self.port, [(node.name, node.port) for node in nodes],
                              self.folder)
        if self.config.exists() and self.config.read_text() == text:
            return False
        self.config.write_text(text)
        return True

    def start(self, nodes: Sequence[Node] = ()) -> None:
        binary = shutil.which("haproxy") or "/usr/sbin/haproxy"
        check = subprocess.run([binary, "-c", "-q", "-f", str(self.config)],
                               capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError(f"haproxy refuses {self.config}: "
                               f"{(check.stdout + check.stderr).strip()}")
        self._spawn([binary, "-db", "-f", str(self.config)], self.folder / "haproxy.log")
        _wait_until(lambda: self.routes_to({node.name for node in nodes}),
                    f"haproxy (see {self.folder / 'haproxy.log'})",
                    gone=self.exited)

    def routes_to(self, names: set[str]) -> bool:
        """Whether requests through it reach every node named (by their /healthz)."""
        seen: set[str] = set()
        for _ in range(4 * max(1, len(names))):
            status, body = http_get(f"{self.url}/healthz")
            if status != 200:
                return False
            seen.add(json.loads(body)["node"])
            if names <= seen:
                return True
        return False


@contextlib.contextmanager
def postgres(folder: Path) -> Iterator[PostgresServer]:
    server = PostgresServer(folder)
    server.start()
    try:
        yield server
    finally:
        server.stop()


@contextlib.contextmanager
def redis(folder: Path) -> Iterator[RedisServer]:
    server = RedisServer(folder)
    server.start()
    try:
        yield server
    finally:
        server.stop()


class Cluster:
    """A whole cluster on this machine under ``folder``: PostgreSQL, Redis, ``nodes``
    ``varno-serve`` nodes, ``workers`` bot workers and HAProxy on ``port``.

    ``start`` starts the parts that are not running (adopting those that are, as
    ``folder/cluster.json`` names them) and returns once every part answers; ``stop``
    stops them all by pid. ``limits`` are the nodes' (``--limit``), ``lease`` the
    workers'.
    """

    def __init__(self, folder: Path, port: int, *, nodes: int = 3, workers: int = 2,
                 limits: Mapping[str, float] = {}, lease: float = 5.0,
                 python: str = sys.executable, log: Callable[[str], None] = lambda _: None
                 ) -> None:
        self.folder = folder.resolve()
        self.state_file = self.folder / "cluster.json"
        self._say = log
        known = self._read()
        self.postgres = PostgresServer(self.folder / "postgres",
                                       _port_of(known.get("postgres", {}).get("dsn")))
        self.redis = RedisServer(self.folder / "redis",
                                 _port_of(known.get("redis", {}).get("url")))
        old_nodes = known.get("nodes", [])
        self.nodes = [
            Node(f"node{n + 1}",
                 (_port_of(old_nodes[n]["url"]) if n < len(old_nodes) else None) or free_port(),
                 self.postgres.dsn, self.redis.url, self.folder / f"node{n + 1}.log",
                 limits=limits, python=python)
            for n in range(nodes)]
        self.workers = [Worker(f"worker{n + 1}", self.postgres.dsn, self.redis.url,
                               self.folder / f"worker{n + 1}.log", lease=lease, python=python)
                        for n in range(workers)]
        self.haproxy = HAProxy(self.folder / "haproxy", port)
        self._adopt(known)

    @property
    def url(self) -> str:
        return self.haproxy.url

    def parts(self) -> list[Part]:
        return [self.postgres, self.redis, *self.nodes, *self.workers, self.haproxy]

    def _read(self) -> dict[str, Any]:
        try:
            known: dict[str, Any] = json.loads(self.state_file.read_text())
        except (OSError, ValueError):
            return {}
        return known

    def _adopt(self, known: dict[str, Any]) -> None:
        self.postgres.adopt(known.get("postgres", {}).get("pid"))
        self.redis.adopt(known.get("redis", {}).get("pid"))
        for part, entry in [*zip(self.nodes, known.get("nodes", [])),
                            *zip(self.workers, known.get("workers", []))]:
            part.adopt(entry.get("pid"))
        self.haproxy.adopt(known.get("haproxy", {}).get("pid"))

    def describe(self) -> dict[str, Any]:
        """What ``cluster.json`` holds: where each part is, and its pid."""
        return {
            "url": self.url,
            "nodes": [{"url": node.url, "pid": node.pid} for node in self.nodes],
            "workers": [{"pid": worker.pid} for worker in self.workers],
            "postgres": {"pid": self.postgres.pid, "dsn": self.postgres.dsn},
            "redis": {"pid": self.redis.pid, "url": self.redis.url},
            "haproxy": {"pid": self.haproxy.pid},
        }

    def _write(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        written = self.state_file.with_suffix(".json.new")
        written.write_text(json.dumps(self.describe(), indent=2) + "\n")
        written.replace(self.state_file)

    def start(self) -> dict[str, Any]:
        """Starts what is not running, in the order each needs the others; returns (and
        writes to ``cluster.json``) the description once every part answers."""
        self.folder.mkdir(parents=True, exist_ok=True)
        try:
            for server in (self.postgres, self.redis):
                self._start(server, server.start)
            for node in self.nodes:
                self._start(node, node.start)
            for worker in self.workers:
                self._start(worker, worker.start)
            changed = self.haproxy.write_config(self.nodes)
            if changed and self.haproxy.running():
                self._say("haproxy: its configuration changed; started again")
                self.haproxy.stop()
            self._start(self.haproxy, lambda: self.haproxy.start(self.nodes))
            for part in self.parts():
                answers = getattr(part, "answers", None)
                if answers is not None:
                    _wait_until(answers, part.what)
            if not self.haproxy.routes_to({node.name for node in self.nodes}):
                _wait_until(lambda: self.haproxy.routes_to({n.name for n in self.nodes}),
                            "haproxy's routes to every node")
        finally:
            self._write()
        return self.describe()

    def _start(self, part: Part, start: Callable[[], None]) -> None:
        name = getattr(part, "name", part.what)
        if part.running():
            self._say(f"{name}: running (pid {part.pid})")
            return
        start()
        self._say(f"{name}: started (pid {part.pid})")

    def stop(self) -> None:
        """Stops every part by its pid, the front first and the databases last."""
        for part in reversed(self.parts()):
            if part.running():
                self._say(f"{getattr(part, 'name', part.what)}: stopping (pid {part.pid})")
            part.stop()
        self._write()


def _number(value: float) -> str:
    """``value`` as a limit's text: a whole number without its fraction."""
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def _option(arguments: list[str], name: str) -> str | None:
    """The value given to the option ``name`` in ``arguments`` (``--name VALUE``)."""
    if name in arguments[:-1]:
        return arguments[arguments.index(name) + 1]
    return None


def _port_of(url: str | None) -> int | None:
    """The port of a URL (``scheme://host:port/...``), if it names one."""
    if not url:
        return None
    host = url.partition("://")[2].rpartition("@")[2].partition("/")[0]
    port = host.rpartition(":")[2]
    return int(port) if port.isdigit() else None
