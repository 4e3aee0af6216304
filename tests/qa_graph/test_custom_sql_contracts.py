"""What LangChain's SQL tools and other callers of a SQLDatabase rely on: bound
parameters, schema= and execution options, cursor results for the document
loader, table definitions from metadata=, column comments; and the login's
rights, read when the handle is made."""

import logging

import pytest
import sqlalchemy
from langchain_community.document_loaders import SQLDatabaseLoader
from sqlalchemy.exc import SQLAlchemyError

from support.db import READER_USER
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase, PrivilegedLoginError, ReadOnlyQueryError


@pytest.fixture(scope="module")
def shop(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"},
                          [(1, "pen"), (2, "ink"), (3, "pad")])
    if scratch_db.is_postgres:
        scratch_db.executescript("CREATE SCHEMA sales; CREATE TABLE sales.deals (id INTEGER PRIMARY KEY, "
                                 "item_id INTEGER); INSERT INTO sales.deals VALUES (7, 1)")
        scratch_db.execute("COMMENT ON COLUMN items.name IS 'what it is called'")
    else:
        scratch_db.execute("ALTER TABLE items MODIFY name VARCHAR(40) COMMENT 'what it is called'")
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop):
    return CustomSQLDatabase.from_uri(shop.url())


ITEMS = sqlalchemy.Table("items", sqlalchemy.MetaData(), sqlalchemy.Column("id", sqlalchemy.Integer),
                         sqlalchemy.Column("name", sqlalchemy.String(40)))


def test_parameters_are_bound_and_a_missing_one_is_an_error(handle):
    assert handle.run(sqlalchemy.text("SELECT name FROM items WHERE id = :id"), parameters={"id": 2}) == "[('ink',)]"
    by_name = sqlalchemy.select(ITEMS.c.name).where(ITEMS.c.id == sqlalchemy.bindparam("wanted"))
    assert handle.run(by_name, parameters={"wanted": 3}) == "[('pad',)]"
    assert handle.run("SELECT name FROM items WHERE name = :n", parameters={"n": "pen' OR 'a' = 'a"}) == ""
    with pytest.raises(SQLAlchemyError, match="A value is required for bind parameter 'id'"):
        handle.run(sqlalchemy.text("SELECT name FROM items WHERE id = :id"))


def test_bound_statements_are_checked_as_they_are_sent(handle):
    with pytest.raises(ReadOnlyQueryError, match="load_file|pg_read_file"):
        handle.run(sqlalchemy.select(sqlalchemy.func.load_file("/etc/hostname") if handle.dialect == "mysql"
                                     else sqlalchemy.func.pg_read_file("/etc/hostname")))
    with pytest.raises(ValueError, match="execution option isolation_level is not accepted"):
        handle.run("SELECT 1", execution_options={"isolation_level": "AUTOCOMMIT"})


def test_schema_and_schema_translate_map_are_honoured(shop):
    if not shop.is_postgres:
        pytest.skip("schemas inside a database are PostgreSQL's")
    sales = CustomSQLDatabase.from_uri(shop.url(), schema="sales")
    assert sales.run("SELECT id FROM deals") == "[(7,)]"
    with pytest.raises(ReadOnlyQueryError, match="the table items, which is not among"):
        sales.run("SELECT id FROM items")
    deals = sqlalchemy.Table("deals", sqlalchemy.MetaData(), sqlalchemy.Column("id", sqlalchemy.Integer))
    translated = {"schema_translate_map": {None: "sales"}}
    assert sales.run(sqlalchemy.select(deals.c.id), execution_options=translated) == "[(7,)]"
    with pytest.raises(ReadOnlyQueryError, match="outside the schema public"):
        CustomSQLDatabase.from_uri(shop.url()).run(sqlalchemy.select(deals.c.id), execution_options=translated)


def test_with_limits_changes_the_size_of_results_and_nothing_they_may_reach(shop):
    small = CustomSQLDatabase.from_uri(shop.url(), include_tables=["items"], statement_timeout=5, max_rows=1)
    large = small.with_limits(10)
    assert large.get_usable_table_names() == ["items"] and large.statement_timeout == 5 and large.max_rows == 10
    assert large.run("SELECT name FROM items ORDER BY id") == "[('pen',), ('ink',), ('pad',)]"
    assert "more rows left out" in small.run("SELECT name FROM items ORDER BY id")
    shop.execute("CREATE TABLE secrets (id INTEGER)")
    try:
        with pytest.raises(ReadOnlyQueryError, match="secrets"):
            large.run("SELECT id FROM secrets")
    finally:
        shop.execute("DROP TABLE secrets")


def test_cursor_results_serve_the_document_loader(handle):
    result = handle.run("SELECT id, name FROM items ORDER BY id", fetch="cursor")
    assert [tuple(row) for row in result] == [(1, "pen"), (2, "ink"), (3, "pad")]
    documents = SQLDatabaseLoader("SELECT id, name FROM items ORDER BY id", handle).load()
    assert [d.page_content for d in documents] == ["id: 1\nname: pen", "id: 2\nname: ink", "id: 3\nname: pad"]
    with pytest.raises(ReadOnlyQueryError):
        SQLDatabaseLoader("DELETE FROM items", handle).load()


