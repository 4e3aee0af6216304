"""Fixtures of the database tool's tests.

The tool's configuration is process-wide module state; every test here gets
it back as it was, so tests do not leak settings into each other.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import zorvanai
from zorvanai import dbtool

CONFIG_NAMES = ("db_port", "db_user", "db_password", "db_host", "db_name")
ENV_NAMES = ("db_user", "db_password", "db_host", "db_name", "db_port")


@pytest.fixture(autouse=True)
def restore_dbtool_config():
    saved = {name: getattr(dbtool, name) for name in CONFIG_NAMES}
    yield
    for name, value in saved.items():
        setattr(dbtool, name, value)


@pytest.fixture
def use_db():
    """Points the tool's configuration at a scratch database (or a variant of it)."""

    def configure(db, *, name=None, user=None, password=None, port=None):
        dbtool.set_database_config(
            db.name if name is None else name,
            db.user if user is None else user,
            db.password if password is None else password,
            db.host,
            db.port if port is None else port,
        )

    return configure


@pytest.fixture
def fresh_python():
    """Runs code in a new interpreter that imports the package under test.

    The tool's environment variables are removed first; `env` adds some
    back. The code's last printed line must be JSON: the call returns what
    was printed before it and the decoded value.
    """

    def run(code: str, env: dict[str, str] | None = None):
        child_env = {k: v for k, v in os.environ.items() if k not in ENV_NAMES}
        child_env.update(env or {})
        child_env["PYTHONPATH"] = str(Path(zorvanai.__file__).parent.parent)
        done = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        printed, _, last = done.stdout.rstrip("\n").rpartition("\n")
        return (printed + "\n" if printed else ""), json.loads(last)

    return run


class OpenedConnections(list):
    """Driver connections opened inside `with opened_connections:` blocks."""

    recording = False

    def __enter__(self):
        self.recording = True
        return self

    def __exit__(self, *exc):
        self.recording = False

    @staticmethod
    def is_closed(connection) -> bool:
        # psycopg2 has `closed` (non-zero once closed), PyMySQL has `open`.
        closed = getattr(connection, "closed", None)
        return bool(closed) if closed is not None else not connection.open

    def still_open(self) -> list:
        return [c for c in self if not self.is_closed(c)]


@pytest.fixture
def opened_connections(monkeypatch):
    """Every driver connection opened during the test, kept alive.

    Holding them means a connection that the tool forgets to close stays open
    on the server (instead of being dropped with its last reference), so
    leak checks by server connection count can see it.
    """
    import psycopg2
    import pymysql

    opened = OpenedConnections()

    def recording(connect):
        def wrapper(*args, **kwargs):
            connection = connect(*args, **kwargs)
            if opened.recording:
                opened.append(connection)
            return connection

        return wrapper

    monkeypatch.setattr(pymysql, "connect", recording(pymysql.connect))
    monkeypatch.setattr(psycopg2, "connect", recording(psycopg2.connect))
    yield opened
    for connection in opened.still_open():
        connection.close()


@pytest.fixture
def connection_count():
    """``connection_count(db, until=None)``: the server's connection count to a database.

    With ``until`` (a test of the count), waits until the count passes it: a
    connection closed just before can take a moment to leave the server's list.
    """

    def count(db, until=None) -> int:
        deadline = time.monotonic() + 10
        now = db.connection_count()
        while until is not None and not until(now) and time.monotonic() < deadline:
            time.sleep(0.05)
            now = db.connection_count()
        return now

    return count
