#!/usr/bin/env python3
"""``make cluster`` and ``make cluster-stop``: a whole cluster on this machine, on
loopback, its files under ``build/cluster/``: PostgreSQL and Redis (Debian's packages),
three ``varno-serve`` nodes (``--store`` PostgreSQL, ``--events`` and ``--queue`` Redis),
two ``varno-bot-worker`` processes and HAProxy in front on ``--port`` (8000).

    tools/cluster.py start [--port 8000] [--folder build/cluster] [--limit NAME=VALUE]...
    tools/cluster.py stop [--folder build/cluster]

``start`` starts the parts that are not running (those that are, as
``build/cluster/cluster.json`` names them, are left as they are), returns once every
part answers, and writes ``cluster.json``: ``{"url", "nodes": [{"url", "pid"}],
"workers": [{"pid"}], "postgres": {"pid", "dsn"}, "redis": {"pid", "url"}, "haproxy":
{"pid"}}``. ``stop`` stops them all by pid. Run with the interpreter of the virtual
environment that has the package and its extra ``cluster`` (the nodes and workers are
started with it).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from cluster_services import Cluster

REPO = Path(__file__).resolve().parents[1]


def _limit(text: str) -> tuple[str, float]:
    name, sep, value = text.partition("=")
    try:
        return name, float(value) if sep else float("nan")
    except ValueError:
        raise argparse.ArgumentTypeError(f"not NAME=NUMBER: {text!r}") from None


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="cluster", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["start", "stop"])
    parser.add_argument("--folder", type=Path, default=REPO / "build" / "cluster")
    parser.add_argument("--port", type=int, default=8000, help="HAProxy's port (default 8000)")
    parser.add_argument("--nodes", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--limit", type=_limit, action="append", default=[],
                        metavar="NAME=VALUE", help="a limit of the nodes (repeatable)")
    args = parser.parse_args(argv)
    cluster = Cluster(args.folder, args.port, nodes=args.nodes, workers=args.workers,
                      limits=dict(args.limit), log=lambda line: print(f"cluster: {line}"))
    if args.command == "stop":
        cluster.stop()
        print("cluster: stopped")
        return 0
    try:
        described = cluster.start()
    except (RuntimeError, OSError) as failure:
        print(f"cluster: {failure}", file=sys.stderr)
        return 1
    print(json.dumps(described, indent=2))
    print(f"cluster: ready at {described['url']}/ ({cluster.state_file})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
