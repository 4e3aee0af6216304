"""Addresses that create_agent builds beyond the three servers' plain form: an SQLite file opened
read-only, and an IPv6 host."""

from __future__ import annotations

import pytest
import sqlalchemy.exc

from support.db import CLOSED_PORT
from zorvanai import cli
from zorvanai.agent import create_agent

MODELS = dict(model_provider="openai", base_url="http://127.0.0.1:9/v1", model="m", quiet=True)


def test_an_sqlite_file_is_opened_read_only(tmp_path):
    path = cli.demo_database(str(tmp_path / "shop.db"))
    graph = create_agent("SQLite", path, **MODELS)

    assert graph.db.dialect == "sqlite"
    assert graph.db.run("SELECT COUNT(*) FROM products") == "[(40,)]"
    # Past the handle's own guard too: the file itself refuses to change.
    with graph.db._engine.connect() as connection, pytest.raises(sqlalchemy.exc.OperationalError, match="readonly"):
        connection.exec_driver_sql("CREATE TABLE notes (text TEXT)")
    with pytest.raises(FileNotFoundError, match="No SQLite database file"):
        create_agent("SQLite", str(tmp_path / "missing.db"), **MODELS)
    assert not (tmp_path / "missing.db").exists()


def test_an_ipv6_host_is_bracketed_in_the_address():
    with pytest.raises(sqlalchemy.exc.OperationalError) as caught:
        create_agent("PostgreSQL", "shop", "u", "p", "::1", CLOSED_PORT, **MODELS)
    assert f'"::1", port {CLOSED_PORT} failed' in str(caught.value)
