"""The relevant-table picker against the model stand-in and real databases."""

from __future__ import annotations

import inspect

import pytest
from langchain_core.exceptions import OutputParserException
from langchain_core.runnables import Runnable

from zorvanai.function_calling.base import RelevantTablePicker
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

TOOL = "select_relevant_tables"


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("Orders", {"id": "INTEGER PRIMARY KEY", "total": "INTEGER"}, [(1, 10)])
    scratch_db.load_table("customers", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)"}, [(1, "Ada")])
    scratch_db.load_table("line_items", {"id": "INTEGER PRIMARY KEY", "order_id": "INTEGER"}, [(1, 1)])
    return CustomSQLDatabase.from_uri(scratch_db.url())


def picked(model_server, names, times=1):
    model_server.add({"relevant_tables": names}, deployment="gpt35", schema=TOOL, times=times)


def state(question="How much did Ada spend?", tables="Orders, customers, line_items", rewritten=""):
    return {"user_question": question, "rewritten_question": rewritten, "table_names_from_db": tables}


def test_request_is_a_forced_function_call_on_the_lighter_deployment(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    picked(model_server, ["customers", "Orders"])

    assert picker.invoke(state()) == {"relevant_tables": ["customers", "Orders"]}

    (request,) = model_server.requests
    assert request.deployment == "gpt35"
    assert request.tool_names == [TOOL]
    assert request.body["tool_choice"] == {"type": "function", "function": {"name": TOOL}}
    assert request.body["temperature"] == 0
    parameters = request.response_schema
    assert parameters["required"] == ["relevant_tables"]
    assert parameters["properties"]["relevant_tables"]["type"] == "array"
    assert request.roles == ["system", "user"]
    assert f"a {db.dialect} database" in request.system_text
    assert request.user_text == "Tables: Orders, customers, line_items\nQuestion: How much did Ada spend?"
    system, human = picker.generate_prompt(state())
    assert (system.content, human.content) == (request.system_text, request.user_text)


def test_keeps_only_usable_tables_in_database_spelling_and_model_order(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    picked(model_server, [
        "line_items",          # as listed
        "ghost_table",         # not in the database
        "ORDERS",              # other case
        '"public"."customers"',  # quoted and schema-qualified
        "`line_items`",        # duplicate once unquoted
        "orders",              # duplicate once matched
        " [customers] ",       # bracket-quoted duplicate with blanks
    ])
    assert picker.invoke(state()) == {"relevant_tables": ["line_items", "Orders", "customers"]}


def test_nothing_usable_gives_an_empty_list(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    picked(model_server, ["invoices", "public.ghosts", ""])
    assert picker.invoke(state()) == {"relevant_tables": []}


def test_rewritten_question_replaces_the_users_question(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    picked(model_server, ["Orders"], times=2)

    picker.invoke(state(question="original?", rewritten="What is the total of order 1?"))
    picker.invoke(state(question="original?", rewritten=""))

    first, second = model_server.requests
    assert first.user_text.endswith("\nQuestion: What is the total of order 1?")
    assert "original?" not in first.user_text
    assert second.user_text.endswith("\nQuestion: original?")


def test_table_list_given_as_a_list(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    picked(model_server, ["customers"])
    picker.invoke(state(tables=["customers", " Orders ", ""]))
    assert model_server.requests[0].user_text.startswith("Tables: customers, Orders\n")


def test_empty_table_list_asks_no_model(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    assert picker.invoke(state(tables="")) == {"relevant_tables": []}
    assert picker.invoke(state(tables=[])) == {"relevant_tables": []}
    assert model_server.requests == []


def test_reply_without_a_usable_call_is_a_parser_error(model_server, db):
    from support.model_server import Reply

    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    model_server.add("orders and customers", deployment="gpt35")
    with pytest.raises(OutputParserException, match="does not call select_relevant_tables"):
        picker.invoke(state())

    model_server.add(Reply(tool_calls=[(TOOL, {"tables": ["Orders"]})]), deployment="gpt35")
    with pytest.raises(OutputParserException, match="lacks the argument relevant_tables"):
        picker.invoke(state())

    model_server.add(Reply(tool_calls=[(TOOL, {"relevant_tables": "Orders"})]), deployment="gpt35")
    with pytest.raises(OutputParserException, match="not a list"):
        picker.invoke(state())

    model_server.add(Reply(tool_calls=[(TOOL, '{"relevant_tables": [')]), deployment="gpt35")
    with pytest.raises(OutputParserException, match="not JSON"):
        picker.invoke(state())


def test_state_must_be_a_mapping_with_question_and_tables(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    with pytest.raises(TypeError, match="^state must be a mapping, not list$"):
        picker.invoke([("user_question", "q")])
    with pytest.raises(KeyError, match="table_names_from_db"):
        picker.invoke({"user_question": "q", "rewritten_question": ""})
    assert model_server.requests == []


def test_is_a_runnable_usable_as_a_graph_node(model_server, db):
    picker = RelevantTablePicker(config=model_server.config_35(), db=db)
    assert isinstance(picker, Runnable)
    assert str(inspect.signature(RelevantTablePicker)) == "(config, db, shortlist_size=60)"
    assert str(inspect.signature(picker.invoke)) == "(state, **kwargs)"
    picked(model_server, ["Orders"])
    # Keyword arguments such as a run configuration are ignored.
    assert picker.invoke(state(), config={"tags": ["x"]}) == {"relevant_tables": ["Orders"]}
