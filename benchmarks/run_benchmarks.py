"""Large-database benchmarks: our database handle and table shortlist against LangChain's stock SQLDatabase.

Run from the repository root after building (it builds its own data on the local servers):

    scripts/dev-build && PYTHONPATH=build/dev/python .venv/bin/python benchmarks/run_benchmarks.py

Measures, on PostgreSQL and MariaDB (medians over --runs runs, each in a fresh process):
  discovery  make the handle, list the tables, read the definitions of 5 tables, on 2,000 tables of 12 columns
  rows       `run` of a query returning 1,000,000 rows: time, then peak memory growth in another process
  graph      one whole question through SQLGraph.invoke on a 20-table database, the model stand-in
             answering at once: the time outside the model and its split by code, database and libraries
  bigvalues  `run` of 8 rows whose value is 50 MiB (MariaDB: 15 MiB): peak memory growth
and, with the Spider data (ZORVAN_SPIDER_DIR, default ../shared/data/spider): on PostgreSQL the
shortlist recall on the training questions (shortlist), and on both servers the false refusals of
the query check on the training gold queries that the server runs (guard); and what
`zorvanai eval` adds to the question runs it measures, beside run_agent alone (eval; see
eval_overhead.py).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import datasets  # noqa: E402
import servers  # noqa: E402

IMPLS = ("ours", "stock")
CHILD_TIMEOUT = 900  # seconds for one measurement process


def server_named(kind: str) -> servers.Server:
    return servers.postgres() if kind == "postgresql" else servers.mariadb()


def handle_class(impl: str):
    if impl == "ours":
        from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
        return CustomSQLDatabase
    from langchain_community.utilities import SQLDatabase
    return SQLDatabase


# -- measurements, each run in a fresh process ------------------------------------
def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak_rss() -> bool:
    """Resets the kernel's peak-RSS mark of this process (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def warm_driver(kind: str) -> None:
    """Loads the driver and SQLAlchemy's dialect by connecting once to the server's own system
    database, so that the clock measures the work for the benchmark database, not imports."""
    import sqlalchemy

    engine = sqlalchemy.create_engine(server_named(kind).url("postgres" if kind == "postgresql" else "mysql"))
    try:
        with engine.connect() as conn:
            conn.exec_driver_sql("SELECT 1").fetchall()
    finally:
        engine.dispose()


def measure_discovery(kind: str, impl: str) -> dict:
    cls = handle_class(impl)
    url = server_named(kind).url(datasets.DISCOVERY_DB)
    warm_driver(kind)
    started = time.perf_counter()
    db = cls.from_uri(url)
    names = db.get_usable_table_names()
    info = db.get_table_info(datasets.DISCOVERY_READ)
    seconds = time.perf_counter() - started
    assert len(list(names)) == datasets.DISCOVERY_TABLES, len(list(names))
    assert all(name in info for name in datasets.DISCOVERY_READ)
    return {"seconds": seconds}


def measure_rows(kind: str, impl: str, traced: bool, database: str = datasets.ROWS_DB,
                 query: str = datasets.ROWS_QUERY) -> dict:
    """Time and peak RSS growth of one `run`; with `traced`, the peak of Python's own
    allocations instead (tracemalloc slows the run several-fold, so not timed)."""
    import tracemalloc

    cls = handle_class(impl)
    db = cls.from_uri(server_named(kind).url(database))
    db.run("SELECT 1")  # the connection is open before the clock starts
    gc.collect()
    if traced:
        tracemalloc.start()
    exact_peak = reset_peak_rss()
    before = rss_bytes()
    started = time.perf_counter()
    out = db.run(query)
    seconds = time.perf_counter() - started
    if traced:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return {"traced_peak": peak, "chars": len(out)}
    return {"seconds": seconds, "chars": len(out), "rss_growth": max(0, peak_rss_bytes() - before),
            "exact_peak": exact_peak}


