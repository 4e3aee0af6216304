"""Table listing and table definitions of the database handle, directly and
through LangChain's SQL tools; both read only what they are asked for."""

import re

import pytest
import sqlalchemy
from langchain_community.tools.sql_database.tool import (
    InfoSQLDatabaseTool,
    ListSQLDatabaseTool,
    QuerySQLCheckerTool,
)
from langchain_community.utilities import SQLDatabase

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase


@pytest.fixture(scope="module")
def shop(scratch_db):
    scratch_db.load_table("customers", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40) NOT NULL",
                                        "balance": "NUMERIC(10,2)", "note": "TEXT"},
                          [(1, "Ann", 1.5, "x" * 150), (2, "Bob", None, None), (3, "Cy", 0, "ok"), (4, "Di", 2, "")])
    scratch_db.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL, "
                       "CONSTRAINT orders_customer FOREIGN KEY (customer_id) REFERENCES customers (id))")
    scratch_db.execute("CREATE VIEW rich AS SELECT id FROM customers WHERE balance > 1")
    scratch_db.load_table("Zeta", {"a": "INTEGER"})
    scratch_db.load_table("alpha", {"a": "INTEGER"})
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop):
    return CustomSQLDatabase.from_uri(shop.url())


def test_lists_tables_sorted_without_views(handle, shop):
    assert handle.get_usable_table_names() == ["Zeta", "alpha", "customers", "orders"]
    assert handle.get_table_names() == handle.get_usable_table_names()
    assert ListSQLDatabaseTool(db=handle)._run() == "Zeta, alpha, customers, orders"


def test_include_ignore_and_views(shop):
    assert CustomSQLDatabase.from_uri(shop.url(), include_tables=["orders", "alpha"]).get_usable_table_names() == [
        "alpha", "orders"]
    assert CustomSQLDatabase.from_uri(shop.url(), ignore_tables=["Zeta"]).get_usable_table_names() == [
        "alpha", "customers", "orders"]
    assert "rich" in CustomSQLDatabase.from_uri(shop.url(), view_support=True).get_usable_table_names()
    with pytest.raises(ValueError, match=r"^include_tables \{'nope'\} not found in database$"):
        CustomSQLDatabase.from_uri(shop.url(), include_tables=["nope"])
    with pytest.raises(ValueError, match=r"^ignore_tables \{'nope'\} not found in database$"):
        CustomSQLDatabase.from_uri(shop.url(), ignore_tables=["nope"])
    with pytest.raises(ValueError, match="Cannot specify both include_tables and ignore_tables"):
        CustomSQLDatabase.from_uri(shop.url(), include_tables=["orders"], ignore_tables=["alpha"])


def test_new_tables_are_seen_without_a_new_handle(handle, shop):
    shop.load_table("later", {"a": "INTEGER"}, [(1,)])
    try:
        assert "later" in handle.get_usable_table_names()
        assert "CREATE TABLE later" in handle.get_table_info(["later"])
    finally:
        shop.execute("DROP TABLE later")
    assert "later" not in handle.get_usable_table_names()


def test_definitions_have_the_stock_form(handle, shop):
    """Same text as LangChain's own SQLDatabase gives for these tables (which renders
    MySQL table options after the closing parenthesis; ours leaves them out)."""
    ours = handle.get_table_info(["orders", "customers"])
    stock = SQLDatabase.from_uri(shop.url()).get_table_info(["orders", "customers"])
    assert ours == re.sub(r"\)ENGINE=[^\n]*", ")", stock)
    assert "PRIMARY KEY (id)" in ours
    assert "FOREIGN KEY(customer_id) REFERENCES customers (id)" in ours
    assert "\n3 rows from customers table:\nid\tname\tbalance\tnote\n1\tAnn\t1.50\t" + "x" * 100 + "\n2\tBob" in ours
    assert ours.startswith("\nCREATE TABLE customers (\n\tid INTEGER")


def test_info_tool_reads_the_named_tables_only(handle):
    text = InfoSQLDatabaseTool(db=handle)._run("orders, alpha")
    assert "CREATE TABLE orders" in text and "CREATE TABLE alpha" in text
    assert "CREATE TABLE customers" not in text
    assert text.index("CREATE TABLE alpha") < text.index("CREATE TABLE orders")


def test_unknown_table_gives_the_error_text(handle):
    assert InfoSQLDatabaseTool(db=handle)._run("nope") == "Error: table_names {'nope'} not found in database"
    assert handle.get_table_info_no_throw(["orders", "rich"]) == "Error: table_names {'rich'} not found in database"
    with pytest.raises(ValueError, match=r"^table_names \{'nope'\} not found in database$"):
        handle.get_table_info(["nope"])
    assert InfoSQLDatabaseTool(db=handle)._run("") == "Error: table_names {''} not found in database"


