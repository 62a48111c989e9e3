"""``make cluster`` and ``make cluster-stop`` (``tools/cluster.py``) as a person runs them:
the cluster started in the background, ``cluster.json`` in its exact shape, a second
start that starts again only what is not running, and a stop that leaves nothing; and
the HAProxy configuration the README shows is the one used."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from cluster_services import HAPROXY_TEMPLATE, LOOPBACK, UNAVAILABLE, alive, free_port, http_get
from varno_serve.web.middleware import STORE_DOWN

pytest.importorskip("psycopg")
pytest.importorskip("redis")

REPO = Path(__file__).resolve().parents[2]
TOOL = REPO / "tools" / "cluster.py"


def cluster(command: str, folder: Path, port: int) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(TOOL), command, "--folder", str(folder),
                           "--port", str(port)], capture_output=True, text=True, timeout=180)


def pids(described: dict[str, object]) -> list[int]:
    found: list[int] = []
    for value in described.values():
        for entry in value if isinstance(value, list) else [value]:
            if isinstance(entry, dict):
                found.append(int(entry["pid"]))
    return found


class TestTheCommands:
    def test_start_start_again_and_stop(self) -> None:
        folder = REPO / "build" / "cluster-tests" / f"make-cluster-{os.getpid()}"
        shutil.rmtree(folder, ignore_errors=True)
        port = free_port()
        started: list[int] = []
        try:
            done = cluster("start", folder, port)
            assert done.returncode == 0, done.stderr + done.stdout
            first = json.loads((folder / "cluster.json").read_text())
            assert list(first) == ["url", "nodes", "workers", "postgres", "redis", "haproxy"]
            assert first["url"] == f"http://{LOOPBACK}:{port}"
            assert [sorted(node) for node in first["nodes"]] == [["pid", "url"]] * 3
            assert [sorted(worker) for worker in first["workers"]] == [["pid"]] * 2
            assert sorted(first["postgres"]) == ["dsn", "pid"]
            assert first["postgres"]["dsn"].startswith(f"postgresql://postgres@{LOOPBACK}:")
            assert sorted(first["redis"]) == ["pid", "url"]
            assert sorted(first["haproxy"]) == ["pid"]
            started = pids(first)
            assert all(alive(pid) for pid in started)
            status, body = http_get(f"{first['url']}/healthz")
            assert status == 200 and json.loads(body)["queue"] == "up"

            # A node and a worker die: the next start brings back those two only.
            dead = [first["nodes"][2]["pid"], first["workers"][0]["pid"]]
            for pid in dead:
                os.kill(pid, signal.SIGKILL)
            done = cluster("start", folder, port)
            assert done.returncode == 0, done.stderr + done.stdout
            second = json.loads((folder / "cluster.json").read_text())
            again = pids(second)
            started += again
            assert [pid for pid in again if pid in pids(first)] == \
                [pid for pid in pids(first) if pid not in dead]
            assert [pid for pid in again if pid not in pids(first)] == \
                [second["nodes"][2]["pid"], second["workers"][0]["pid"]]
            assert second["nodes"][2]["url"] == first["nodes"][2]["url"]
            assert "node1: running" in done.stdout and "node3: started" in done.stdout
            assert http_get(f"{second['nodes'][2]['url']}/healthz")[0] == 200

            done = cluster("stop", folder, port)
            assert done.returncode == 0, done.stderr
            assert not [pid for pid in again if alive(pid)]
        finally:
            cluster("stop", folder, port)
            for pid in started:
                assert not alive(pid), f"process {pid} left running"
            shutil.rmtree(folder, ignore_errors=True)


def test_the_readme_shows_the_haproxy_configuration_used() -> None:
    readme = (REPO / "README.md").read_text()
    assert HAPROXY_TEMPLATE.read_text() in readme
    # HAProxy's own 503, shown as it is, says what a node with its store away says.
    assert UNAVAILABLE.replace("\r\n", "\n") in readme
    body = json.loads(UNAVAILABLE.split("\r\n\r\n", 1)[1])
    assert body == {"error": STORE_DOWN, "code": "store_unavailable"}
