"""The connection test for each engine, and the two connection openers."""

import sys
import types

import pytest

from support.db import CLOSED_PORT, PASSWORD, PASSWORD_USER
from zorvanai import dbtool

SUCCESS = "Success! Connection Established! ."
UNSUPPORTED = "Unsupported SQL engine specified."


def connection_values(db, user=None, password=None, port=None, name=None):
    return (user or db.user, db.password if password is None else password, db.host, port or db.port,
            name or db.name)


# -- get_db_connection on the real servers ------------------------------------------------------

def test_connection_test_succeeds_and_leaves_no_connection_open(scratch_db, opened_connections, capsys, connection_count):
    before = connection_count(scratch_db)
    with opened_connections:
        assert dbtool.get_db_connection(scratch_db.zorvan_engine, *connection_values(scratch_db)) == SUCCESS
    assert len(opened_connections) == 1 and opened_connections.still_open() == []
    assert connection_count(scratch_db, until=lambda n: n <= before) <= before
    assert capsys.readouterr().out == ""


def test_connection_test_passes_a_password_with_special_characters(scratch_db):
    values = connection_values(scratch_db, user=PASSWORD_USER, password=PASSWORD)
    assert dbtool.get_db_connection(scratch_db.zorvan_engine, *values) == SUCCESS


def test_connection_test_reports_a_refused_login(scratch_db, capsys):
    engine = scratch_db.zorvan_engine
    result = dbtool.get_db_connection(engine, *connection_values(scratch_db, user=PASSWORD_USER, password="wrong"))
    prefix = f"Failed to connect to {engine} database: "
    assert result.startswith(prefix)
    detail = result[len(prefix):]
    if scratch_db.is_postgres:
        assert 'password authentication failed for user "zorvan_pw_user"' in detail
    else:
        assert detail.startswith("(1045, ") and "zorvan_pw_user" in detail
    assert capsys.readouterr().out == ""


def test_connection_test_reports_an_unreachable_server(scratch_db, capsys):
    engine = scratch_db.zorvan_engine
    result = dbtool.get_db_connection(engine, *connection_values(scratch_db, port=CLOSED_PORT))
    assert result.startswith(f"Failed to connect to {engine} database: ")
    assert f"{CLOSED_PORT}" in result and ("refused" in result.lower() or "can't connect" in result.lower())
    assert capsys.readouterr().out == ""


UNSUPPORTED_CHILD = """
import json, sys
from zorvanai import dbtool
results = [dbtool.get_db_connection(engine, "u", "p", "127.0.0.1", 1, "d")
           for engine in ("mysql", "postgresql", "MSSQL", "MySQL ", "", None, 3306)]
drivers = sorted(name for name in ("pymysql", "psycopg2", "pyodbc") if name in sys.modules)
print(json.dumps([results, drivers]))
"""


def test_unsupported_engine_names_load_no_driver(fresh_python):
    printed, (results, drivers) = fresh_python(UNSUPPORTED_CHILD)
    assert results == [UNSUPPORTED] * 7
    assert drivers == []
    assert printed == ""


ONE_ENGINE_CHILD = """
import json, sys
from zorvanai import dbtool
result = dbtool.get_db_connection({engine!r}, {values})
drivers = sorted(name for name in ("pymysql", "psycopg2", "pyodbc") if name in sys.modules)
print(json.dumps([result, drivers]))
"""


def test_connection_test_loads_only_the_driver_of_its_engine(scratch_db, fresh_python):
    values = ", ".join(repr(v) for v in connection_values(scratch_db))
    _, (result, drivers) = fresh_python(ONE_ENGINE_CHILD.format(engine=scratch_db.zorvan_engine, values=values))
    assert result == SUCCESS
    assert drivers == (["psycopg2"] if scratch_db.is_postgres else ["pymysql"])


def test_sql_server_without_the_odbc_library_reports_the_loader_error(capsys):
    sys.modules.pop("pyodbc", None)
    try:
        import pyodbc  # noqa: F401
    except ImportError as error:
        loader_error = str(error)
    else:
        pytest.skip("the ODBC driver manager is installed here")
    result = dbtool.get_db_connection("MsSQL", "sa", "pw", "127.0.0.1", 1433, "master")
    assert result == "Failed to connect to MsSQL database: " + loader_error
    assert capsys.readouterr().out == ""


# -- the SQL Server connection string, seen by a stand-in ODBC module ---------------------------

def parse_odbc(text):
    """Splits an ODBC connection string into attributes ({...} values with }} for })."""
    attributes, i = {}, 0
    while i < len(text):
        key_end = text.index("=", i)
        key, i = text[i:key_end], key_end + 1
        if text.startswith("{", i):
            value, i = "", i + 1
            while True:
                close = text.index("}", i)
                value += text[i:close]
                if text.startswith("}}", close):
                    value, i = value + "}", close + 2
                else:
                    i = close + 1
                    break
        else:
            end = text.find(";", i)
            end = len(text) if end < 0 else end
            value, i = text[i:end], end
        assert key not in attributes, f"{key} given twice in {text!r}"
        attributes[key] = value
        if i < len(text):
            assert text[i] == ";", text
            i += 1
    return attributes


