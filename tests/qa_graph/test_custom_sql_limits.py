"""Time limit, row cap and connection recovery of the database handle."""

import time
import tracemalloc

import pytest
import sqlalchemy
from sqlalchemy.exc import DBAPIError, SQLAlchemyError

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, ReadOnlyQueryError


@pytest.fixture(scope="module")
def numbers(scratch_db):
    scratch_db.load_table("numbers", {"n": "INTEGER PRIMARY KEY"}, [(i,) for i in range(1000)])
    return scratch_db


# Long enough to meet any time limit here: 10^12 rows.
RUNAWAY = "SELECT COUNT(*) FROM numbers a, numbers b, numbers c, numbers d"


def test_runaway_query_ends_with_a_database_error_and_the_handle_goes_on(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url(), statement_timeout=1)
    assert handle.statement_timeout == 1.0
    with pytest.raises(DBAPIError) as caught:
        handle.run(RUNAWAY)
    assert "statement timeout" in str(caught.value) or "max_statement_time" in str(caught.value)
    assert "zorvan_" not in str(caught.value) and "[SQL: " + RUNAWAY + "]" in str(caught.value)
    assert handle.run("SELECT COUNT(*) FROM numbers") == "[(1000,)]"


def test_default_limits(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url())
    assert (handle.statement_timeout, handle.max_rows, handle.max_result_bytes) == (60.0, 200, 65536)
    assert handle.run("SELECT COUNT(*) FROM numbers a, numbers b") == "[(1000000,)]"


def test_no_time_limit_when_asked(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url(), statement_timeout=None)
    assert handle.statement_timeout is None
    assert handle.run("SELECT n FROM numbers WHERE n = 7") == "[(7,)]"


def test_result_below_the_cap_is_returned_whole(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url(), max_rows=5)
    assert handle.run("SELECT n FROM numbers WHERE n < 5 ORDER BY n") == "[(0,), (1,), (2,), (3,), (4,)]"


def test_result_past_the_cap_says_how_many_rows_were_left_out(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url(), max_rows=5)
    assert handle.run("SELECT n FROM numbers ORDER BY n") == (
        "[(0,), (1,), (2,), (3,), (4,)]\n"
        "[995 more rows left out: the result has 1000 rows and only the first 5 are shown]")
    assert handle.run("SELECT n FROM numbers WHERE n < 6 ORDER BY n").endswith(
        "\n[1 more row left out: the result has 6 rows and only the first 5 are shown]")
    with_columns = handle.run("SELECT n FROM numbers ORDER BY n DESC", include_columns=True)
    first_line, last_line = with_columns.split("\n")
    assert first_line == "[{'n': 999}, {'n': 998}, {'n': 997}, {'n': 996}, {'n': 995}]"
    assert last_line.startswith("[995 more rows left out")


def test_fetch_one_gives_the_first_row_only(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url(), max_rows=5)
    assert handle.run("SELECT n FROM numbers ORDER BY n", fetch="one") == "[(0,)]"
    with pytest.raises(ValueError, match="Fetch parameter must be"):
        handle.run("SELECT n FROM numbers", fetch="many")


def test_rows_past_the_cap_are_never_sent(numbers):
    """On PostgreSQL rows after the tenth are poisoned (an error when computed):
    reading the whole result fails, the capped handle shows the first rows and
    says that more exist, without a count."""
    if not numbers.is_postgres:
        pytest.skip("MariaDB counts the rest in the same pass (SQL_CALC_FOUND_ROWS); see the cap test")
    sql = "SELECT n, 1 / (CASE WHEN n > 10 THEN 0 ELSE 1 END) AS ok FROM numbers ORDER BY n"
    with pytest.raises(Exception, match="division by zero"):
        numbers.query(sql)
    text = CustomSQLDatabase.from_uri(numbers.url(), max_rows=5).run(sql)
    assert text == str([(n, 1) for n in range(5)]) + (
        "\n[more rows left out: only the first 5 rows of the result are shown]")


def test_large_result_is_not_loaded_into_memory(numbers):
    sql = "SELECT a.n, REPEAT('x', 100) FROM numbers a, numbers b ORDER BY a.n, b.n LIMIT 300000"
    handle = CustomSQLDatabase.from_uri(numbers.url())
    handle.run("SELECT 1")  # pool and dialect warmed up
    tracemalloc.start()
    try:
        text = handle.run(sql)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert text.endswith("[299800 more rows left out: the result has 300000 rows and only the first 200 are shown]")
    assert peak < 5_000_000  # the whole result would take well over 30 MB


def test_pooled_connections_are_left_as_they_were(numbers):
    """The engine may be shared: after the handle's work, its connections are
    writable, without time limit or row limit."""
    engine = sqlalchemy.create_engine(numbers.url(), pool_size=1, max_overflow=0)
    handle = CustomSQLDatabase(engine, max_rows=3, statement_timeout=5)
    assert handle.run("SELECT n FROM numbers ORDER BY n").startswith("[(0,), (1,), (2,)]\n[997 more rows")
    with engine.begin() as conn:
        conn.exec_driver_sql("CREATE TABLE scratch_writes (a INTEGER)")
        conn.exec_driver_sql("INSERT INTO scratch_writes VALUES (1)")
        assert len(conn.exec_driver_sql("SELECT n FROM numbers").fetchall()) == 1000
        if numbers.is_postgres:
            assert conn.exec_driver_sql("SHOW statement_timeout").scalar() == "0"
        else:
            limits = conn.exec_driver_sql("SELECT @@max_statement_time, @@sql_select_limit").one()
            assert float(limits[0]) == 0 and int(limits[1]) > 10**9
        conn.exec_driver_sql("DROP TABLE scratch_writes")
    engine.dispose()


def _server_session_id(handle, db):
    """The server session of the connection the handle's pool hands out next."""
    with handle._engine.connect() as conn:
        return conn.exec_driver_sql("SELECT pg_backend_pid()" if db.is_postgres else "SELECT CONNECTION_ID()").scalar()


def _kill(db, session_id):
    if db.is_postgres:
        db.execute("SELECT pg_terminate_backend(%s)", (session_id,))
    else:
        db.execute(f"KILL {session_id}")


@pytest.mark.parametrize("pre_ping", [True, False], ids=["from_uri", "engine_without_pre_ping"])
def test_killed_connection_between_runs_is_replaced(numbers, pre_ping):
    if pre_ping:
        handle = CustomSQLDatabase.from_uri(numbers.url())
    else:
        handle = CustomSQLDatabase(sqlalchemy.create_engine(numbers.url()))
    first = _server_session_id(handle, numbers)
    _kill(numbers, first)
    time.sleep(0.2)
    assert handle.run("SELECT COUNT(*) FROM numbers") == "[(1000,)]"
    assert _server_session_id(handle, numbers) != first


def test_refusal_needs_no_connection(numbers):
    handle = CustomSQLDatabase.from_uri(numbers.url())
    handle._engine.dispose()
    checked_out = []
    sqlalchemy.event.listen(handle._engine, "checkout", lambda *args: checked_out.append(1))
    with pytest.raises(ReadOnlyQueryError):
        handle.run("DROP TABLE numbers")
    assert checked_out == []
    assert isinstance(ReadOnlyQueryError("x"), SQLAlchemyError)