def run_child(job: dict) -> dict:
    what = job["what"]
    if what == "discovery":
        return measure_discovery(job["server"], job["impl"])
    if what == "rows":
        return measure_rows(job["server"], job["impl"], job["traced"])
    if what == "bigvalues":
        return measure_rows(job["server"], job["impl"], False, datasets.BIG_VALUES_DB, datasets.BIG_VALUES_QUERY)
    if what == "graph":
        import graph_profile
        return graph_profile.measure(job["server"], job["runs"])
    if what == "graph_profile":
        import graph_profile
        return graph_profile.profile_split(job["server"])
    raise ValueError(what)


def spawn(job: dict, timeout: float = CHILD_TIMEOUT) -> dict:
    """Runs one measurement in a fresh interpreter and returns its figures (the last line it prints)."""
    done = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(job)],
                          capture_output=True, text=True, timeout=timeout, env=os.environ.copy())
    if done.returncode != 0:
        raise RuntimeError(f"measurement {job} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# -- reporting --------------------------------------------------------------------
def median(values):
    return statistics.median(values) if values else float("nan")


def fmt_seconds(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1000:.1f} ms"


def fmt_bytes(count: float) -> str:
    return f"{count / 1e6:.1f} MB"


class Table:
    def __init__(self, header):
        self.header = header
        self.rows = []

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def render(self) -> str:
        widths = [max(len(r[i]) for r in [self.header] + self.rows) for i in range(len(self.header))]
        line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
        rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
        return "\n".join([line(self.header), rule] + [line(r) for r in self.rows])


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def bench_discovery(kind: str, runs: int, table: Table) -> None:
    figures = {impl: [] for impl in IMPLS}
    for i in range(runs):
        for impl in IMPLS:
            figures[impl].append(spawn({"what": "discovery", "server": kind, "impl": impl})["seconds"])
        log(f"  discovery run {i + 1}/{runs}: ours {fmt_seconds(figures['ours'][-1])}, "
            f"stock {fmt_seconds(figures['stock'][-1])}")
    ours, stock = median(figures["ours"]), median(figures["stock"])
    table.add(server_named(kind).label, "discovery: handle + table list + 5 definitions (2,000 tables)",
              fmt_seconds(ours), fmt_seconds(stock), f"{stock / ours:.0f}x faster", "≥ 50x")


def bench_rows(kind: str, runs: int, traced: bool, table: Table) -> None:
    times = {impl: [] for impl in IMPLS}
    rss = {impl: [] for impl in IMPLS}
    for i in range(runs):
        for impl in IMPLS:
            figures = spawn({"what": "rows", "server": kind, "impl": impl, "traced": False})
            times[impl].append(figures["seconds"])
            rss[impl].append(figures["rss_growth"])
        log(f"  rows run {i + 1}/{runs}: ours {fmt_seconds(times['ours'][-1])} "
            f"(+{fmt_bytes(rss['ours'][-1])} RSS), stock {fmt_seconds(times['stock'][-1])} "
            f"(+{fmt_bytes(rss['stock'][-1])} RSS)")
    label = server_named(kind).label
    ours, stock = median(times["ours"]), median(times["stock"])
    table.add(label, "run: 1,000,000-row query, time", fmt_seconds(ours), fmt_seconds(stock),
              f"{stock / ours:.0f}x faster", "≥ 10x")
    table.add(label, "run: 1,000,000-row query, peak RSS growth", fmt_bytes(median(rss["ours"])),
              fmt_bytes(median(rss["stock"])), f"{median(rss['stock']) / max(median(rss['ours']), 1):.0f}x less",
              "< 50 MB")
    if traced:
        log("  rows: Python allocations (tracemalloc, one run each)")
        peaks = {impl: spawn({"what": "rows", "server": kind, "impl": impl, "traced": True})["traced_peak"]
                 for impl in IMPLS}
        table.add(label, "run: 1,000,000-row query, peak Python allocations (1 run)", fmt_bytes(peaks["ours"]),
                  fmt_bytes(peaks["stock"]), f"{peaks['stock'] / max(peaks['ours'], 1):.0f}x less", "")


def bench_big_values(kind: str, runs: int, table: Table) -> None:
    rss = {impl: [] for impl in IMPLS}
    for i in range(runs):
        for impl in IMPLS:
            figures = spawn({"what": "bigvalues", "server": kind, "impl": impl})
            rss[impl].append(figures["rss_growth"])
        log(f"  big values run {i + 1}/{runs}: ours +{fmt_bytes(rss['ours'][-1])} RSS, "
            f"stock +{fmt_bytes(rss['stock'][-1])} RSS")
    server = server_named(kind)
    ours, stock = median(rss["ours"]), median(rss["stock"])
    table.add(server.label, f"run: {datasets.BIG_VALUES_ROWS} rows of {datasets.big_value_mib(server)} MiB, "
              "peak RSS growth", fmt_bytes(ours), fmt_bytes(stock), f"{stock / max(ours, 1):.0f}x less", "< 50 MB")


def bench_guard(kinds: list[str], table: Table) -> None:
    import spider_guard

    try:
        outcomes = spider_guard.run(kinds, quiet=True)
    except spider_guard.spider_shortlist.DataMissing as missing:
        log(f"  guard skipped: {missing}")
        table.add("guard skipped", str(missing), "", "")
        return
    for kind, outcome in outcomes.items():
        rate = outcome.passed / outcome.accepted * 100 if outcome.accepted else float("nan")
        table.add(server_named(kind).label, f"{outcome.passed} of {outcome.accepted} ({rate:.2f}%)",
                  "100%", f"{outcome.ran} run by the handle; {outcome.queries} gold queries in all")
        for line in spider_guard.format_outcome(server_named(kind).label, outcome).splitlines()[1:]:
            log(line)


def bench_graph(kind: str, runs: int, profile: bool, table: Table) -> None:
    label = server_named(kind).label
    seen = spawn({"what": "graph", "server": kind, "runs": runs})
    total = seen["total"]
    share = lambda part: f"{part / total * 100:.0f}% of the question"  # noqa: E731
    table.add(label, "whole question (10 nodes, 5 model calls)", fmt_seconds(total), "100%")
    table.add(label, "  model calls (client + stand-in)", fmt_seconds(seen["model"]), share(seen["model"]))
    table.add(label, "  outside the model", fmt_seconds(seen["outside"]), share(seen["outside"]))
    table.add(label, f"    database ({seen['statements']:.0f} SQL statements)", fmt_seconds(seen["database"]),
              share(seen["database"]))
    table.add(label, "    graph engine between nodes (LangGraph)", fmt_seconds(seen["graph engine"]),
              share(seen["graph engine"]))
    table.add(label, "    nodes' own work (our code and the libraries it calls)", fmt_seconds(seen["node work"]),
              share(seen["node work"]))
    if not profile:
        return
    try:
        split = spawn({"what": "graph_profile", "server": kind}, timeout=120)
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        reason = "did not finish" if isinstance(error, subprocess.TimeoutExpired) else "failed"
        log(f"  the profiled question {reason}; no split by module")
        table.add(label, "    split by module (cProfile)", "unavailable", f"the profiled run {reason}")
        return
    groups = split["groups"]
    profiled = sum(v for k, v in groups.items() if not k.startswith("model exchange"))
    for name, seconds in sorted(groups.items(), key=lambda kv: -kv[1]):
        if name.startswith("model exchange") or seconds < 0.0005:
            continue
        table.add(label, f"      {name}", f"{seconds / profiled * 100:.1f}%", "of the profiled node work")


def bench_shortlist(table: Table) -> None:
    import spider_shortlist

    try:
        result = spider_shortlist.run(quiet=True)
    except spider_shortlist.DataMissing as missing:
        log(f"  shortlist skipped: {missing}")
        table.add("shortlist skipped", str(missing), "", "")
        return
    for k in spider_shortlist.RECALL_AT:
        target = "≥ 0.97" if k == 60 else ""
        table.add(f"recall at K = {k}", f"{result.recall[k]:.4f}", target,
                  f"{result.questions} training questions")
    table.add("one ranking (median / p95 / max)",
              f"{result.ms_median:.3f} / {result.ms_p95:.3f} / {result.ms_max:.3f} ms", "< 5 ms",
              f"{result.tables} tables, through the Python binding")
    table.add("index built from one catalogue read", f"{result.index_seconds * 1000:.0f} ms", "", "")


def bench_eval(runs: int, table: Table) -> None:
    import eval_overhead

    result = eval_overhead.run(max(runs, 15), log=log)
    n = result["questions"]
    for side, label in (("baseline", "run_agent alone"), ("eval", "zorvanai eval")):
        figures = result[side]
        table.add(label, f"{figures['seconds'] / n * 1000:.0f} ms wall, {figures['cpu'] / n * 1000:.0f} ms processor",
                  fmt_bytes(figures["peak_rss"]), "")
    table.add("overhead of eval", f"{result['overhead_seconds'] * 100:.1f}% wall, "
              f"{result['overhead_cpu'] * 100:.1f}% processor", "", "< 5%")


def main() -> None:
    parser = argparse.ArgumentParser(description="Large-database benchmarks (see the module text).")
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement (default 5)")
    parser.add_argument("--servers", default="postgresql,mariadb", help="postgresql,mariadb")
    parser.add_argument("--only", default="discovery,rows,graph,bigvalues,shortlist,guard,eval",
                        help="comma-separated subset of discovery,rows,graph,bigvalues,shortlist,guard,eval")
    parser.add_argument("--no-tracemalloc", action="store_true",
                        help="skip the (slow) Python-allocation peak of the million-row run")
    parser.add_argument("--profile", action="store_true",
                        help="also split the graph question's node work by module under cProfile")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(run_child(json.loads(args.child))))
        return

    parts = set(args.only.split(","))
    kinds = [k for k in args.servers.split(",") if k]
    needed = {"discovery": datasets.DISCOVERY_DB, "rows": datasets.ROWS_DB, "graph": datasets.GRAPH_DB,
              "bigvalues": datasets.BIG_VALUES_DB}
    for kind in kinds:
        for part, database in needed.items():
            if part in parts:
                datasets.ensure(server_named(kind), database, log=log)

    started = time.perf_counter()
    handle = Table(["server", "measure", "ours", "stock SQLDatabase", "ratio", "target"])
    question = Table(["server", "one question through SQLGraph.invoke (the run of median time)", "time", "share"])
    shortlist = Table(["table shortlist (Spider, PostgreSQL)", "measured", "target", "over"])
    guard = Table(["query check on Spider train gold queries", "passed of those the server runs", "target", "over"])
    evaluation = Table(["zorvanai eval, bundled set, stand-in answering at once", "a question", "peak RSS",
                        "target"])
    for kind in kinds:
        if "discovery" in parts:
            log(f"{server_named(kind).label}: discovery")
            bench_discovery(kind, args.runs, handle)
        if "rows" in parts:
            log(f"{server_named(kind).label}: million-row run")
            bench_rows(kind, args.runs, not args.no_tracemalloc, handle)
        if "graph" in parts:
            log(f"{server_named(kind).label}: one question through the graph")
            bench_graph(kind, args.runs, args.profile, question)
        if "bigvalues" in parts:
            log(f"{server_named(kind).label}: big values")
            bench_big_values(kind, args.runs, handle)
    if "shortlist" in parts and "postgresql" in kinds:
        log("PostgreSQL: shortlist recall on Spider")
        bench_shortlist(shortlist)
    if "guard" in parts:
        log("query check: false refusals on Spider")
        bench_guard(kinds, guard)
    if "eval" in parts:
        log("zorvanai eval: overhead beside run_agent")
        bench_eval(args.runs, evaluation)
    for table in (handle, question, shortlist, guard, evaluation):
        if table.rows:
            print(table.render())
            print()
    print(f"medians over {args.runs} runs; benchmark took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
