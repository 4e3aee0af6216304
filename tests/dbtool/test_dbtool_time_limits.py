"""Connects give up after a time limit; statements are not cut short by it."""

import socket
from concurrent.futures import ThreadPoolExecutor

import pytest

from zorvanai import dbtool


@pytest.fixture
def silent_port():
    """A port that accepts TCP connections and then never says anything."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    try:
        yield listener.getsockname()[1]
    finally:
        listener.close()


def test_a_silent_server_does_not_hold_any_operation(silent_port, monkeypatch, capsys):
    monkeypatch.setenv("ZORVAN_DB_CONNECT_TIMEOUT", "2")
    dbtool.set_database_config("d", "u", "p", "127.0.0.1", silent_port)
    calls = {
        "MySQL test": lambda: dbtool.get_db_connection("MySQL", "u", "p", "127.0.0.1", silent_port, "d"),
        "PostgreSQL test": lambda: dbtool.get_db_connection("PostgreSQL", "u", "p", "127.0.0.1", silent_port, "d"),
        "mysql query": lambda: dbtool.execute_mysql_query("SELECT 1"),
        "pg query": lambda: dbtool.execute_pgdb_query("SELECT 1"),
        "mysql schema": dbtool.get_mysql_database_schema,
    }
    pool = ThreadPoolExecutor(len(calls))
    try:
        futures = {name: pool.submit(call) for name, call in calls.items()}
        results = {name: future.result(timeout=30) for name, future in futures.items()}
    finally:
        # A call stuck on the listener is released when the fixture closes it.
        pool.shutdown(wait=False)
    assert results["MySQL test"].startswith("Failed to connect to MySQL database: (2013, ")
    assert results["PostgreSQL test"].startswith("Failed to connect to PostgreSQL database: ")
    assert "timeout expired" in results["PostgreSQL test"]
    assert results["mysql query"] is None and results["pg query"] is None and results["mysql schema"] is None
    out = capsys.readouterr().out
    assert out.count("Failed to connect to the database: (2013, ") == 2
    assert out.count("The error '") == 1


def test_statements_may_run_longer_than_the_connect_limit(maria_db, pg_db, use_db, monkeypatch, capsys):
    monkeypatch.setenv("ZORVAN_DB_CONNECT_TIMEOUT", "1")
    use_db(maria_db)
    assert dbtool.execute_mysql_query("SELECT SLEEP(2) AS slept") == [{"slept": 0}]
    use_db(pg_db)
    assert dbtool.execute_pgdb_query("SELECT 1 FROM pg_sleep(2)") == [(1,)]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("value", ["soon", "0", "-3", "1.5"])
def test_an_unusable_time_limit_is_reported_through_the_usual_channels(value, maria_db, use_db, monkeypatch,
                                                                        capsys):
    message = f"ZORVAN_DB_CONNECT_TIMEOUT must be a whole number of seconds, 1 or more, not '{value}'"
    monkeypatch.setenv("ZORVAN_DB_CONNECT_TIMEOUT", value)
    assert dbtool.get_db_connection("MySQL", "root", "", "127.0.0.1", maria_db.port, maria_db.name) == (
        "Failed to connect to MySQL database: " + message)
    use_db(maria_db)
    assert dbtool.execute_mysql_query("SELECT 1") is None
    assert capsys.readouterr().out == "Failed to connect to the database: " + message + "\n"
