"""The load of ``bench_serve.py`` (K clients, half against the bot) on one ``varno-serve``
process, and then through HAProxy on a cluster of this machine (PostgreSQL, Redis, three
nodes, two bot workers, as ``make cluster`` starts it, under ``build/bench-cluster/`` on
ports of its own), one after the other; the figures side by side.

Lost moves are counted after a restart in both: the one process is stopped and started
again on its database, the cluster's nodes and workers are stopped and started again.

    python bench/serve/bench_cluster.py [--clients 100] [--seconds 60] [--depth 8]
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
from pathlib import Path

import bench_serve

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from cluster_services import Cluster, free_port  # type: ignore[import-not-found]  # noqa: E402

FOLDER = REPO / "build" / "bench-cluster"
# The cluster's targets on two cores (it is not expected to be faster than one process).
ACK_MS, PUSH_MS, BOT_MS = 100.0, 100.0, 1500.0


def on_cluster(args: argparse.Namespace) -> bench_serve.Figures:
    shutil.rmtree(FOLDER, ignore_errors=True)
    cluster = Cluster(FOLDER, free_port(), limits=bench_serve.RAISED_LIMITS)
    try:
        cluster.start()

        def restart() -> None:
            for part in (*cluster.nodes, *cluster.workers):
                part.stop()
            cluster.start()

        return bench_serve.on_url(args, cluster.url, restart)
    finally:
        cluster.stop()


def main() -> int:
    args = bench_serve.parser().parse_args()
    single = bench_serve.on_one_process(args)
    print(f"one process: done ({single.moves} moves)", flush=True)
    clustered = on_cluster(args)
    print(f"\nvarno-serve under load on loopback: {args.clients} clients for {args.seconds:g} s "
          f"each, half against the bot at depth {args.depth}, think time "
          f"{0.5 * args.think:.1f}-{1.5 * args.think:.1f} s")
    width = max(len(text) for _, text in single.lines()) + 2
    print(f"  {'':14}{'one process (SQLite, ' + str(args.bot_workers) + ' bot worker)':{width}}"
          "cluster (HAProxy, 3 nodes, PostgreSQL, Redis, 2 workers)")
    for (name, one), (_, many) in zip(single.lines(), clustered.lines(), strict=True):
        print(f"  {name + ':':14}{one:{width}}{many}")
    print(f"  machine:      {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} at the end")
    print("  cluster targets: " + ", ".join(
        f"{name}: {'met' if ok else 'MISSED'}"
        for name, ok in clustered.targets(ACK_MS, PUSH_MS, BOT_MS)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
