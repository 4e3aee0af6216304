"""The database tool on an SQLite file: the file is db_name, and it is only ever read."""

from __future__ import annotations

import hashlib
import sqlite3

import pytest

from zorvanai import dbtool


@pytest.fixture
def shop(tmp_path):
    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as connection:
        connection.execute('CREATE TABLE "order items" (id INTEGER PRIMARY KEY, "un""usual" VARCHAR(20))')
        connection.execute("CREATE TABLE regions (name TEXT NOT NULL)")
        connection.execute("INSERT INTO regions VALUES ('east'), ('west')")
    dbtool.db_name = str(path)
    return path


def test_schema_and_rows_of_the_file(shop, capsys):
    assert dbtool.get_sqlite_schema() == {
        "order items": [{"name": "id", "type": "INTEGER"}, {"name": 'un"usual', "type": "VARCHAR(20)"}],
        "regions": [{"name": "name", "type": "TEXT"}],
    }
    assert dbtool.execute_sqlite_query("select name from regions order by name") == [("east",), ("west",)]
    assert dbtool.get_db_connection("SQLite", None, None, None, None, str(shop)) == "Success! Connection Established! ."
    assert capsys.readouterr().out == ""


def test_the_file_is_never_written(shop, capsys):
    before = hashlib.sha256(shop.read_bytes()).hexdigest()
    for statement in ("INSERT INTO regions VALUES ('north')", "DROP TABLE regions", "PRAGMA user_version = 7"):
        assert dbtool.execute_sqlite_query(statement) is None
    assert hashlib.sha256(shop.read_bytes()).hexdigest() == before
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and all(line == "An error occurred while executing the query: attempt to write a readonly "
                                           "database" for line in lines)


def test_a_missing_file_is_one_line_and_none(tmp_path, capsys):
    dbtool.db_name = str(tmp_path / "nothing.db")
    assert dbtool.get_sqlite_schema() is None and dbtool.execute_sqlite_query("SELECT 1") is None
    assert capsys.readouterr().out == f"Failed to connect to the database: no SQLite database file at {tmp_path}/nothing.db\n" * 2
    assert not (tmp_path / "nothing.db").exists()