def test_tables_defined_in_metadata_are_described_as_defined(shop):
    metadata = sqlalchemy.MetaData()
    sqlalchemy.Table("items", metadata, sqlalchemy.Column("id", sqlalchemy.Integer, primary_key=True),
                     sqlalchemy.Column("label", sqlalchemy.Text, comment="as the caller calls it"))
    handle = CustomSQLDatabase.from_uri(shop.url(), metadata=metadata, sample_rows_in_table_info=0)
    text = handle.get_table_info(["items"], get_col_comments=True)
    assert "\tlabel TEXT" in text and "name" not in text.replace("label", "")
    assert "'label': 'as the caller calls it'" in text


def test_column_comments_appear_in_the_table_info(handle, shop):
    plain = handle.get_table_info(["items"])
    with_comments = handle.get_table_info(["items"], get_col_comments=True)
    assert "Column Comments: {'name': 'what it is called'}" in with_comments
    if not shop.is_postgres:  # MySQL's CREATE TABLE carries them, as the stock handle shows it
        assert "name VARCHAR(40) COMMENT 'what it is called'" in plain


def test_custom_info_for_a_table_that_is_not_usable_is_refused(shop):
    with pytest.raises(ValueError, match=r"custom_table_info \{'ghost'\} not found among the usable tables"):
        CustomSQLDatabase.from_uri(shop.url(), custom_table_info={"items": "items: things", "ghost": "x"})


def test_a_select_only_login_has_no_risks(shop, caplog):
    with caplog.at_level(logging.WARNING, logger="zorvanai.qa_graph.custom_sql"):
        reader = CustomSQLDatabase.from_uri(shop.reader_url(), strict=True)
    assert reader.privilege_risks == () and caplog.records == []
    assert reader.run("SELECT name FROM items WHERE id = 1") == "[('pen',)]"


def test_a_privileged_login_is_named_or_refused(shop, caplog, monkeypatch):
    with caplog.at_level(logging.WARNING, logger="zorvanai.qa_graph.custom_sql"):
        admin = CustomSQLDatabase.from_uri(shop.url())
    expected = "it is a superuser" if shop.is_postgres else "it is the server's root account"
    assert expected in admin.privilege_risks[0]
    (record,) = caplog.records
    assert record.levelname == "WARNING" and expected in record.getMessage()
    assert "zorvanai db grant-sql" in record.getMessage() and "ZORVAN_DB_STRICT=1" in record.getMessage()
    monkeypatch.setenv("ZORVAN_DB_STRICT", "1")
    with pytest.raises(PrivilegedLoginError, match="refused because strict mode is on"):
        CustomSQLDatabase.from_uri(shop.url())
    assert CustomSQLDatabase.from_uri(shop.url(), strict=False).privilege_risks == admin.privilege_risks
    monkeypatch.setenv("ZORVAN_DB_STRICT", "yes")
    with pytest.raises(ValueError, match="ZORVAN_DB_STRICT must be 1"):
        CustomSQLDatabase.from_uri(shop.url())


def test_a_login_that_may_write_is_named(shop):
    grant = (f"GRANT INSERT ON items TO {READER_USER}" if shop.is_postgres
             else f"GRANT INSERT ON `{shop.name}`.items TO '{READER_USER}'@'127.0.0.1'")
    shop.execute(grant)
    try:
        risks = CustomSQLDatabase.from_uri(shop.reader_url()).privilege_risks
    finally:
        shop.execute(grant.replace("GRANT", "REVOKE", 1).replace(" TO ", " FROM "))
    assert len(risks) == 1 and "may change data" in risks[0], risks


def test_the_view_tells_the_rest_of_the_package_what_a_query_may_reach(shop):
    view = CustomSQLDatabase.from_uri(shop.url(), ignore_tables=["items"]).view
    assert (view.server, view.usable_tables) == ("postgresql" if shop.is_postgres else "mariadb", ())
    view = CustomSQLDatabase.from_uri(shop.url()).view
    assert view.usable_tables == ("items",) and view.schema == ("public" if shop.is_postgres else shop.name)
    with pytest.raises(AttributeError):
        view.usable_tables = ("pg_authid",)


def test_package_errors_are_one_tree_and_keep_the_bases_callers_catch():
    import openai

    from zorvanai import api, codetool, errors

    assert ReadOnlyQueryError is errors.ReadOnlyQueryError and api.ModelServiceError is errors.ModelServiceError
    for cls, other in [(ReadOnlyQueryError, SQLAlchemyError), (PrivilegedLoginError, SQLAlchemyError),
                       (api.ModelServiceError, openai.OpenAIError), (api.ConfigurationError, RuntimeError),
                       (api.VendorServiceError, RuntimeError), (codetool.ScriptError, Exception),
                       (codetool.InstallationError, RuntimeError)]:
        assert issubclass(cls, errors.ZorvanError) and issubclass(cls, other), cls
    assert issubclass(ReadOnlyQueryError, errors.DatabaseError)
