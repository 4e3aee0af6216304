"""The database handle never changes data or schema, whatever text it is given,
and still answers every kind of read."""

import os

import pytest
import sqlalchemy
from sqlalchemy.exc import SQLAlchemyError

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, ReadOnlyQueryError


@pytest.fixture(scope="module")
def shop(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"},
                          [(1, "pen"), (2, "ink"), (3, "pad")])
    scratch_db.load_table("orders", {"id": "INTEGER PRIMARY KEY", "item_id": "INTEGER", "qty": "INTEGER"},
                          [(10, 1, 5), (11, 2, 1), (12, 1, 2)])
    if scratch_db.is_postgres:
        scratch_db.executescript("""
            CREATE SEQUENCE item_seq;
            CREATE FUNCTION add_item() RETURNS integer AS
              $$ INSERT INTO items VALUES (99, 'added') RETURNING id $$ LANGUAGE sql;
        """)
    else:
        scratch_db.execute("""
            CREATE FUNCTION add_item() RETURNS INTEGER MODIFIES SQL DATA
            BEGIN INSERT INTO items VALUES (99, 'added'); RETURN 99; END""")
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop):
    return CustomSQLDatabase.from_uri(shop.url())


def snapshot(db):
    """Everything a write could touch, read through the harness's own connection."""
    state = {
        "tables": db.table_names(),
        "items": db.query("SELECT id, name FROM items ORDER BY id"),
        "orders": db.query("SELECT id, item_id, qty FROM orders ORDER BY id"),
    }
    if db.is_postgres:
        state["sequence"] = db.query("SELECT last_value, is_called FROM item_seq")
    return state


WRITES_EVERYWHERE = [
    ("INSERT INTO items VALUES (9, 'nib')", "an INSERT statement"),
    ("UPDATE items SET name = 'gone'", "an UPDATE statement"),
    ("DELETE FROM items", "a DELETE statement"),
    ("DROP TABLE orders", "a DROP statement"),
    ("CREATE TABLE extra (a INTEGER)", "a CREATE statement"),
    ("ALTER TABLE items ADD COLUMN extra INTEGER", "an ALTER statement"),
    ("TRUNCATE TABLE orders", "a TRUNCATE statement"),
    ("SELECT * FROM items; DROP TABLE orders", "2 statements in one text"),
    ("SELECT 1;\n-- harmless?\nUPDATE items SET name = 'x';", "2 statements in one text"),
    ("WITH x AS (SELECT 1 AS a) DELETE FROM items", "a DELETE statement"),
    ("SELECT * FROM items FOR UPDATE", "a locking read"),
    ("", "an empty statement"),
    ("  ;  ", "an empty statement"),
]

WRITES_POSTGRES = [
    ("WITH gone AS (DELETE FROM items RETURNING *) SELECT * FROM gone", "a data-modifying WITH query (DELETE"),
    ("WITH x AS (INSERT INTO items VALUES (9, 'nib') RETURNING id) SELECT id FROM x",
     "a data-modifying WITH query (INSERT"),
    ("SELECT * INTO copied FROM items", "a SELECT ... INTO statement"),
    ("EXPLAIN ANALYZE DELETE FROM items", "an EXPLAIN ANALYZE statement"),
    ("EXPLAIN (ANALYZE, BUFFERS) DELETE FROM items", "an EXPLAIN ANALYZE statement"),
    ("COPY items TO '/tmp/zorvan_copy.txt'", "a COPY statement"),
    ("DO $$ BEGIN DELETE FROM items; END $$", "a DO statement"),
    # With standard strings the backslash does not escape: two statements.
    ("SELECT 'a\\'; DROP TABLE orders; --'", "statements in one text"),
    ("SELECT set_config('default_transaction_read_only', 'off', false)", "a call to set_config()"),
    ("SELECT pg_advisory_lock(42)", "a call to pg_advisory_lock()"),
]

WRITES_MARIADB = [
    ("SELECT * FROM items INTO OUTFILE '/tmp/zorvan_out.txt'", "a SELECT ... INTO OUTFILE statement"),
    ("SELECT * FROM items INTO DUMPFILE '/tmp/zorvan_dump.txt'", "a SELECT ... INTO DUMPFILE statement"),
    ("SELECT id INTO @kept FROM items LIMIT 1", "a SELECT ... INTO statement"),
    ("SELECT * FROM items /*! INTO OUTFILE '/tmp/zorvan_comment.txt' */", "an executable comment"),
    ("REPLACE INTO items VALUES (1, 'nib')", "a REPLACE statement"),
    ("RENAME TABLE orders TO orders_old", "a RENAME statement"),
    ("LOAD DATA INFILE '/etc/hostname' INTO TABLE items", "a LOAD statement"),
    ("SELECT GET_LOCK('zorvan', 1)", "a call to get_lock()"),
]


def _expect_refused(handle, db, sql, kind):
    before = snapshot(db)
    with pytest.raises(ReadOnlyQueryError) as caught:
        handle.run(sql)
    message = str(caught.value)
    assert isinstance(caught.value, SQLAlchemyError)
    assert message.startswith("The assistant runs read-only, so this statement was refused: ")
    assert kind in message
    assert caught.value.statement == sql
    assert snapshot(db) == before


