"""Queries a hostile model might write, by class of attack, on both servers.

Each refused query must leave the server as it was and give the model a
refusal that says what to change. The handle connects as the superuser or
root, the worst case, so that only the query check stands in the way.
"""

import os

import pytest
import sqlalchemy
from langchain_community.tools.sql_database.tool import QuerySQLDatabaseTool
from sqlalchemy.exc import OperationalError, SQLAlchemyError

from support.interrupt import interrupt_when_running, running_statement
from support.tcp_proxy import SilentProxy
from zorvanai.qa_graph import qa_nodes
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, ReadOnlyQueryError

FILES = ["/tmp/zorvan_attack_out.txt", "/tmp/zorvan_attack_dump.txt", "/tmp/zorvan_attack_copy.txt"]


@pytest.fixture(scope="module")
def shop(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"},
                          [(1, "pen"), (2, "ink"), (3, "pad")])
    scratch_db.load_table("numbers", {"n": "INTEGER PRIMARY KEY"}, [(i,) for i in range(1000)])
    scratch_db.load_table("secrets", {"v": "VARCHAR(40)"}, [("hidden",)])
    if scratch_db.is_postgres:
        scratch_db.execute("CREATE FUNCTION add_item() RETURNS integer AS "
                           "$$ INSERT INTO items VALUES (99, 'added') RETURNING id $$ LANGUAGE sql")
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop):
    return CustomSQLDatabase.from_uri(shop.url(), ignore_tables=["secrets"])


def snapshot(db):
    """What an attack could change, read through the harness's own connection."""
    state = {"tables": db.table_names(), "items": db.query("SELECT id, name FROM items ORDER BY id"),
             "files": [path for path in FILES if os.path.exists(path)]}
    if db.is_postgres:
        state["locks"] = db.query("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'")
        state["slots"] = db.query("SELECT count(*) FROM pg_replication_slots")
    else:
        state["lock"] = db.query("SELECT IS_USED_LOCK('zorvan')")
    return state


def refused(handle, db, sql, *expected):
    before = snapshot(db)
    with pytest.raises(ReadOnlyQueryError) as caught:
        handle.run(sql)
    message = str(caught.value)
    assert isinstance(caught.value, SQLAlchemyError) and caught.value.statement == sql
    assert message.startswith("This query was not run: "), message
    for part in expected:
        assert part in message, message
    assert snapshot(db) == before
    return message


def per_server(db, postgres, mariadb):
    return postgres if db.is_postgres else mariadb


