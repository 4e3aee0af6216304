"""Shortlist recall of the table ranker on the Spider schemas.

All 166 Spider schemas are loaded into ONE PostgreSQL database (``zorvan_bench_spider``),
each table named ``<db_id>__<table>`` with its columns, types, primary and foreign keys.
The ranker indexes that database from one catalogue read; then, for every training
question, we check whether every table its gold query reads is in the shortlist.

    PYTHONPATH=build/dev/python .venv/bin/python benchmarks/spider_shortlist.py

The data is read from ZORVAN_SPIDER_DIR (default: ../shared/data/spider beside the repository).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import sqlglot
from sqlglot import exp

sys.path.insert(0, str(Path(__file__).resolve().parent))
import servers  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DATABASE = servers.PREFIX + "spider"
RECALL_AT = (10, 30, 60)
LOADER_VERSION = "1"

SQL_TYPES = {"text": "text", "number": "numeric", "time": "timestamp", "boolean": "boolean", "others": "text"}


class DataMissing(RuntimeError):
    pass


def data_dir() -> Path:
    """ZORVAN_SPIDER_DIR, else ../shared/data/spider beside the repository, else data/spider in it."""
    if os.environ.get("ZORVAN_SPIDER_DIR"):
        candidates = [Path(os.environ["ZORVAN_SPIDER_DIR"])]
    else:
        candidates = [REPO.parent / "shared" / "data" / "spider", REPO / "data" / "spider"]
    for candidate in candidates:
        if (candidate / "tables.json").exists() and (candidate / "train_spider.json").exists():
            return candidate
    raise DataMissing("Spider data (tables.json, train_spider.json) not found in "
                      + " or ".join(str(c) for c in candidates) + "; set ZORVAN_SPIDER_DIR")


def table_name(db_id: str, table: str) -> str:
    return f"{db_id}__{table}"


# -- loading ----------------------------------------------------------------
@dataclass
class LoadReport:
    tables: int = 0
    columns: int = 0
    foreign_keys: int = 0
    skipped_foreign_keys: list[str] = field(default_factory=list)


def schema_statements(schema: dict, report: LoadReport) -> tuple[list[str], list[tuple[str, str]]]:
    """CREATE TABLE statements of one Spider database, then its foreign keys as
    (description, ALTER TABLE statement) pairs."""
    q = servers.postgres().quote
    db_id = schema["db_id"]
    tables = schema["table_names_original"]
    columns = schema["column_names_original"]
    types = [SQL_TYPES.get(t, "text") for t in schema["column_types"]]
    # A referencing column takes its referenced column's type (there is no data, and
    # PostgreSQL refuses a key between text and numeric columns).
    for source, target in schema["foreign_keys"]:
        types[source] = types[target]
    primary = {columns[c][0]: c for c in schema["primary_keys"]}
    referenced = {target for _, target in schema["foreign_keys"]}

    statements = []
    for index, table in enumerate(tables):
        parts = [f"{q(name)} {types[c]}" for c, (owner, name) in enumerate(columns) if owner == index]
        if index in primary:
            parts.append(f"PRIMARY KEY ({q(columns[primary[index]][1])})")
        # A foreign key needs a unique target.
        for c in sorted(referenced):
            if columns[c][0] == index and primary.get(index) != c:
                parts.append(f"UNIQUE ({q(columns[c][1])})")
        statements.append(f"CREATE TABLE {q(table_name(db_id, table))} ({', '.join(parts)})")
        report.tables += 1
        report.columns += sum(1 for owner, _ in columns if owner == index)

    keys = []
    for source, target in schema["foreign_keys"]:
        (s_table, s_col), (t_table, t_col) = columns[source], columns[target]
        what = f"{db_id}: {tables[s_table]}.{s_col} -> {tables[t_table]}.{t_col}"
        keys.append((what, f"ALTER TABLE {q(table_name(db_id, tables[s_table]))} ADD FOREIGN KEY ({q(s_col)}) "
                           f"REFERENCES {q(table_name(db_id, tables[t_table]))} ({q(t_col)})"))
    return statements, keys


def load_schemas(server: servers.Server, database: str, schemas: list[dict]) -> LoadReport:
    report = LoadReport()
    conn = server.connect(database)
    try:
        with conn.cursor() as cur:
            all_keys = []
            for schema in schemas:
                statements, keys = schema_statements(schema, report)
                for statement in statements:
                    cur.execute(statement)
                all_keys.extend(keys)
            for what, statement in all_keys:
                try:
                    cur.execute(statement)
                    report.foreign_keys += 1
                except Exception as error:  # a key Spider declares but no server could hold
                    report.skipped_foreign_keys.append(f"{what}: {str(error).splitlines()[0]}")
    finally:
        conn.close()
    return report


def ensure_spider_database(server: servers.Server, schemas: list[dict], raw: bytes) -> bool:
    fingerprint = "spider:" + LOADER_VERSION + ":" + hashlib.sha256(raw).hexdigest()[:16]

    def build(srv, database):
        report = load_schemas(srv, database, schemas)
        print(f"loaded {report.tables} tables, {report.columns} columns, {report.foreign_keys} foreign keys "
              f"into {database}" + (f" ({len(report.skipped_foreign_keys)} keys refused)" if
                                    report.skipped_foreign_keys else ""), file=sys.stderr)
        for line in report.skipped_foreign_keys:
            print("  refused:", line, file=sys.stderr)

    return server.ensure(DATABASE, fingerprint, build)


# -- gold tables ------------------------------------------------------------
def gold_tables(query: str, db_id: str, by_lower: dict[str, str]) -> set[str] | None:
    """The loaded names of the tables the gold query reads, or None when one cannot be mapped."""
    try:
        trees = sqlglot.parse(query, read="sqlite")
    except sqlglot.errors.ParseError:
        return None
    names = set()
    for tree in trees:
        if tree is None:
            continue
        ctes = {cte.alias_or_name.lower() for cte in tree.find_all(exp.CTE)}
        for table in tree.find_all(exp.Table):
            name = table.name.lower()
            if not name or name in ctes:
                continue
            loaded = by_lower.get(table_name(db_id, name).lower())
            if loaded is None:
                return None
            names.add(loaded)
    return names or None


@dataclass
class Question:
    text: str
    gold: set[str]


def training_questions(directory: Path, loaded: list[str]) -> tuple[list[Question], int]:
    by_lower = {name.lower(): name for name in loaded}
    questions, unmapped = [], 0
    for item in json.loads((directory / "train_spider.json").read_text()):
        gold = gold_tables(item["query"], item["db_id"], by_lower)
        if gold is None:
            unmapped += 1
            continue
        questions.append(Question(item["question"], gold))
    return questions, unmapped


# -- measuring --------------------------------------------------------------
@dataclass
class RecallResult:
    questions: int
    unmapped: int
    tables: int
    recall: dict[int, float]
    ms_median: float
    ms_p95: float
    ms_max: float
    index_seconds: float


def measure(ranker, questions: list[Question], unmapped: int, index_seconds: float) -> RecallResult:
    hits = {k: 0 for k in RECALL_AT}
    durations = []
    top = max(RECALL_AT)
    for question in questions:
        started = time.perf_counter()
        shortlist = ranker.rank(question.text, top)
        durations.append(time.perf_counter() - started)
        for k in RECALL_AT:
            if question.gold <= set(shortlist[:k]):
                hits[k] += 1
    durations.sort()
    return RecallResult(
        questions=len(questions), unmapped=unmapped, tables=len(ranker),
        recall={k: hits[k] / len(questions) for k in RECALL_AT},
        ms_median=statistics.median(durations) * 1000,
        ms_p95=durations[int(len(durations) * 0.95)] * 1000,
        ms_max=durations[-1] * 1000, index_seconds=index_seconds)


def build_ranker(server: servers.Server, **options):
    """The ranker over the Spider database, indexed from one catalogue read; and the seconds it took."""
    import sqlalchemy
    from zorvanai.function_calling.base import TableRanker

    engine = sqlalchemy.create_engine(server.url(DATABASE), connect_args={"connect_timeout": 10})
    try:
        started = time.perf_counter()
        ranker = TableRanker.from_engine(engine, **options)
        return ranker, time.perf_counter() - started
    finally:
        engine.dispose()


def run(options: dict | None = None, quiet: bool = False) -> RecallResult:
    directory = data_dir()
    raw = (directory / "tables.json").read_bytes()
    schemas = json.loads(raw)
    server = servers.postgres()
    ensure_spider_database(server, schemas, raw)
    ranker, index_seconds = build_ranker(server, **(options or {}))
    questions, unmapped = training_questions(directory, list(ranker.tables))
    result = measure(ranker, questions, unmapped, index_seconds)
    if not quiet:
        print(format_result(result))
    return result


def format_result(result: RecallResult) -> str:
    recall = ", ".join(f"@{k} {result.recall[k]:.4f}" for k in RECALL_AT)
    return (f"{result.questions} training questions ({result.unmapped} gold queries not mappable), "
            f"{result.tables} tables: recall {recall}; one ranking {result.ms_median:.3f} ms median, "
            f"{result.ms_p95:.3f} ms p95, {result.ms_max:.3f} ms max; index built in "
            f"{result.index_seconds * 1000:.0f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                        help="a ranker option, e.g. foreign_key_lift=0.4 (repeatable)")
    args = parser.parse_args()
    options = {}
    for item in args.option:
        name, value = item.split("=", 1)
        options[name] = int(value) if value.isdigit() else float(value)
    run(options)


if __name__ == "__main__":
    main()
