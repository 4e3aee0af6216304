"""False refusals of the query check, measured on the Spider training queries.

Empty copies of the Spider schemas that the training set uses are loaded into the local
servers: on PostgreSQL one schema per Spider database in ``zorvan_bench_spider_guard``, on
MariaDB one database ``zorvan_bench_sg_<db_id>`` each (built once, then reused). Every gold
query runs first on the server itself; for each one the server accepts, the database handle
(``CustomSQLDatabase``, connected as the benchmark's login) must run it too: a refusal by the
query check is a false refusal, any other failure is a failure of the handle.

    PYTHONPATH=build/dev/python .venv/bin/python benchmarks/spider_guard.py [--servers postgresql,mariadb]

The data is read from ZORVAN_SPIDER_DIR (default: ../shared/data/spider beside the repository).
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import json
import logging
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import servers  # noqa: E402
import spider_shortlist  # noqa: E402

PG_DATABASE = servers.PREFIX + "spider_guard"
MARIA_PREFIX = servers.PREFIX + "sg_"
LOADER_VERSION = "2"
STATEMENT_SECONDS = 10

PG_TYPES = {"text": "text", "number": "numeric", "time": "timestamp", "boolean": "boolean", "others": "text"}
MARIA_TYPES = {"text": "VARCHAR(190)", "number": "DOUBLE", "time": "DATETIME", "boolean": "BOOLEAN",
               "others": "VARCHAR(190)"}


def create_statements(server: servers.Server, schema: dict, prefix: str, spellings: dict[str, set[str]]) -> list[str]:
    """CREATE TABLE statements of one Spider database (columns, types, primary keys). PostgreSQL
    folds the queries' unquoted names; MariaDB compares table names by case here, so each table is
    made under every spelling the queries use (columns ignore case there)."""
    types = PG_TYPES if server.is_postgres else MARIA_TYPES
    fold = str.lower if server.is_postgres else str
    columns = schema["column_names_original"]
    statements = []
    for index, table in enumerate(schema["table_names_original"]):
        parts = [f"{server.quote(fold(name))} {types[schema['column_types'][c]]}"
                 for c, (owner, name) in enumerate(columns) if owner == index]
        keys = [server.quote(fold(columns[c][1])) for c in schema["primary_keys"] if columns[c][0] == index]
        if keys:
            parts.append(f"PRIMARY KEY ({', '.join(keys)})")
        names = {table.lower()} if server.is_postgres else {table} | spellings.get(table.lower(), set())
        for name in sorted(names):
            statements.append(f"CREATE TABLE {prefix}{server.quote(name)} ({', '.join(parts)})")
    return statements


def table_spellings(items: list[dict]) -> dict[str, dict[str, set[str]]]:
    """db_id -> lower-case table name -> the spellings the gold queries use."""
    import sqlglot
    from sqlglot import exp

    spellings = collections.defaultdict(lambda: collections.defaultdict(set))
    for item in items:
        try:
            trees = sqlglot.parse(item["query"], read="mysql")
        except sqlglot.errors.SqlglotError:
            continue
        for tree in trees:
            for table in tree.find_all(exp.Table) if tree else ():
                if table.name:
                    spellings[item["db_id"]][table.name.lower()].add(table.name)
    return spellings


def fingerprint(schema_text: bytes) -> str:
    return "spider-guard:" + LOADER_VERSION + ":" + hashlib.sha256(schema_text).hexdigest()[:16]


def ensure_postgres(server: servers.Server, schemas: list[dict], raw: bytes) -> None:
    def build(srv, database):
        conn = srv.connect(database)
        try:
            with conn.cursor() as cur:
                for schema in schemas:
                    name = srv.quote(schema["db_id"].lower())
                    cur.execute(f"CREATE SCHEMA {name}")
                    for statement in create_statements(srv, schema, name + ".", {}):
                        cur.execute(statement)
        finally:
            conn.close()

    if server.ensure(PG_DATABASE, fingerprint(raw), build):
        print(f"loaded {len(schemas)} Spider schemas into {PG_DATABASE}", file=sys.stderr)


def ensure_mariadb(server: servers.Server, schemas: list[dict], items: list[dict]) -> None:
    built = 0
    spellings = table_spellings(items)
    for schema in schemas:
        database = MARIA_PREFIX + schema["db_id"].lower()
        used = {table: sorted(names) for table, names in spellings[schema["db_id"]].items()}

        def build(srv, name, schema=schema, used=used):
            conn = srv.connect(name)
            try:
                with conn.cursor() as cur:
                    for statement in create_statements(srv, schema, "", {k: set(v) for k, v in used.items()}):
                        cur.execute(statement)
            finally:
                conn.close()

        recipe = json.dumps([schema, used], sort_keys=True).encode()
        built += server.ensure(database, fingerprint(recipe), build)
    if built:
        print(f"loaded {built} Spider schemas into {MARIA_PREFIX}* databases", file=sys.stderr)


@dataclass
class Outcome:
    queries: int = 0
    accepted: int = 0
    passed: int = 0
    ran: int = 0
    refusals: list[tuple[str, str, str]] = field(default_factory=list)
    failures: list[tuple[str, str, str]] = field(default_factory=list)
    seconds: float = 0.0


class ServerRunner:
    """Runs a query on the server itself, in the Spider database's schema, in a rolled-back transaction
    (one connection for all of them)."""

    def __init__(self, server: servers.Server):
        self.server = server
        self.conn = server.connect(PG_DATABASE if server.is_postgres else None)
        self.conn.autocommit = False

    def use(self, db_id: str) -> None:
        if not self.server.is_postgres:
            with self.conn.cursor() as cur:
                cur.execute(f"USE {self.server.quote(MARIA_PREFIX + db_id.lower())}")
                cur.execute(f"SET SESSION max_statement_time = {STATEMENT_SECONDS}")

    def accepts(self, db_id: str, query: str) -> bool:
        try:
            with self.conn.cursor() as cur:
                if self.server.is_postgres:
                    cur.execute(f"SET LOCAL search_path TO {self.server.quote(db_id.lower())}")
                    cur.execute(f"SET LOCAL statement_timeout = {STATEMENT_SECONDS * 1000}")
                cur.execute(query)
                cur.fetchall()
            return True
        except Exception:  # noqa: BLE001 - the server's refusal is what is measured
            return False
        finally:
            self.conn.rollback()

    def close(self) -> None:
        self.conn.close()


def handle_for(server: servers.Server, db_id: str, engines: dict):
    import sqlalchemy
    from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

    if server.is_postgres:
        if "pg" not in engines:
            engines["pg"] = sqlalchemy.create_engine(server.url(PG_DATABASE))
        return CustomSQLDatabase(engines["pg"], schema=db_id.lower(), sample_rows_in_table_info=0)
    return CustomSQLDatabase.from_uri(server.url(MARIA_PREFIX + db_id.lower()), sample_rows_in_table_info=0)


def measure(server: servers.Server, items: list[dict]) -> Outcome:
    from zorvanai.qa_graph.custom_sql import ReadOnlyQueryError

    logging.getLogger("zorvanai.qa_graph.custom_sql").setLevel(logging.ERROR)  # the admin login is expected
    outcome = Outcome()
    runner = ServerRunner(server)
    engines = {}
    by_database = collections.defaultdict(list)
    for item in items:
        by_database[item["db_id"]].append(item["query"])
    started = time.perf_counter()
    try:
        for db_id, queries in by_database.items():
            runner.use(db_id)
            handle = None
            for query in queries:
                outcome.queries += 1
                if not runner.accepts(db_id, query):
                    continue
                outcome.accepted += 1
                handle = handle or handle_for(server, db_id, engines)
                try:
                    handle.run(query)
                    outcome.passed += 1
                    outcome.ran += 1
                except ReadOnlyQueryError as refusal:
                    outcome.refusals.append((db_id, query, str(refusal)))
                except Exception as error:  # noqa: BLE001 - a failure of the handle, reported
                    outcome.passed += 1
                    outcome.failures.append((db_id, query, str(error).splitlines()[0]))
            if handle is not None and not server.is_postgres:
                handle._engine.dispose()
    finally:
        runner.close()
        for engine in engines.values():
            engine.dispose()
    outcome.seconds = time.perf_counter() - started
    return outcome


def run(kinds: list[str], quiet: bool = False) -> dict[str, Outcome]:
    directory = spider_shortlist.data_dir()
    raw = (directory / "tables.json").read_bytes()
    items = json.loads((directory / "train_spider.json").read_text())
    used = {item["db_id"] for item in items}
    schemas = [schema for schema in json.loads(raw) if schema["db_id"] in used]
    outcomes = {}
    for kind in kinds:
        server = servers.postgres() if kind == "postgresql" else servers.mariadb()
        if server.is_postgres:
            ensure_postgres(server, schemas, raw)
        else:
            ensure_mariadb(server, schemas, items)
        outcomes[kind] = measure(server, items)
        if not quiet:
            print(format_outcome(server.label, outcomes[kind]))
    return outcomes


def format_outcome(label: str, outcome: Outcome, examples: int = 5) -> str:
    rate = outcome.passed / outcome.accepted * 100 if outcome.accepted else float("nan")
    lines = [f"{label}: {outcome.queries} gold queries, {outcome.accepted} accepted by the server; "
             f"the query check passed {outcome.passed} ({rate:.2f}%), the handle ran {outcome.ran} "
             f"({outcome.seconds:.0f} s)"]
    reasons = collections.Counter(text.split(":", 1)[1].split(".")[0] for _, _, text in outcome.refusals)
    for reason, count in reasons.most_common(examples):
        lines.append(f"  refused {count}x:{reason}")
    for db_id, query, text in outcome.refusals[:examples]:
        lines.append(f"  false refusal [{db_id}] {query}\n    {text}")
    for db_id, query, text in outcome.failures[:examples]:
        lines.append(f"  handle failed [{db_id}] {query}\n    {text}")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--servers", default="postgresql,mariadb", help="postgresql,mariadb")
    args = parser.parse_args()
    run([kind for kind in args.servers.split(",") if kind])


if __name__ == "__main__":
    main()
