"""SQLite: the file is opened read-only, queries are checked in SQLite's dialect,
and a runaway query stops at the time limit, in this process."""

import sqlite3

import pytest
import sqlalchemy
from sqlalchemy.exc import OperationalError

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, ReadOnlyQueryError


@pytest.fixture
def notes(tmp_path):
    path = tmp_path / "local.db"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT)")
        conn.executemany("INSERT INTO notes VALUES (?, ?)", [(i, f"note {i}") for i in range(1, 201)])
    return path


def test_the_file_is_opened_read_only(notes):
    handle = CustomSQLDatabase.from_uri(f"sqlite:///{notes}", max_rows=1)
    assert handle.dialect == "sqlite" and handle.privilege_risks == ()
    assert handle.get_usable_table_names() == ["notes"]
    assert handle.run("SELECT body FROM notes ORDER BY id") == (
        "[('note 1',)]\n[199 more rows left out: the result has 200 rows and only the first 1 are shown]")
    assert "CREATE TABLE notes" in handle.get_table_info(["notes"])
    with pytest.raises(sqlalchemy.exc.OperationalError, match="readonly database"):
        with handle._engine.begin() as conn:
            conn.exec_driver_sql("INSERT INTO notes VALUES (999, 'written')")


@pytest.mark.parametrize("sql, refused", [
    ("DELETE FROM notes", "a DELETE statement"),
    ("ATTACH DATABASE '/tmp/other.db' AS other", "an ATTACH statement"),
    ("SELECT load_extension('/tmp/x.so')", "load_extension()"),
    ("SELECT sql FROM sqlite_master", "sqlite_master"),
    ("SELECT name FROM pragma_table_info('notes')", "pragma_table_info()"),
    ("SELECT body FROM other.notes", "outside"),
    ("PRAGMA query_only = OFF", "a PRAGMA statement"),
])
def test_sqlite_queries_are_checked_in_its_dialect(notes, sql, refused):
    handle = CustomSQLDatabase.from_uri(f"sqlite:///{notes}")
    with pytest.raises(ReadOnlyQueryError, match="This query was not run") as caught:
        handle.run(sql)
    assert refused in str(caught.value)
    assert handle.run("SELECT COUNT(*) FROM notes") == "[(200,)]"


def test_a_shared_engine_gets_its_connection_back_writable_and_a_runaway_query_stops(notes):
    engine = sqlalchemy.create_engine(f"sqlite:///{notes}")
    handle = CustomSQLDatabase(engine, statement_timeout=0.5)
    with pytest.raises(OperationalError, match="longer than the time limit of 0.5 seconds"):
        handle.run("SELECT COUNT(*) FROM notes a, notes b, notes c, notes d, notes e")
    assert handle.run("SELECT strftime('%Y', '2024-02-29'), upper(body) FROM notes WHERE id = 1") == (
        "[('2024', 'NOTE 1')]")
    with engine.begin() as conn:
        conn.exec_driver_sql("INSERT INTO notes VALUES (201, 'again')")
    assert handle.run("SELECT COUNT(*) FROM notes") == "[(201,)]"
    engine.dispose()
