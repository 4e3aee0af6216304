"""The scratch-database fixture itself: isolation, loading and dropping."""

from support.db import create_scratch_database, drop_scratch_database


def test_loads_rows_and_reads_them_back(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"},
                          [(1, "pen"), (2, "ink")])
    assert scratch_db.query("SELECT name FROM items ORDER BY id") == [("pen",), ("ink",)]
    assert "items" in scratch_db.table_names()


def test_created_database_is_dropped_afterwards(scratch_db):
    other = create_scratch_database(scratch_db.engine, "dropcheck")
    other.load_table("t", {"a": "INTEGER"}, [(1,)])
    drop_scratch_database(other)
    if scratch_db.is_postgres:
        names = [r[0] for r in scratch_db.query("SELECT datname FROM pg_database")]
    else:
        names = [r[0] for r in scratch_db.query("SHOW DATABASES")]
    assert other.name not in names
    assert scratch_db.name in names
