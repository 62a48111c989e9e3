"""PostgreSQL and Redis servers of the tests' own, from Debian's packages, on loopback.

Each server keeps its data under a folder the caller gives (in the build tree), listens
on a free port of 127.0.0.1 and is stopped by its pid. A server can be killed (SIGKILL,
no clean-up) and started again on the same port and data, for the failure tests.

PostgreSQL refuses to run as root: when the tests run as root, its processes take the
``postgres`` user the Debian package creates (in the child, before it runs, so that the
server is this process's own child and is reaped by it), and its folders belong to that
user.
"""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time
from collections.abc import Iterator
from pathlib import Path

LOOPBACK = "127.0.0.1"
POSTGRES_BIN = Path("/usr/lib/postgresql/15/bin")
DATABASE = "varno"
START_SECONDS = 30.0


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((LOOPBACK, 0))
        port: int = sock.getsockname()[1]
        return port


def _wait_for_port(port: int, process: subprocess.Popen[bytes] | None, what: str) -> None:
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{what} exited with {process.returncode}")
        with contextlib.suppress(OSError), socket.create_connection((LOOPBACK, port), 0.2):
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not listen on {port} within {START_SECONDS:.0f} s")


def _kill(pid: int | None) -> None:
    if pid is None:
        return
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGKILL)


class PostgresServer:
    """A PostgreSQL server with its data in ``folder``: ``dsn`` names its database."""

    def __init__(self, folder: Path, port: int | None = None) -> None:
        # Absolute: the server runs in it, and names its files from it.
        self.folder = folder.resolve()
        self.data = self.folder / "data"
        self.port = port if port is not None else free_port()
        self.process: subprocess.Popen[bytes] | None = None
        self._user: str | None = "postgres" if os.geteuid() == 0 else None

    @property
    def dsn(self) -> str:
        return f"postgresql://postgres@{LOOPBACK}:{self.port}/{DATABASE}"

    @property
    def pid(self) -> int | None:
        return self.process.pid if self.process is not None else None

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
        log = (self.folder / "postgres.log").open("ab")
        self.process = subprocess.Popen([
            str(POSTGRES_BIN / "postgres"), "-D", str(self.data), "-p", str(self.port),
            "-c", f"listen_addresses={LOOPBACK}", "-c", f"unix_socket_directories={self.folder}",
            "-c", "fsync=on", "-c", "max_connections=200"],
            stdout=log, stderr=log, start_new_session=True, preexec_fn=self._become_owner,
            cwd=self.folder)
        log.close()
        _wait_for_port(self.port, self.process, "postgres")
        self._wait_for_queries()
        if fresh:
            self.psql(f"CREATE DATABASE {DATABASE}", database="postgres")

    def _wait_for_queries(self) -> None:
        deadline = time.monotonic() + START_SECONDS
        while True:
            done = subprocess.run(
                [str(POSTGRES_BIN / "pg_isready"), "-h", LOOPBACK, "-p", str(self.port),
                 "-U", "postgres"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if done.returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError("postgres does not accept connections")
            time.sleep(0.05)

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
        if self.process is None:
            return []
        found = [self.process.pid]
        with contextlib.suppress(OSError):
            for task in Path(f"/proc/{self.process.pid}/task").iterdir():
                found.extend(int(pid) for pid in (task / "children").read_text().split())
        return found

    def _signal_all(self, signum: int) -> None:
        for pid in self.processes():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signum)

    def kill(self) -> None:
        """SIGKILL to the postmaster and every backend at once: a crash."""
        if self.process is not None:
            self._signal_all(signal.SIGKILL)
            self.process.wait()
            self.process = None

    def pause(self) -> None:
        """SIGSTOP to the postmaster and its backends: a server that takes connections
        and statements and answers none (``resume`` ends it)."""
        self._signal_all(signal.SIGSTOP)

    def resume(self) -> None:
        self._signal_all(signal.SIGCONT)

    def stop(self) -> None:
        """A fast, clean shutdown (SIGINT), then SIGKILL if it takes over 10 s."""
        if self.process is None:
            return
        with contextlib.suppress(ProcessLookupError):
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.kill()
        self.process = None


class RedisServer:
    """A Redis server with its files in ``folder``, persisting nothing: ``url``."""

    def __init__(self, folder: Path, port: int | None = None) -> None:
        self.folder = folder
        self.port = port if port is not None else free_port()
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://{LOOPBACK}:{self.port}/0"

    @property
    def pid(self) -> int | None:
        return self.process.pid if self.process is not None else None

    def start(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        log = (self.folder / "redis.log").open("ab")
        self.process = subprocess.Popen(
            [shutil.which("redis-server") or "/usr/bin/redis-server", "--port", str(self.port),
             "--bind", LOOPBACK, "--dir", str(self.folder), "--save", "", "--appendonly", "no",
             "--daemonize", "no"],
            stdout=log, stderr=log, start_new_session=True)
        log.close()
        _wait_for_port(self.port, self.process, "redis-server")

    def kill(self) -> None:
        if self.process is not None:
            _kill(self.process.pid)
            self.process.wait()
            self.process = None

    def stop(self) -> None:
        if self.process is None:
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.kill()
        self.process = None


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
