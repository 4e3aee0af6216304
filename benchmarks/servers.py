"""The local database servers the benchmarks run against, and their scratch databases.

Coordinates come from the environment (defaults: the local test servers):
ZORVAN_BENCH_PG_HOST / _PORT / _USER and ZORVAN_BENCH_MARIA_HOST / _PORT / _USER / _PASSWORD.

Benchmark databases are named ``zorvan_bench_<purpose>`` and carry a fingerprint of what
they hold (a database comment), so a second run reuses them and a changed recipe rebuilds
them; a build cut short leaves no fingerprint and is done again.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from urllib.parse import quote

import psycopg2
import pymysql

CONNECT_TIMEOUT = 10
PREFIX = "zorvan_bench_"


@dataclass(frozen=True)
class Server:
    kind: str  # "postgresql" or "mariadb"
    host: str
    port: int
    user: str
    password: str = ""

    @property
    def label(self) -> str:
        return "PostgreSQL" if self.kind == "postgresql" else "MariaDB"

    @property
    def is_postgres(self) -> bool:
        return self.kind == "postgresql"

    def url(self, database: str) -> str:
        driver = "postgresql+psycopg2" if self.is_postgres else "mysql+mysqlconnector"
        credentials = quote(self.user, safe="")
        if self.password:
            credentials += ":" + quote(self.password, safe="")
        return f"{driver}://{credentials}@{self.host}:{self.port}/{database}"

    def connect(self, database: str | None = None):
        """A driver connection in autocommit mode (psycopg2 or PyMySQL)."""
        if self.is_postgres:
            conn = psycopg2.connect(host=self.host, port=self.port, user=self.user,
                                    password=self.password or None, dbname=database or "postgres",
                                    connect_timeout=CONNECT_TIMEOUT)
            conn.autocommit = True
            return conn
        return pymysql.connect(host=self.host, port=self.port, user=self.user, password=self.password,
                               database=database, autocommit=True, connect_timeout=CONNECT_TIMEOUT,
                               read_timeout=600, write_timeout=600)

    def quote(self, name: str) -> str:
        if self.is_postgres:
            return '"' + name.replace('"', '""') + '"'
        return "`" + name.replace("`", "``") + "`"

    # -- scratch databases -------------------------------------------------
    def fingerprint(self, database: str) -> str | None:
        """The fingerprint stored with `database`, or None when it is missing or unmarked."""
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                if self.is_postgres:
                    cur.execute("SELECT shobj_description(oid, 'pg_database') FROM pg_database WHERE datname = %s",
                                (database,))
                    row = cur.fetchone()
                    return row[0] if row else None
                cur.execute("SELECT SCHEMA_COMMENT FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = %s",
                            (database,))
                row = cur.fetchone()
                return row[0] if row and row[0] else None
        finally:
            conn.close()

    def recreate(self, database: str) -> None:
        assert database.startswith(PREFIX), database
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                if self.is_postgres:
                    cur.execute(f"DROP DATABASE IF EXISTS {self.quote(database)} WITH (FORCE)")
                    cur.execute(f"CREATE DATABASE {self.quote(database)}")
                else:
                    cur.execute(f"DROP DATABASE IF EXISTS {self.quote(database)}")
                    cur.execute(f"CREATE DATABASE {self.quote(database)} CHARACTER SET utf8mb4")
        finally:
            conn.close()

    def mark(self, database: str, fingerprint: str) -> None:
        """Stores the fingerprint once the database is complete (a database comment)."""
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                if self.is_postgres:
                    cur.execute(f"COMMENT ON DATABASE {self.quote(database)} IS %s", (fingerprint,))
                else:
                    cur.execute(f"ALTER DATABASE {self.quote(database)} COMMENT = %s", (fingerprint,))
        finally:
            conn.close()

    def ensure(self, database: str, fingerprint: str, build) -> bool:
        """Builds `database` with `build(server, database)` unless it already holds `fingerprint`.
        Returns True when it was (re)built."""
        if self.fingerprint(database) == fingerprint:
            return False
        self.recreate(database)
        build(self, database)
        self.mark(database, fingerprint)
        return True

    def drop(self, database: str) -> None:
        assert database.startswith(PREFIX), database
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                force = " WITH (FORCE)" if self.is_postgres else ""
                cur.execute(f"DROP DATABASE IF EXISTS {self.quote(database)}{force}")
        finally:
            conn.close()


def postgres() -> Server:
    return Server("postgresql", os.environ.get("ZORVAN_BENCH_PG_HOST", "127.0.0.1"),
                  int(os.environ.get("ZORVAN_BENCH_PG_PORT", "5432")),
                  os.environ.get("ZORVAN_BENCH_PG_USER", "postgres"),
                  os.environ.get("ZORVAN_BENCH_PG_PASSWORD", ""))


def mariadb() -> Server:
    return Server("mariadb", os.environ.get("ZORVAN_BENCH_MARIA_HOST", "127.0.0.1"),
                  int(os.environ.get("ZORVAN_BENCH_MARIA_PORT", "3306")),
                  os.environ.get("ZORVAN_BENCH_MARIA_USER", "root"),
                  os.environ.get("ZORVAN_BENCH_MARIA_PASSWORD", ""))
