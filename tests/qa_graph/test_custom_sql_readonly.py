"""The database handle never changes data or schema, whatever text it is given,
and still answers every kind of read."""

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


NOT_QUERIES = [
    ("INSERT INTO items VALUES (9, 'nib')", "an INSERT statement"),
    ("UPDATE items SET name = 'gone'", "an UPDATE statement"),
    ("DELETE FROM items", "a DELETE statement"),
    ("DROP TABLE orders", "a DROP statement"),
    ("CREATE TABLE extra (a INTEGER)", "a CREATE statement"),
    ("ALTER TABLE items ADD COLUMN extra INTEGER", "an ALTER statement"),
    ("TRUNCATE TABLE orders", "a TRUNCATE statement"),
    ("EXPLAIN ANALYZE DELETE FROM items", "an EXPLAIN statement"),
    ("WITH x AS (SELECT 1 AS a) DELETE FROM items", "DELETE"),
    ("", "an empty statement"),
    ("  ;  ", "an empty statement"),
]


@pytest.mark.parametrize("sql, kind", NOT_QUERIES)
def test_statements_that_are_not_queries_are_refused(handle, shop, sql, kind):
    before = snapshot(shop)
    with pytest.raises(ReadOnlyQueryError) as caught:
        handle.run(sql)
    assert isinstance(caught.value, SQLAlchemyError)
    assert str(caught.value).startswith("This query was not run: ") and kind in str(caught.value)
    assert "Send exactly one query that only reads data" in str(caught.value)
    assert caught.value.statement == sql
    assert snapshot(shop) == before


def test_unparsable_text_is_refused_with_its_reason(handle, shop):
    with pytest.raises(ReadOnlyQueryError, match="a SELEC statement"):
        handle.run("SELEC name FROM items")
    with pytest.raises(ReadOnlyQueryError, match="could not be checked"):
        handle.run("SELECT name FROM items WHERE name = 'unterminated")


def test_user_functions_are_refused_by_name(handle, shop):
    """A function of the database may write; only built-ins that compute values pass."""
    before = snapshot(shop)
    with pytest.raises(ReadOnlyQueryError, match=r"a call to add_item\(\)"):
        handle.run("SELECT add_item()")
    assert snapshot(shop) == before
    assert handle.run("SELECT name FROM items WHERE id = 1") == "[('pen',)]"


def test_read_only_holds_on_an_autocommit_engine(shop):
    """An engine in autocommit mode has no transaction of its own to make read-only;
    the handle makes one and hands the connection back in the engine's mode."""
    engine = sqlalchemy.create_engine(shop.url(), isolation_level="AUTOCOMMIT", pool_size=1, max_overflow=0)
    handle = CustomSQLDatabase(engine)
    assert handle.run("SELECT COUNT(*) FROM items") == "[(3,)]"
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
    "SELECT name, CASE WHEN id > 1 THEN 'late' ELSE 'early' END AS phase FROM items ORDER BY id",
    "SELECT item_id, SUM(qty) AS total, COUNT(*) FROM orders GROUP BY item_id HAVING SUM(qty) > 1 ORDER BY item_id",
    "SELECT id, ROW_NUMBER() OVER (ORDER BY id DESC) AS r, LAG(name) OVER (ORDER BY id) FROM items ORDER BY id",
    "SELECT UPPER(name), LENGTH(name), SUBSTRING(name, 1, 2), COALESCE(NULL, name) FROM items ORDER BY id",
    "SELECT i.id, i.id FROM items i ORDER BY 1",
    "  -- the first item\nSELECT name FROM items WHERE id = 1;  -- done\n",
]


@pytest.mark.parametrize("sql", READS)
def test_answers_reads(handle, shop, sql):
    assert handle.run(sql) == str(shop.query(sql))


def test_errors_are_about_the_query_as_written(handle, shop):
    """The model reads the server's message, position and hint about its own query,
    not the statement that wrapped it."""
    with pytest.raises(SQLAlchemyError) as caught:
        handle.run("SELECT nme\nFROM items")
    text = str(caught.value)
    assert "DECLARE" not in text and "zorvan_" not in text and "sqlalche.me" not in text
    assert text.endswith("[SQL: SELECT nme\nFROM items]")
    if shop.is_postgres:
        assert text.startswith('(psycopg2.errors.UndefinedColumn) column "nme" does not exist\n'
                               "LINE 1: SELECT nme\n               ^\nHINT:  Perhaps you meant")
    else:
        assert text.startswith("(mysql.connector.errors.ProgrammingError) 1054 (42S22): Unknown column 'nme'")


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
    with pytest.raises(ReadOnlyQueryError, match="a DELETE statement"):
        handle.run(sqlalchemy.delete(items))
    assert len(shop.query("SELECT id FROM items")) == 3