@pytest.fixture
def odbc_calls(monkeypatch):
    calls = []

    class Connection:
        def __init__(self):
            self.closed = False

        def close(self):
            self.closed = True

    def connect(*args, **kwargs):
        calls.append((args, kwargs, Connection()))
        if "refuse" in args[0]:
            raise RuntimeError("[28000] Login failed")
        return calls[-1][2]

    monkeypatch.setitem(sys.modules, "pyodbc", types.SimpleNamespace(connect=connect))
    return calls


def test_sql_server_plain_values_give_the_documented_string(odbc_calls):
    assert dbtool.get_db_connection("MsSQL", "sa", "Secret1", "db.local", 1433, "sales") == SUCCESS
    [(args, kwargs, connection)] = odbc_calls
    assert args == ("DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=sales;UID=sa;PWD=Secret1",)
    assert 0 < kwargs["timeout"] <= 60
    assert connection.closed


@pytest.mark.parametrize(
    "user, password, host, name",
    [
        ("sa", "x;Trusted_Connection=yes", "h", "d"),
        ("sa", "a}b{c", "h", "d"),
        ("sa", "}", "h", "d"),
        ("sa;DATABASE=master", "p", "h", "d"),
        ("sa", " padded ", "h", "d"),
        ("sa", "p", "evil;DRIVER={Other}", "d"),
        ("sa", "p", "h", "x=y"),
    ],
)
def test_sql_server_values_cannot_add_or_override_attributes(odbc_calls, user, password, host, name):
    assert dbtool.get_db_connection("MsSQL", user, password, host, 1433, name) == SUCCESS
    [(args, _, _)] = odbc_calls
    assert parse_odbc(args[0]) == {
        "DRIVER": "SQL Server", "SERVER": f"{host},1433", "DATABASE": name, "UID": user, "PWD": password}


def test_sql_server_connect_error_becomes_the_failure_text(odbc_calls, capsys):
    result = dbtool.get_db_connection("MsSQL", "refuse", "p", "h", 1433, "d")
    assert result == "Failed to connect to MsSQL database: [28000] Login failed"
    assert capsys.readouterr().out == ""


# -- get_mysql_db_connection / get_pgdb_connection -----------------------------------------------

def test_mysql_connection_is_handed_over_open_with_dict_rows(maria_db, capsys, connection_count):
    before = connection_count(maria_db)
    connection = dbtool.get_mysql_db_connection(*connection_values(maria_db))
    try:
        assert connection_count(maria_db, until=lambda n: n > before) == before + 1
        with connection.cursor() as cursor:
            cursor.execute("SELECT 1 AS one, 'x' AS two")
            assert cursor.fetchall() == [{"one": 1, "two": "x"}]
    finally:
        connection.close()
    assert connection_count(maria_db, until=lambda n: n <= before) <= before
    assert capsys.readouterr().out == ""


def test_mysql_connection_failure_is_printed(maria_db, capsys):
    assert dbtool.get_mysql_db_connection(*connection_values(maria_db, user=PASSWORD_USER, password="no")) is None
    out = capsys.readouterr().out
    assert out.startswith("Failed to connect to the database: (1045, ")
    assert out.count("\n") == 1


def test_pg_connection_is_handed_over_open_with_tuple_rows(pg_db, capsys, connection_count):
    before = connection_count(pg_db)
    connection = dbtool.get_pgdb_connection(*connection_values(pg_db))
    try:
        assert connection_count(pg_db) == before + 1
        with connection.cursor() as cursor:
            cursor.execute("SELECT 1 AS one, 'x' AS two")
            assert cursor.fetchall() == [(1, "x")]
    finally:
        connection.close()
    assert connection_count(pg_db) == before
    assert capsys.readouterr().out == ""


def test_pg_operational_error_is_printed(pg_db, capsys):
    assert dbtool.get_pgdb_connection(*connection_values(pg_db, user=PASSWORD_USER, password="no")) is None
    out = capsys.readouterr().out
    assert out.startswith("The error 'connection to server at \"127.0.0.1\"")
    assert 'password authentication failed for user "zorvan_pw_user"' in out
    assert out.endswith("' occurred\n")


def test_pg_other_connect_errors_reach_the_caller(pg_db, capsys):
    with pytest.raises(ValueError, match="null character"):
        dbtool.get_pgdb_connection(*connection_values(pg_db, name="bad\x00name"))
    assert capsys.readouterr().out == ""