def test_sample_rows_indexes_and_custom_info(shop):
    one_row = CustomSQLDatabase.from_uri(shop.url(), sample_rows_in_table_info=1)
    assert "\n1 rows from customers table:\nid\tname\tbalance\tnote\n1\tAnn\t1.50\t" in one_row.get_table_info(
        ["customers"])
    assert "2\tBob" not in one_row.get_table_info(["customers"])
    bare = CustomSQLDatabase.from_uri(shop.url(), sample_rows_in_table_info=0)
    assert "/*" not in bare.get_table_info(["customers"])
    indexed = CustomSQLDatabase.from_uri(shop.url(), indexes_in_table_info=True, sample_rows_in_table_info=0)
    assert "Table Indexes:\n" in indexed.get_table_info(["orders"])
    custom = CustomSQLDatabase.from_uri(shop.url(), custom_table_info={"alpha": "alpha: one column a"})
    assert custom.get_table_info(["alpha", "Zeta"]).endswith("\n\nalpha: one column a")
    with pytest.raises(TypeError, match="sample_rows_in_table_info must be an integer"):
        CustomSQLDatabase.from_uri(shop.url(), sample_rows_in_table_info="3")


def test_all_definitions_and_context(handle):
    everything = handle.table_info
    assert re.findall(r"CREATE TABLE [\"`]?(\w+)", everything) == ["Zeta", "alpha", "customers", "orders"]
    assert 'CREATE TABLE "Zeta"' in everything or "CREATE TABLE `Zeta`" in everything
    context = handle.get_context()
    assert context == {"table_info": everything, "table_names": "Zeta, alpha, customers, orders"}


def test_postgres_schema_is_honoured(shop):
    if not shop.is_postgres:
        pytest.skip("schemas are PostgreSQL's")
    shop.executescript("CREATE SCHEMA sales; CREATE TABLE sales.deals (id INTEGER PRIMARY KEY)")
    handle = CustomSQLDatabase.from_uri(shop.url(), schema="sales")
    assert handle.get_usable_table_names() == ["deals"]
    assert handle.get_table_info(["deals"]).startswith("\nCREATE TABLE sales.deals (\n\tid INTEGER NOT NULL")


class StatementLog:
    """Every statement the engine sends, through SQLAlchemy's event hooks."""

    def __init__(self, engine):
        self.statements = []
        sqlalchemy.event.listen(engine, "before_cursor_execute", self._record)

    def _record(self, conn, cursor, statement, parameters, context, executemany):
        self.statements.append(statement)

    def take(self):
        taken, self.statements = self.statements, []
        return taken


# A query that lists every table of the schema (ours, or SQLAlchemy's inspector's).
LISTING = re.compile(r"SELECT c\.relname FROM pg_catalog\.pg_class c|SELECT TABLE_NAME FROM information_schema\.TABLES"
                     r"|SHOW FULL TABLES|SHOW TABLES")


def test_discovery_is_lazy(shop):
    for i in range(30):
        shop.load_table(f"filler_{i:02d}", {"a": "INTEGER"})
    engine = sqlalchemy.create_engine(shop.url())
    log = StatementLog(engine)
    handle = CustomSQLDatabase(engine)
    made = log.take()
    # Making the handle reads the login's rights, but lists no tables.
    assert not any(LISTING.search(s) for s in made) and len(made) <= 5, made
    assert len(handle._metadata.tables) == 0

    names = handle.get_usable_table_names()
    assert len(names) == 34
    listed = log.take()
    assert len([s for s in listed if LISTING.search(s)]) == 1
    assert not any(re.search(r"relname = ANY|TABLE_NAME IN|SHOW CREATE", s) for s in listed)

    handle.get_table_info(["orders"])
    few = log.take()
    assert not any("filler_" in str(s) for s in few)
    # The name is looked up, not found in a listing of the whole schema.
    lookups = [s for s in few if LISTING.search(s)]
    assert len(lookups) == 1 and re.search(r"relname = ANY|TABLE_NAME IN", lookups[0]), few
    for i in range(30, 60):
        shop.load_table(f"filler_{i:02d}", {"a": "INTEGER"})
    handle.get_table_info(["orders"])
    # Reading one definition costs the same however many tables there are.
    assert len(log.take()) == len(few)
    engine.dispose()


def test_query_checker_tool_uses_the_dialect(handle, shop, model_server):
    model_server.add("SELECT name FROM customers")
    checker = QuerySQLCheckerTool(db=handle, llm=model_server.chat_client())
    assert checker._run("SELECT nme FROM customers") == "SELECT name FROM customers"
    (request,) = model_server.requests
    expected = "postgresql" if shop.is_postgres else "mysql"
    assert handle.dialect == expected
    assert f"Double check the {expected} query above" in request.user_text
    assert "SELECT nme FROM customers" in request.user_text