ATTACKS = {
    "sql in string arguments": (
        [("SELECT query_to_xml('DELETE FROM items RETURNING id', true, true, '')", "query_to_xml()"),
         ("SELECT * FROM items WHERE id IN (SELECT (xpath('/x', query_to_xml('SELECT add_item()', true, true, "
          "'')))[1]::text::int)", "xpath()")],
        [("PREPARE s FROM 'DELETE FROM items'", "a PREPARE statement"),
         ("SELECT EXTRACTVALUE('<a/>', '/a') FROM items", "extractvalue()")]),
    "escaped identifiers": (
        [('SELECT "add_item"()', "add_item()"), ('SELECT "pg_catalog"."pg_read_file"(\'/etc/hostname\')', "qualified name"),
         ('SELECT * FROM U&"pg\\005fuser"', "Unicode-escaped"), ('SELECT "SECRETS".v FROM "secrets"', "secrets")],
        [("SELECT `sleep`(1)", "sleep()"), ("SELECT * FROM `mysql`.`user`", "outside"),
         ("SELECT v FROM `secrets`", "secrets"), ("SELECT `LOAD_FILE`('/etc/hostname')", "load_file()")]),
    "session settings": (
        [("SELECT set_config('standard_conforming_strings', 'off', false)", "set_config()"),
         ("SELECT current_setting('data_directory')", "current_setting()")],
        [("SELECT @@session.sql_mode := 'ANSI_QUOTES'", "session variable"),
         ("SET STATEMENT sql_mode = 'ANSI_QUOTES' FOR SELECT 1", "a SET statement")]),
    "stacked statements": (
        [("SELECT 1; DELETE FROM items", "2 statements"), ("SELECT 'a\\'; DROP TABLE items; --'", "statements"),
         ("WITH x AS (DELETE FROM items RETURNING id) SELECT id FROM x", "DELETE")],
        [("SELECT 1; DELETE FROM items", "2 statements"), ("SELECT 1 /*! ; DELETE FROM items */", "executes"),
         ("SELECT 1 --x\n; DELETE FROM items", "2 statements")]),
    "catalogs and other databases": (
        [("SELECT usename, passwd FROM pg_shadow", "pg_shadow"), ("SELECT query FROM pg_stat_activity",
                                                                  "pg_stat_activity"),
         ("SELECT * FROM information_schema.tables", "outside"), ("SELECT * FROM postgres.public.items", "outside"),
         ("SELECT usename FROM (WITH pg_user AS (SELECT 1 AS a) SELECT a FROM pg_user) x, pg_user", "pg_user"),
         ("SELECT v FROM secrets", "secrets")],
        [("SELECT User, Password FROM mysql.user", "outside"),
         ("SELECT INFO FROM information_schema.PROCESSLIST", "outside"), ("SELECT v FROM secrets", "secrets")]),
    "file and program functions": (
        [("SELECT pg_read_file('/etc/hostname')", "pg_read_file()"), ("SELECT * FROM pg_ls_dir('.')", "pg_ls_dir()"),
         ("SELECT lo_import('/etc/hostname')", "lo_import()"),
         (f"COPY (SELECT 1) TO PROGRAM 'touch {FILES[2]}'", "a COPY statement"),
         ("SELECT pg_create_logical_replication_slot('zorvan', 'test_decoding')", "pg_create_logical")],
        [("SELECT LOAD_FILE('/etc/hostname')", "load_file()"),
         (f"SELECT * FROM items INTO OUTFILE '{FILES[0]}'", "OUTFILE"),
         (f"SELECT * FROM items INTO DUMPFILE '{FILES[1]}'", "DUMPFILE")]),
    "locks and session state": (
        [("SELECT pg_advisory_lock(42)", "pg_advisory_lock()"), ("SELECT * FROM items FOR UPDATE", "locking"),
         ("SELECT * INTO TEMP kept FROM items", "INTO")],
        [("SELECT GET_LOCK('zorvan', 1)", "get_lock()"), ("SELECT id INTO @kept FROM items LIMIT 1", "INTO"),
         ("SELECT * FROM items LOCK IN SHARE MODE", "locking"), ("SELECT @kept := 1", "session variable")]),
}


@pytest.mark.parametrize("attack", sorted(ATTACKS))
def test_attacks_are_refused_before_they_reach_the_server(handle, shop, attack):
    for sql, expected in per_server(shop, *ATTACKS[attack]):
        refused(handle, shop, sql, expected)


def test_refusals_reach_the_model_through_the_correction_loop(handle, shop):
    update = qa_nodes.SQLExecution(handle).invoke({"generated_sql_query": ["SELECT LOAD_FILE('/etc/passwd')"]})
    assert update["execution_success"] is False
    (text,) = update["sql_execution_result"]
    assert text.startswith("This query was not run: a call to load_file()") and "rewrite the query without" in text
    assert handle.run_no_throw("SELECT v FROM secrets").startswith("Error: This query was not run: the table secrets")
    assert "Query only these tables: items, numbers." in handle.run_no_throw("SELECT v FROM secrets")
    tool_text = QuerySQLDatabaseTool(db=handle).invoke("SELECT v FROM secrets")
    assert tool_text.startswith("Error: This query was not run: the table secrets")


def test_lexing_settings_left_on_a_pooled_connection_are_pinned_again(shop):
    """Another user of the engine left the server reading strings differently; the
    text the check read as one string must still reach the server as one string."""
    engine = sqlalchemy.create_engine(shop.url(), pool_size=1, max_overflow=0)
    setting = per_server(shop, "SET standard_conforming_strings = off", "SET SESSION sql_mode = 'ANSI_QUOTES'")
    with engine.connect() as conn:
        conn.exec_driver_sql(setting)
        conn.commit()
    handle = CustomSQLDatabase(engine)
    before = snapshot(shop)
    sql = per_server(shop, "SELECT 'x\\', 42 --'", 'SELECT "a", 42')
    assert handle.run(sql) == per_server(shop, "[('x\\\\', 42)]", "[('a', 42)]")
    assert snapshot(shop) == before
    engine.dispose()


