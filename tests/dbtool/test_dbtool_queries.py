"""Single statements through the configured connection, on both servers."""

import pytest

from support.db import CLOSED_PORT
from zorvanai import dbtool

QUERY_ERROR = "An error occurred while executing the query: "


def execute(db, sql):
    return (dbtool.execute_pgdb_query if db.is_postgres else dbtool.execute_mysql_query)(sql)


def load_items(db):
    db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)", "price": "INTEGER"},
                  [(1, "pen", 3), (2, "ink", 7), (3, "pad", 5)])
    return db


@pytest.fixture
def items(scratch_db, use_db):
    use_db(scratch_db)
    return load_items(scratch_db)


@pytest.fixture
def pg_items(pg_db, use_db):
    use_db(pg_db)
    return load_items(pg_db)


def test_rows_come_back_as_dicts_from_mysql_and_tuples_from_postgresql(items, capsys):
    rows = execute(items, "SELECT name, price FROM items WHERE price > 4 ORDER BY price DESC")
    if items.is_postgres:
        assert rows == [("ink", 7), ("pad", 5)]
    else:
        assert rows == [{"name": "ink", "price": 7}, {"name": "pad", "price": 5}]
        assert list(rows[0]) == ["name", "price"]
    assert capsys.readouterr().out == ""


def test_pg_result_sets_are_recognised_whatever_the_statement_looks_like(pg_items):
    assert dbtool.execute_pgdb_query("   select 1") == [(1,)]
    assert dbtool.execute_pgdb_query("\n\tSeLeCt name FROM items WHERE id = 2\n") == [("ink",)]
    assert dbtool.execute_pgdb_query(
        "WITH cheap AS (SELECT name FROM items WHERE price < 6) SELECT name FROM cheap ORDER BY name"
    ) == [("pad",), ("pen",)]
    assert dbtool.execute_pgdb_query("VALUES (1, 'a')") == [(1, "a")]
    assert dbtool.execute_pgdb_query("SELECT name FROM items WHERE id = 99") == []


def test_data_changes_are_committed_and_return_no_rows(items):
    if items.is_postgres:
        assert dbtool.execute_pgdb_query("INSERT INTO items VALUES (4, 'cap', 1)") is None
    else:
        result = dbtool.execute_mysql_query("INSERT INTO items VALUES (4, 'cap', 1)")
        assert result is not None and len(result) == 0
    assert execute(items, "UPDATE items SET price = price + 10 WHERE id = 1") in (None, [], ())
    assert items.query("SELECT id, price FROM items ORDER BY id") == [(1, 13), (2, 7), (3, 5), (4, 1)]


def test_pg_change_that_returns_rows_is_committed_and_returns_them(pg_items):
    inserted = dbtool.execute_pgdb_query(
        "WITH added AS (INSERT INTO items VALUES (5, 'tape', 2) RETURNING id, name) SELECT * FROM added")
    assert inserted == [(5, "tape")]
    assert dbtool.execute_pgdb_query("DELETE FROM items WHERE id = 5 RETURNING name") == [("tape",)]
    assert dbtool.execute_pgdb_query("INSERT INTO items VALUES (6, 'glue', 4) RETURNING price * 2") == [(8,)]
    assert pg_items.query("SELECT id FROM items WHERE id >= 5") == [(6,)]


def test_rejected_statement_prints_one_line_and_returns_none(items, capsys):
    assert execute(items, "SELECT nothing FROM no_such_table") is None
    out = capsys.readouterr().out
    assert out.startswith(QUERY_ERROR)
    if items.is_postgres:
        assert 'relation "no_such_table" does not exist' in out
    else:
        assert out == QUERY_ERROR + f"(1146, \"Table '{items.name}.no_such_table' doesn't exist\")\n"
    # A duplicate key leaves the table as it was.
    assert execute(items, "INSERT INTO items VALUES (1, 'dup', 0)") is None
    assert capsys.readouterr().out.startswith(QUERY_ERROR)
    assert items.query("SELECT name FROM items WHERE id = 1") == [("pen",)]


def test_pg_change_refused_at_commit_is_reported_and_not_kept(pg_db, use_db, capsys):
    pg_db.executescript([
        "DROP TABLE IF EXISTS tags",
        "CREATE TABLE tags (tag TEXT, CONSTRAINT one_tag UNIQUE (tag) DEFERRABLE INITIALLY DEFERRED)",
        "INSERT INTO tags VALUES ('red')",
    ])
    use_db(pg_db)
    # The duplicate is only detected when the transaction commits.
    assert dbtool.execute_pgdb_query("INSERT INTO tags VALUES ('red')") is None
    out = capsys.readouterr().out
    assert out.startswith(QUERY_ERROR) and "one_tag" in out
    assert pg_db.query("SELECT count(*) FROM tags") == [(1,)]


def test_unreachable_mysql_server_prints_exactly_the_connection_line(maria_db, use_db, capsys):
    use_db(maria_db, port=CLOSED_PORT)
    assert dbtool.execute_mysql_query("SELECT 1") is None
    out = capsys.readouterr().out
    assert out.startswith("Failed to connect to the database: (2003, ")
    assert out.count("\n") == 1


def test_pg_client_against_the_default_mysql_port_prints_the_operational_error(pg_db, use_db, maria_db, capsys):
    # With the port left at 3306 the PostgreSQL client reaches the MariaDB
    # server, which does not speak its protocol.
    use_db(pg_db, port=maria_db.port)
    assert dbtool.db_port == 3306
    assert dbtool.execute_pgdb_query("SELECT 1") is None
    out = capsys.readouterr().out
    assert out.startswith("The error '") and out.endswith("' occurred\n")
    assert "port 3306 failed" in out


def test_pg_unreachable_server_and_odd_connect_errors_print_one_message(pg_db, use_db, capsys):
    use_db(pg_db, port=CLOSED_PORT)
    assert dbtool.execute_pgdb_query("SELECT 1") is None
    out = capsys.readouterr().out
    assert out.startswith("The error 'connection to server at") and out.endswith("' occurred\n")
    assert QUERY_ERROR not in out
    use_db(pg_db, name="bad\x00name")
    assert dbtool.execute_pgdb_query("SELECT 1") is None
    assert capsys.readouterr().out == QUERY_ERROR + "embedded null character\n"


def test_settings_are_read_at_each_call(scratch_db, use_db):
    use_db(scratch_db)
    current = "SELECT current_database()" if scratch_db.is_postgres else "SELECT DATABASE() AS db"
    first = execute(scratch_db, current)
    assert first == ([(scratch_db.name,)] if scratch_db.is_postgres else [{"db": scratch_db.name}])
    dbtool.db_port = CLOSED_PORT
    assert execute(scratch_db, current) is None
    dbtool.db_port = scratch_db.port
    assert execute(scratch_db, current) == first


def test_every_query_closes_its_connection(items, opened_connections, capsys, connection_count):
    before = connection_count(items)
    with opened_connections:
        execute(items, "SELECT * FROM items")
        execute(items, "INSERT INTO items VALUES (7, 'clip', 1)")
        execute(items, "SELECT * FROM no_such_table")
        execute(items, "THIS IS NOT SQL")
    assert len(opened_connections) == 4
    assert opened_connections.still_open() == []
    assert connection_count(items) == before
    assert capsys.readouterr().out.count(QUERY_ERROR) == 2
