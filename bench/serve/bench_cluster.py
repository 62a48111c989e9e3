"""The load of ``bench_serve.py`` (K clients, half against the bot) on one ``varno-serve``
process, and then through HAProxy on a cluster of this machine (PostgreSQL, Redis, three
nodes, two bot workers, as ``make cluster`` starts it, under ``build/bench-cluster/`` on
ports of its own), one after the other; the figures side by side.

Lost moves are counted after a restart in both: the one process is stopped and started
again on its database, the cluster's nodes and workers are stopped and started again.
Then, for the capacity model: what PostgreSQL did per move under that load (rows written,
transactions), and the moves a second one node acknowledges at most (``--saturate``
seconds of clients of rooms for two that move as soon as they can, against node 1 alone).

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


# What PostgreSQL counts of the rooms' database: transactions committed, rows written.
PG_STATS = ("SELECT xact_commit, tup_inserted + tup_updated + tup_deleted"
            " FROM pg_stat_database WHERE datname = 'varno'")


def pg_counts(cluster: Cluster) -> tuple[int, int]:
    commits, written = cluster.postgres.psql(PG_STATS).strip().split("|")
    return int(commits), int(written)


def on_cluster(args: argparse.Namespace) -> tuple[bench_serve.Figures, str, str]:
    """The load through HAProxy; what PostgreSQL did per move; one node's most moves a
    second."""
    shutil.rmtree(FOLDER, ignore_errors=True)
    cluster = Cluster(FOLDER, free_port(), limits=bench_serve.RAISED_LIMITS)
    try:
        cluster.start()
        before = pg_counts(cluster)

        def restart() -> None:
            # The nodes' and workers' statistics reach PostgreSQL as their sessions end.
            for part in (*cluster.nodes, *cluster.workers):
                part.stop()
            cluster.start()

        figures = bench_serve.on_url(args, cluster.url, restart)
        commits, written = (after - first for after, first in zip(pg_counts(cluster), before))
        database = (f"{written / figures.moves:.2f} rows written and {commits / figures.moves:.1f} "
                    f"transactions (reads included) per move, {figures.moves} moves")
        saturating = argparse.Namespace(**{**vars(args), "clients": args.saturate_clients,
                                           "seconds": args.saturate, "think": 0.0,
                                           "bot_share": 0.0})
        most = bench_serve.on_url(saturating, cluster.nodes[0].url)
        node = (f"{most.moves / most.seconds:.0f} moves/s acknowledged by node 1 alone "
                f"({saturating.clients} clients moving at once, ack p50 "
                f"{bench_serve.percentile(most.acks, 50):.1f} ms, p99 "
                f"{bench_serve.percentile(most.acks, 99):.1f} ms, {len(most.errors)} errors)")
        return figures, database, node
    finally:
        cluster.stop()


def main() -> int:
    parser = bench_serve.parser()
    parser.add_argument("--saturate", type=float, default=15.0,
                        help="seconds of the one-node saturation run (default 15)")
    parser.add_argument("--saturate-clients", type=int, default=40)
    args = parser.parse_args()
    single = bench_serve.on_one_process(args)
    print(f"one process: done ({single.moves} moves)", flush=True)
    clustered, database, node = on_cluster(args)
    print(f"\nvarno-serve under load on loopback: {args.clients} clients for {args.seconds:g} s "
          f"each, half against the bot at depth {args.depth}, think time "
          f"{0.5 * args.think:.1f}-{1.5 * args.think:.1f} s")
    width = max(len(text) for _, text in single.lines()) + 2
    print(f"  {'':14}{'one process (SQLite, ' + str(args.bot_workers) + ' bot worker)':{width}}"
          "cluster (HAProxy, 3 nodes, PostgreSQL, Redis, 2 workers)")
    for (name, one), (_, many) in zip(single.lines(), clustered.lines(), strict=True):
        print(f"  {name + ':':14}{one:{width}}{many}")
    print(f"  PostgreSQL:   {database}")
    print(f"  one node:     {node}")
    print(f"  machine:      {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} at the end")
    print("  cluster targets: " + ", ".join(
        f"{name}: {'met' if ok else 'MISSED'}"
        for name, ok in clustered.targets(ACK_MS, PUSH_MS, BOT_MS)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