@pytest.mark.parametrize("sql, kind", WRITES_EVERYWHERE)
def test_refuses_writes_on_both_servers(handle, shop, sql, kind):
    _expect_refused(handle, shop, sql, kind)


@pytest.mark.parametrize("sql, kind", WRITES_POSTGRES)
def test_refuses_postgres_writes(handle, shop, sql, kind):
    if not shop.is_postgres:
        pytest.skip("PostgreSQL syntax")
    _expect_refused(handle, shop, sql, kind)


@pytest.mark.parametrize("sql, kind", WRITES_MARIADB)
def test_refuses_mariadb_writes(handle, shop, sql, kind):
    if shop.is_postgres:
        pytest.skip("MySQL/MariaDB syntax")
    _expect_refused(handle, shop, sql, kind)
    for name in ("zorvan_out.txt", "zorvan_dump.txt", "zorvan_comment.txt"):
        assert not os.path.exists(f"/tmp/{name}")


def test_refusal_reaches_run_no_throw_as_error_text(handle, shop):
    text = handle.run_no_throw("DELETE FROM items")
    assert text.startswith("Error: The assistant runs read-only")
    assert "DELETE" in text
    assert len(shop.query("SELECT id FROM items")) == 3


def test_unparsable_text_is_refused_with_its_reason(handle, shop):
    with pytest.raises(ReadOnlyQueryError, match="could not be checked") as caught:
        handle.run("SELEC name FROM items")
    assert "SELEC" in str(caught.value)
    with pytest.raises(ReadOnlyQueryError, match="could not be checked"):
        handle.run("SELECT name FROM items WHERE name = 'unterminated")


def test_side_effect_functions_are_stopped_by_the_read_only_transaction(handle, shop):
    """These pass any statement check; the server's read-only transaction refuses them."""
    before = snapshot(shop)
    with pytest.raises(SQLAlchemyError) as caught:
        handle.run("SELECT add_item()")
    assert not isinstance(caught.value, ReadOnlyQueryError)
    assert "read" in str(caught.value).lower() and "only" in str(caught.value).lower()
    if shop.is_postgres:
        with pytest.raises(SQLAlchemyError, match="read-only transaction"):
            handle.run("SELECT nextval('item_seq')")
    assert snapshot(shop) == before
    # The handle stays usable after the server's refusal.
    assert handle.run("SELECT name FROM items WHERE id = 1") == "[('pen',)]"


def test_read_only_holds_on_an_autocommit_engine(shop):
    """An engine in autocommit mode has no transaction of its own to make read-only."""
    engine = sqlalchemy.create_engine(shop.url(), isolation_level="AUTOCOMMIT", pool_size=1, max_overflow=0)
    handle = CustomSQLDatabase(engine)
    before = snapshot(shop)
    with pytest.raises(SQLAlchemyError) as caught:
        handle.run("SELECT add_item()")
    assert "read" in str(caught.value).lower() and "only" in str(caught.value).lower()
    assert snapshot(shop) == before
    assert handle.run("SELECT COUNT(*) FROM items") == "[(3,)]"
    # The pooled connection is handed back in the engine's own mode.
    with engine.connect() as conn:
        conn.exec_driver_sql("CREATE TABLE autocommitted (a INTEGER)")
    assert "autocommitted" in shop.table_names()
    shop.execute("DROP TABLE autocommitted")
    engine.dispose()


READS = [
    "SELECT i.name, o.qty FROM orders o JOIN items i ON i.id = o.item_id ORDER BY o.id",
    "WITH totals AS (SELECT item_id, COUNT(*) AS n FROM orders GROUP BY item_id) "
    "SELECT item_id, n FROM totals ORDER BY item_id",
    "SELECT name FROM items WHERE id = 1 UNION SELECT name FROM items WHERE id = 3 ORDER BY name",
    "SELECT name FROM items WHERE name LIKE 'p%' ORDER BY name",
    "SELECT name FROM items WHERE id IN (SELECT item_id FROM orders WHERE qty > 1)",
    "(SELECT id FROM items ORDER BY id LIMIT 2)",
    "  -- the first item\nSELECT name FROM items WHERE id = 1;  -- done\n",
]


@pytest.mark.parametrize("sql", READS)
def test_answers_reads(handle, shop, sql):
    assert handle.run(sql) == str(shop.query(sql))


def test_bound_parameters(handle, shop):
    assert handle.run("SELECT name FROM items WHERE id = :id", parameters={"id": 2}) == "[('ink',)]"


def test_mariadb_backslash_string_is_one_read(handle, shop):
    if shop.is_postgres:
        pytest.skip("backslash escapes are MySQL/MariaDB string syntax")
    before = snapshot(shop)
    assert handle.run("SELECT 'a\\'; DROP TABLE orders; --'") == "[(\"a'; DROP TABLE orders; --\",)]"
    assert snapshot(shop) == before


def test_sqlalchemy_statements_are_checked_too(handle, shop):
    items = sqlalchemy.table("items", sqlalchemy.column("id"), sqlalchemy.column("name"))
    assert handle.run(sqlalchemy.select(items.c.name).where(items.c.id == 3)) == "[('pad',)]"
    with pytest.raises(ReadOnlyQueryError, match="DELETE"):
        handle.run(sqlalchemy.delete(items))
    assert len(shop.query("SELECT id FROM items")) == 3
