"""Schema listings of the configured MySQL and PostgreSQL databases."""

import pytest

from support.db import CLOSED_PORT, create_scratch_database, drop_scratch_database
from zorvanai import dbtool


def schema_of(db):
    return dbtool.get_pgdb_schema() if db.is_postgres else dbtool.get_mysql_database_schema()


def server_table_order(db):
    """The tables in the order the server lists them to the tool."""
    if db.is_postgres:
        return [r[0] for r in db.query(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'")]
    return [r[0] for r in db.query("SHOW TABLES")]


@pytest.fixture
def fresh_db(request, use_db):
    """An empty database of its own for each test, on each server."""
    engine = request.param
    db = create_scratch_database(engine, "dbtool_schema")
    try:
        use_db(db)
        yield db
    finally:
        drop_scratch_database(db)


both_servers = pytest.mark.parametrize("fresh_db", ["postgresql", "mariadb"], indirect=True)


@both_servers
def test_empty_database_gives_an_empty_record_silently(fresh_db, capsys):
    assert schema_of(fresh_db) == {}
    assert capsys.readouterr().out == ""


@both_servers
def test_tables_and_columns_keep_the_server_order_and_types(fresh_db, capsys):
    fresh_db.load_table("zeta", {"zz": "INTEGER", "aa": "VARCHAR(255)", "mm": "NUMERIC(10,2)"})
    fresh_db.load_table("alpha", {"id": "INTEGER"})
    fresh_db.load_table("mid", {"note": "TEXT"})
    fresh_db.execute("ALTER TABLE alpha ADD COLUMN added DATE")
    schema = schema_of(fresh_db)
    assert list(schema) == server_table_order(fresh_db)
    assert sorted(schema) == ["alpha", "mid", "zeta"]
    if fresh_db.is_postgres:
        assert schema["zeta"] == [{"name": "zz", "type": "integer"},
                                  {"name": "aa", "type": "character varying"},
                                  {"name": "mm", "type": "numeric"}]
        assert schema["alpha"] == [{"name": "id", "type": "integer"}, {"name": "added", "type": "date"}]
        assert schema["mid"] == [{"name": "note", "type": "text"}]
    else:
        assert schema["zeta"] == [{"name": "zz", "type": "int(11)"},
                                  {"name": "aa", "type": "varchar(255)"},
                                  {"name": "mm", "type": "decimal(10,2)"}]
        assert schema["alpha"] == [{"name": "id", "type": "int(11)"}, {"name": "added", "type": "date"}]
        assert schema["mid"] == [{"name": "note", "type": "text"}]
    assert capsys.readouterr().out == ""


@both_servers
def test_awkward_table_names_are_listed_and_cannot_inject(fresh_db, capsys):
    names = ["order", "my table", "we`ird", 'qu"ote', "x; DROP TABLE victim", "select"]
    fresh_db.load_table("victim", {"id": "INTEGER"}, [(1,)])
    for name in names:
        fresh_db.load_table(name, {"group": "INTEGER", "two words": "INTEGER"})
    schema = schema_of(fresh_db)
    assert capsys.readouterr().out == ""
    assert sorted(schema) == sorted(names + ["victim"])
    for name in names:
        assert [c["name"] for c in schema[name]] == ["group", "two words"], name
    assert fresh_db.query("SELECT id FROM victim") == [(1,)]


def test_pg_lists_only_public_tables_with_their_own_columns(pg_db, use_db, capsys):
    pg_db.executescript([
        "DROP SCHEMA IF EXISTS other CASCADE",
        "CREATE SCHEMA other",
        "CREATE TABLE public.shared (id INTEGER, label TEXT)",
        "CREATE TABLE other.shared (secret TEXT, id BIGINT, extra BOOLEAN)",
        "CREATE TABLE other.hidden (x INTEGER)",
    ])
    try:
        use_db(pg_db)
        schema = dbtool.get_pgdb_schema()
        assert "hidden" not in schema
        assert schema["shared"] == [{"name": "id", "type": "integer"}, {"name": "label", "type": "text"}]
        assert capsys.readouterr().out == ""
    finally:
        pg_db.executescript(["DROP SCHEMA other CASCADE", "DROP TABLE public.shared"])


def test_mysql_error_while_listing_keeps_what_was_read(fresh_mysql_with_broken_view, opened_connections, capsys, connection_count):
    db = fresh_mysql_with_broken_view
    before = connection_count(db)
    with opened_connections:
        schema = dbtool.get_mysql_database_schema()
    assert len(opened_connections) == 1 and opened_connections.still_open() == []
    assert connection_count(db) == before
    # SHOW TABLES lists a_table, b_view, c_table: reading stops at the view.
    assert list(schema) == ["a_table", "b_view"]
    assert schema["a_table"] == [{"name": "id", "type": "int(11)"}]
    assert schema["b_view"] == []
    out = capsys.readouterr().out
    assert out.startswith("An error occurred: (1356, ") and f"{db.name}" in out and out.count("\n") == 1


@pytest.fixture
def fresh_mysql_with_broken_view(use_db):
    db = create_scratch_database("mariadb", "dbtool_broken_view")
    try:
        db.executescript([
            "CREATE TABLE a_table (id INTEGER)",
            "CREATE TABLE gone (id INTEGER)",
            "CREATE VIEW b_view AS SELECT id FROM gone",
            "CREATE TABLE c_table (id INTEGER)",
            "DROP TABLE gone",
        ])
        use_db(db)
        yield db
    finally:
        drop_scratch_database(db)


def test_unreachable_servers_print_only_the_connection_failure(scratch_db, use_db, capsys):
    use_db(scratch_db, port=CLOSED_PORT)
    assert schema_of(scratch_db) is None
    out = capsys.readouterr().out
    if scratch_db.is_postgres:
        assert out.startswith("The error 'connection to server at") and out.endswith("' occurred\n")
    else:
        assert out.startswith("Failed to connect to the database: (2003, ") and out.count("\n") == 1


def test_pg_other_connect_error_gives_an_empty_record(pg_db, use_db, capsys):
    use_db(pg_db, name="bad\x00name")
    assert dbtool.get_pgdb_schema() == {}
    assert capsys.readouterr().out == "An error occurred: embedded null character\n"


def test_mysql_without_a_database_reports_the_server_error(maria_db, use_db, capsys):
    use_db(maria_db)
    dbtool.db_name = None
    assert dbtool.get_mysql_database_schema() == {}
    assert capsys.readouterr().out == "An error occurred: (1046, 'No database selected')\n"


def test_schema_listing_closes_its_connection(scratch_db, use_db, opened_connections, capsys, connection_count):
    scratch_db.load_table("counted", {"id": "INTEGER"})
    use_db(scratch_db)
    before = connection_count(scratch_db)
    with opened_connections:
        assert schema_of(scratch_db)["counted"][0]["name"] == "id"
    assert len(opened_connections) == 1 and opened_connections.still_open() == []
    assert connection_count(scratch_db) == before
    assert capsys.readouterr().out == ""
