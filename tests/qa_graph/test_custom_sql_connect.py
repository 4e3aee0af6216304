"""Making the database handle: addresses, connection failures, settings, and
results in the same shape as LangChain's own SQLDatabase."""

import inspect
import os
import socket
from decimal import Decimal

import pytest
import sqlalchemy
from langchain_community.utilities import SQLDatabase

from support.db import CLOSED_PORT, PASSWORD, PASSWORD_USER
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, ReadOnlyQueryError


@pytest.fixture(scope="module")
def sample(scratch_db):
    scratch_db.load_table(
        "things",
        {"id": "INTEGER PRIMARY KEY", "label": "VARCHAR(400)", "price": "NUMERIC(8,2)", "made": "DATE"},
        [(1, "short", Decimal("2.50"), "2024-02-29"), (2, "word " * 70, None, None), (3, "", Decimal("0"), None)])
    return scratch_db


def _plain_engine_error(url):
    """What SQLAlchemy alone raises for this address."""
    try:
        engine = sqlalchemy.create_engine(url)
        engine.connect().close()
    except Exception as error:  # noqa: BLE001 - the error is the point
        return error
    raise AssertionError(f"{url} connected")


@pytest.mark.parametrize("url", [
    "None://user:pw@127.0.0.1:5432/db",
    "mssql+pyodbc://user:pw@127.0.0.1:1433/db",
    f"postgresql+psycopg2://postgres@127.0.0.1:{CLOSED_PORT}/db",
    f"mysql+mysqlconnector://root@127.0.0.1:{CLOSED_PORT}/db",
], ids=["unknown_scheme", "mssql_without_odbc", "postgres_unreachable", "mysql_unreachable"])
def test_bad_address_fails_at_from_uri_with_the_library_error(url):
    expected = _plain_engine_error(url)
    with pytest.raises(type(expected)) as caught:
        CustomSQLDatabase.from_uri(url)
    assert str(caught.value) == str(expected)


def test_wrong_password_fails_at_from_uri(sample):
    url = sample.url(user=PASSWORD_USER, password="wrong")
    expected = _plain_engine_error(url)
    with pytest.raises(type(expected), match="(?i)password|access denied"):
        CustomSQLDatabase.from_uri(url)


def test_password_login_with_url_quoted_password(sample):
    handle = CustomSQLDatabase.from_uri(sample.url(user=PASSWORD_USER, password=PASSWORD))
    assert handle.run("SELECT 1") == "[(1,)]"
    assert repr(handle).startswith(f"CustomSQLDatabase({handle.dialect}+")
    assert "***" in repr(handle) and "rd%" not in repr(handle) and "p@ss" not in repr(handle)


def test_handle_is_a_langchain_sql_database(sample):
    handle = CustomSQLDatabase.from_uri(sample.url())
    assert isinstance(handle, SQLDatabase)
    assert handle.dialect == ("postgresql" if sample.is_postgres else "mysql")
    assert list(inspect.signature(CustomSQLDatabase.from_uri).parameters) == [
        "database_uri", "engine_args", "connect_timeout", "kwargs"]
    assert "statement_timeout" in inspect.signature(CustomSQLDatabase).parameters


def test_engine_pools_with_a_liveness_check_and_connect_limit(sample):
    handle = CustomSQLDatabase.from_uri(sample.url(), connect_timeout=3, statement_timeout=5)
    assert handle._engine.pool._pre_ping is True
    assert handle.run("SELECT COUNT(*) FROM things") == "[(3,)]"
    raw = handle._engine.raw_connection()  # the connection the handle just used
    try:
        driver = raw.driver_connection
        if sample.is_postgres:
            assert "connect_timeout=3" in driver.dsn and "keepalives=1" in driver.dsn
            sock = socket.socket(fileno=os.dup(driver.fileno()))
        else:
            assert driver.read_timeout == 20  # the statement limit and 15 s more
            sock = socket.socket(fileno=os.dup(driver._socket.sock.fileno()))
        with sock:
            assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE) == 1
    finally:
        raw.close()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"statement_timeout": -1}, ValueError, "statement_timeout must be 0 or more seconds"),
    ({"statement_timeout": "60"}, TypeError, "statement_timeout must be a number of seconds or None, not str"),
    ({"max_rows": 0}, ValueError, "max_rows must be a whole number of 1 or more"),
    ({"max_result_bytes": 100}, ValueError, "max_result_bytes must be a whole number of bytes, 1024 or more"),
    ({"custom_table_info": ["x"]}, TypeError, "table_info must be a dictionary"),
])
def test_settings_are_checked(sample, kwargs, error, message):
    with pytest.raises(error, match=message):
        CustomSQLDatabase.from_uri(sample.url(), **kwargs)


def test_engine_must_be_an_engine():
    with pytest.raises(TypeError, match="engine must be a sqlalchemy Engine, not str"):
        CustomSQLDatabase("postgresql://x")


STOCK_SHAPED = [
    ("SELECT id, label, price, made FROM things ORDER BY id", {}),
    ("SELECT id, label, price, made FROM things ORDER BY id", {"include_columns": True}),
    ("SELECT id, label FROM things ORDER BY id DESC", {"fetch": "one"}),
    ("SELECT id FROM things WHERE id > 100", {}),
    ("SELECT id FROM things WHERE id > 100", {"fetch": "one"}),
    ("SELECT COUNT(*) AS n, SUM(price) AS total FROM things", {"include_columns": True}),
]


@pytest.mark.parametrize("sql, kwargs", STOCK_SHAPED)
def test_results_below_the_cap_match_the_stock_handle(sample, sql, kwargs):
    engine = sqlalchemy.create_engine(sample.url())
    stock = SQLDatabase(engine, lazy_table_reflection=True).run(sql, **kwargs)
    assert CustomSQLDatabase(engine).run(sql, **kwargs) == stock
    short = SQLDatabase(engine, lazy_table_reflection=True, max_string_length=12).run(sql, **kwargs)
    assert CustomSQLDatabase(engine, max_string_length=12).run(sql, **kwargs) == short
    engine.dispose()


def test_long_text_values_are_cut_like_the_stock_handle(sample):
    text = CustomSQLDatabase.from_uri(sample.url()).run("SELECT label FROM things WHERE id = 2")
    value = eval(text)[0][0]  # noqa: S307 - the text is a Python literal of the rows
    assert value.endswith("...") and len(value) <= 300
    assert value == ("word " * 70)[:297].rsplit(" ", 1)[0] + "..."