def test_session_state_does_not_outlive_a_question(shop):
    engine = sqlalchemy.create_engine(shop.url(), pool_size=1, max_overflow=0)
    handle = CustomSQLDatabase(engine)
    with engine.connect() as conn:
        conn.exec_driver_sql(per_server(shop, "SELECT pg_advisory_lock(7)", "SELECT GET_LOCK('zorvan', 1)"))
        if not shop.is_postgres:
            conn.exec_driver_sql("SET @kept = 'left over'")
        conn.commit()
    assert snapshot(shop)[per_server(shop, "locks", "lock")] != per_server(shop, [(0,)], [(None,)])
    assert handle.run("SELECT COUNT(*) FROM items") == "[(3,)]"
    with engine.connect() as conn:  # the same pooled connection, after the question
        if shop.is_postgres:
            assert conn.exec_driver_sql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' "
                                        "AND pid = pg_backend_pid()").scalar() == 0
        else:
            assert conn.exec_driver_sql("SELECT IS_USED_LOCK('zorvan'), @kept").one() == (None, None)
    engine.dispose()


@pytest.mark.parametrize("binary", [False, True], ids=["text", "bytes"])
def test_oversized_values_are_cut_on_the_server(shop, binary):
    """Eight values of 2 MB: the text stays within its budget and the memory with it."""
    import tracemalloc

    kind = per_server(shop, "BYTEA" if binary else "TEXT", "LONGBLOB" if binary else "LONGTEXT")
    fill = per_server(shop, "convert_to(repeat('x', 2000000), 'UTF8')" if binary else "repeat('x', 2000000)",
                      "REPEAT('x', 2000000)")
    shop.load_table("big", {"id": "INTEGER", "v": kind})
    shop.execute(f"INSERT INTO big SELECT n, {fill} FROM numbers WHERE n < 8")

    handle = CustomSQLDatabase.from_uri(shop.url(), max_string_length=0)
    handle.run("SELECT COUNT(*) FROM items")
    tracemalloc.start()
    try:
        text = handle.run("SELECT id, v FROM big ORDER BY id")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        shop.execute("DROP TABLE big")
    first, note = text.split("\n")
    assert len(first.encode()) <= handle.max_result_bytes and first.endswith(" ...[row cut]]")
    assert note == "[7 more rows left out: the result has 8 rows and only the first 1 are shown, to keep the text " \
                   "within 65536 bytes]"
    assert peak < 4_000_000  # the values alone are 16 MB


def test_a_silent_server_ends_the_question_with_a_clear_error(shop):
    with SilentProxy(shop.host, shop.port, trigger=b"zorvan-silence") as proxy:
        url = shop.url().replace(f":{shop.port}/", f":{proxy.port}/")
        handle = CustomSQLDatabase.from_uri(url, statement_timeout=1)
        assert handle.run("SELECT COUNT(*) FROM items") == "[(3,)]"
        before = snapshot(shop)
        with pytest.raises(OperationalError, match="did not answer within 11 seconds") as caught:
            handle.run("SELECT 'zorvan-silence' AS m, id FROM items")
        assert proxy.silenced.is_set()
        assert "[SQL: SELECT 'zorvan-silence' AS m, id FROM items]" in str(caught.value)
        assert snapshot(shop) == before


def test_an_interrupt_stops_the_statement_on_the_server(handle, shop):
    with interrupt_when_running(shop) as seen:
        with pytest.raises(KeyboardInterrupt):
            handle.run("SELECT COUNT(*) FROM numbers a, numbers b, numbers c, numbers d")
    assert seen["session"] is not None
    assert running_statement(shop) is None
    assert handle.run("SELECT COUNT(*) FROM items") == "[(3,)]"
