"""Scratch databases on the local PostgreSQL and MariaDB servers.

Each test module that asks for ``pg_db``, ``maria_db`` or ``scratch_db``
gets its own freshly created database, dropped when the module is done:

    def test_reads(scratch_db):
        scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"},
                              [(1, "pen"), (2, "ink")])
        assert scratch_db.query("SELECT name FROM items ORDER BY id") == [("pen",), ("ink",)]

``scratch_db`` is parametrised over both servers.
"""

from __future__ import annotations

import os
import re
import uuid
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence
from urllib.parse import quote

import pymysql
import psycopg2

PG_HOST = os.environ.get("ZORVAN_TEST_PG_HOST", "127.0.0.1")
PG_PORT = int(os.environ.get("ZORVAN_TEST_PG_PORT", "5432"))
PG_ADMIN_USER = os.environ.get("ZORVAN_TEST_PG_USER", "postgres")
MARIA_HOST = os.environ.get("ZORVAN_TEST_MARIA_HOST", "127.0.0.1")
MARIA_PORT = int(os.environ.get("ZORVAN_TEST_MARIA_PORT", "3306"))
MARIA_ADMIN_USER = os.environ.get("ZORVAN_TEST_MARIA_USER", "root")

# The login that scripts/test-servers creates on both servers; its password
# is checked by the server (unlike the trusted admin logins).
PASSWORD_USER = "zorvan_pw_user"
PASSWORD = "p@ss:w/rd%#?"

# The SELECT-only login of scripts/test-servers: it may read the scratch
# databases and nothing else.
READER_USER = "zorvan_reader"
READER_PASSWORD = "read-only:test"

# A port on which nothing listens, for unreachable-server cases.
CLOSED_PORT = 1


def _safe_name(text: str) -> str:
    return re.sub(r"[^a-z0-9_]", "_", text.lower())[:40]


@dataclass
class ScratchDatabase:
    """One scratch database: its coordinates and helpers to fill and read it."""

    engine: str  # "postgresql" or "mariadb"
    name: str
    host: str
    port: int
    user: str
    password: str = ""
    _created: bool = field(default=False, repr=False)

    # -- coordinates -------------------------------------------------------
    @property
    def is_postgres(self) -> bool:
        return self.engine == "postgresql"

    @property
    def zorvan_engine(self) -> str:
        """The engine name that create_agent and the database tool use."""
        return "PostgreSQL" if self.is_postgres else "MySQL"

    def url(self, driver: str | None = None, user: str | None = None, password: str | None = None) -> str:
        """A SQLAlchemy URL; driver defaults to psycopg2 / mysqlconnector."""
        if driver is None:
            driver = "postgresql+psycopg2" if self.is_postgres else "mysql+mysqlconnector"
        user = self.user if user is None else user
        password = self.password if password is None else password
        credentials = quote(user, safe="")
        if password:
            credentials += ":" + quote(password, safe="")
        return f"{driver}://{credentials}@{self.host}:{self.port}/{self.name}"

    def reader_url(self, driver: str | None = None) -> str:
        """A SQLAlchemy URL for the SELECT-only login."""
        return self.url(driver, user=READER_USER, password=READER_PASSWORD)

    # -- raw access ----------------------------------------------------------
    def connect(self, database: str | None = None):
        """A new driver connection (psycopg2 or PyMySQL) in autocommit mode."""
        database = self.name if database is None else database
        if self.is_postgres:
            conn = psycopg2.connect(host=self.host, port=self.port, user=self.user,
                                    password=self.password or None, dbname=database, connect_timeout=10)
            conn.autocommit = True
            return conn
        return pymysql.connect(host=self.host, port=self.port, user=self.user, password=self.password,
                               database=database, autocommit=True, connect_timeout=10)

    def execute(self, sql: str, params: Sequence[Any] | None = None) -> None:
        """Runs one statement (committed)."""
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                cur.execute(sql, params)
        finally:
            conn.close()

    def executescript(self, statements: Iterable[str] | str) -> None:
        """Runs several statements (a list, or one text split at semicolons that end a line)."""
        if isinstance(statements, str):
            statements = [s for s in re.split(r";\s*\n", statements) if s.strip()]
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                for statement in statements:
                    cur.execute(statement)
        finally:
            conn.close()

    def query(self, sql: str, params: Sequence[Any] | None = None) -> list[tuple]:
        """Rows of one query, as tuples."""
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                cur.execute(sql, params)
                return [tuple(row) for row in cur.fetchall()]
        finally:
            conn.close()

    def quote_ident(self, name: str) -> str:
        if self.is_postgres:
            return '"' + name.replace('"', '""') + '"'
        return "`" + name.replace("`", "``") + "`"

    def load_table(self, table: str, columns: dict[str, str], rows: Iterable[Sequence[Any]] = (),
                   replace: bool = True) -> None:
        """Creates ``table`` with ``columns`` (name -> SQL type) and inserts ``rows``."""
        qt = self.quote_ident(table)
        cols = ", ".join(f"{self.quote_ident(c)} {t}" for c, t in columns.items())
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                if replace:
                    cur.execute(f"DROP TABLE IF EXISTS {qt}")
                cur.execute(f"CREATE TABLE {qt} ({cols})")
                rows = list(rows)
                if rows:
                    marks = ", ".join(["%s"] * len(columns))
                    names = ", ".join(self.quote_ident(c) for c in columns)
                    cur.executemany(f"INSERT INTO {qt} ({names}) VALUES ({marks})", rows)
        finally:
            conn.close()

    def table_names(self) -> list[str]:
        if self.is_postgres:
            sql = ("SELECT table_name FROM information_schema.tables "
                   "WHERE table_schema = 'public' ORDER BY table_name")
        else:
            sql = ("SELECT table_name FROM information_schema.tables "
                   f"WHERE table_schema = '{self.name}' ORDER BY table_name")
        return [r[0] for r in self.query(sql)]

    def drop_all_tables(self) -> None:
        for table in self.table_names():
            if self.is_postgres:
                self.execute(f"DROP TABLE IF EXISTS {self.quote_ident(table)} CASCADE")
            else:
                self.execute("SET FOREIGN_KEY_CHECKS = 0")
                self.execute(f"DROP TABLE IF EXISTS {self.quote_ident(table)}")

    def connection_count(self) -> int:
        """Open server connections to this database (for leak checks)."""
        admin = _admin(self.engine)
        if self.is_postgres:
            sql = "SELECT count(*) FROM pg_stat_activity WHERE datname = %s AND pid <> pg_backend_pid()"
            return admin.query(sql, (self.name,), database="postgres")[0][0]
        sql = "SELECT count(*) FROM information_schema.processlist WHERE db = %s AND id <> CONNECTION_ID()"
        return admin.query(sql, (self.name,), database="mysql")[0][0]


