"""Table discovery and question rewriting against real databases and the model stand-in."""

import inspect

import pytest

import zorvanai.qa_graph.qa_nodes as qa_nodes
from zorvanai.qa_graph.qa_prompts import (GET_RELEVANT_TABLE_NAMES_TEMPLATE, REWRITE_QUESTION_TEMPLATE, SQL_PREFIX,
                                          TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)

TAIL_JSON = '{"relevant_tables": ["TABLE_NAME_1", "TABLE_NAME_2"]}.'


@pytest.fixture(scope="module")
def shop_db(scratch_db):
    scratch_db.load_table("orders", {"id": "INTEGER PRIMARY KEY", "amount": "INTEGER"}, [(1, 30), (2, 12)])
    scratch_db.load_table("customers", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"}, [(1, "Ada")])
    scratch_db.load_table("audit_trail", {"id": "INTEGER PRIMARY KEY", "note": "VARCHAR(40)"})
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop_db):
    from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

    return CustomSQLDatabase.from_uri(shop_db.url())


def fill(template, **values):
    for name, value in values.items():
        template = template.replace("{" + name + "}", value)
    return template


# -- TableNamesLookup -------------------------------------------------------------------------------------

def test_table_names_lookup_lists_the_usable_tables(handle):
    node = qa_nodes.TableNamesLookup(db=handle)
    assert type(node.tool).__name__ == "ListSQLDatabaseTool"
    assert node.invoke({"user_question": "ignored"}, config={}) == {
        "table_names_from_db": "audit_trail, customers, orders"}
    assert node.invoke({}) == {"table_names_from_db": ", ".join(handle.get_usable_table_names())}
    with pytest.raises(TypeError, match="^state must be a mapping, not list$"):
        node.invoke([])


# -- RelevantTableNames -----------------------------------------------------------------------------------

def test_relevant_table_names_asks_the_model_with_the_filled_prompt(handle, model_server):
    model_server.add({"relevant_tables": ["orders", "customers"]}, schema="RelevantTablesOutput")
    node = qa_nodes.RelevantTableNames(db=handle, model=model_server.chat_client())
    assert node.dialect == handle.dialect
    state = {"user_question": "Who ordered most?", "rewritten_question": "",
             "table_names_from_db": ["orders", "customers"]}
    assert node.invoke(state) == {"relevant_tables": ["orders", "customers"]}
    (request,) = model_server.requests_for(schema="RelevantTablesOutput")
    assert request.roles == ["system", "user"]
    assert request.system_text == fill(SQL_PREFIX, dialect=handle.dialect)
    assert request.user_text == fill(GET_RELEVANT_TABLE_NAMES_TEMPLATE, user_question="Who ordered most?",
                                     table_names_from_db="orders,customers") + TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
    assert request.user_text.rstrip().endswith(TAIL_JSON + "\n  </task>")
    assert request.response_schema["properties"]["relevant_tables"]["description"] == "List of relevant table names"


def test_relevant_table_names_prompt_prefers_a_rewritten_question(handle, model_server):
    node = qa_nodes.RelevantTableNames(handle, model_server.chat_client())
    messages = node.generate_prompt({"user_question": "original", "rewritten_question": "rewritten",
                                     "table_names_from_db": "orders, customers"})
    assert [m.type for m in messages] == ["system", "human"]
    assert "<user_question>rewritten</user_question>" in messages[1].content
    assert "<table_names>orders, customers</table_names>" in messages[1].content
    assert messages[1].content.endswith(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)
    with pytest.raises(KeyError, match="rewritten_question"):
        node.generate_prompt({"user_question": "q", "table_names_from_db": "orders"})
    with pytest.raises(TypeError, match="^state must be a mapping, not str$"):
        node.generate_prompt("state")
    assert model_server.requests == []


# -- RelevantSchemas --------------------------------------------------------------------------------------

def test_relevant_schemas_describes_only_the_named_tables(handle):
    node = qa_nodes.RelevantSchemas(db=handle)
    assert type(node.tool).__name__ == "InfoSQLDatabaseTool"
    update = node.invoke({"relevant_tables": ["orders", "customers"], "sql_generation_prompt_type": "correction"})
    assert list(update) == ["sql_generation_prompt_type", "schemas_from_relevant_tables"]
    assert update["sql_generation_prompt_type"] == "generation"
    schemas = update["schemas_from_relevant_tables"]
    assert schemas == handle.get_table_info_no_throw(["orders", "customers"])
    assert "CREATE TABLE" in schemas and "orders" in schemas and "customers" in schemas
    assert "audit_trail" not in schemas


def test_relevant_schemas_with_no_tables_and_with_unknown_tables(handle):
    node = qa_nodes.RelevantSchemas(handle)
    empty = node.invoke({"relevant_tables": []})
    assert empty["sql_generation_prompt_type"] == "generation"
    assert empty["schemas_from_relevant_tables"] == handle.get_table_info_no_throw([""])
    assert "CREATE TABLE" not in empty["schemas_from_relevant_tables"]
    unknown = node.invoke({"relevant_tables": ["no_such_table"]})["schemas_from_relevant_tables"]
    assert unknown.startswith("Error:") and "no_such_table" in unknown
    with pytest.raises(KeyError, match="relevant_tables"):
        node.invoke({})


# -- RewriteQuery -----------------------------------------------------------------------------------------

def test_rewrite_query_shows_every_table_and_the_original_question(handle, model_server):
    model_server.add({"rewritten_question": "What is the total amount of all orders?"}, schema="RewriteQueryOutput")
    node = qa_nodes.RewriteQuery(db=handle, model=model_server.chat_client())
    assert list(vars(node)) == ["model", "tool", "template"]
    state = {"user_question": "How much did we sell?", "rewritten_question": "an earlier rewrite",
             "table_names_from_db": ["audit_trail", "customers", "orders"]}
    assert node.invoke(state) == {"rewritten_question": "What is the total amount of all orders?"}
    (request,) = model_server.requests_for(schema="RewriteQueryOutput")
    schemas = handle.get_table_info_no_throw(["audit_trail", "customers", "orders"])
    assert request.roles == ["system"]
    assert request.system_text == fill(REWRITE_QUESTION_TEMPLATE, user_question="How much did we sell?",
                                       schemas_from_all_tables=schemas)
    assert "an earlier rewrite" not in request.system_text


def test_rewrite_query_passes_a_table_text_unchanged(handle, model_server):
    node = qa_nodes.RewriteQuery(handle, model_server.chat_client())
    (message,) = node.generate_prompt({"user_question": "q", "table_names_from_db": "orders, customers"})
    assert message.content == fill(REWRITE_QUESTION_TEMPLATE, user_question="q",
                                   schemas_from_all_tables=handle.get_table_info_no_throw(["orders", "customers"]))
    assert str(inspect.signature(qa_nodes.RewriteQuery)) == "(db, model)"