class _Admin:
    def __init__(self, engine: str):
        self.engine = engine

    def _connect(self, database: str):
        if self.engine == "postgresql":
            conn = psycopg2.connect(host=PG_HOST, port=PG_PORT, user=PG_ADMIN_USER, dbname=database,
                                    connect_timeout=10)
            conn.autocommit = True
            return conn
        return pymysql.connect(host=MARIA_HOST, port=MARIA_PORT, user=MARIA_ADMIN_USER, password="",
                               database=database, autocommit=True, connect_timeout=10)

    def query(self, sql: str, params=None, database: str = "postgres"):
        conn = self._connect(database)
        try:
            with conn.cursor() as cur:
                cur.execute(sql, params)
                return cur.fetchall()
        finally:
            conn.close()

    def execute(self, sql: str, database: str) -> None:
        conn = self._connect(database)
        try:
            with conn.cursor() as cur:
                cur.execute(sql)
        finally:
            conn.close()


def _admin(engine: str) -> _Admin:
    return _Admin(engine)


def create_scratch_database(engine: str, label: str) -> ScratchDatabase:
    """Creates an empty database named after ``label`` on ``engine``."""
    name = f"zt_{_safe_name(label)}_{uuid.uuid4().hex[:8]}"
    admin = _admin(engine)
    if engine == "postgresql":
        admin.execute(f'CREATE DATABASE "{name}"', database="postgres")
        db = ScratchDatabase("postgresql", name, PG_HOST, PG_PORT, PG_ADMIN_USER)
        # The password-checked login may read and write it too; the reader
        # may read every table the harness creates in it.
        db.execute(f'GRANT ALL ON SCHEMA public TO {PASSWORD_USER}')
        admin.execute(f'GRANT ALL ON DATABASE "{name}" TO {PASSWORD_USER}', database="postgres")
        db.executescript([f"GRANT USAGE ON SCHEMA public TO {READER_USER}",
                          f"ALTER DEFAULT PRIVILEGES IN SCHEMA public GRANT SELECT ON TABLES TO {READER_USER}"])
    elif engine == "mariadb":
        admin.execute(f"CREATE DATABASE `{name}` CHARACTER SET utf8mb4", database="mysql")
        db = ScratchDatabase("mariadb", name, MARIA_HOST, MARIA_PORT, MARIA_ADMIN_USER)
    else:
        raise ValueError(f"unknown engine {engine!r}; use 'postgresql' or 'mariadb'")
    db._created = True
    return db


def drop_scratch_database(db: ScratchDatabase) -> None:
    admin = _admin(db.engine)
    if db.is_postgres:
        admin.execute(f'DROP DATABASE IF EXISTS "{db.name}" WITH (FORCE)', database="postgres")
    else:
        admin.execute(f"DROP DATABASE IF EXISTS `{db.name}`", database="mysql")
