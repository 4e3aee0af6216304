"""SQL generation, checking and execution against real databases and the model stand-in."""

import inspect
import math
import operator
import re
from typing import Annotated, List, TypedDict

import pytest
from langgraph.graph import END, StateGraph
from loguru import logger

import zorvanai.qa_graph.qa_nodes as qa_nodes
from zorvanai.qa_graph.qa_prompts import SQL_PREFIX

GENERATION_SYSTEM_TEXT = (
    "You are an agent designed to interact with a SQL database.\n"
    "                    Given an input question, create a syntactically correct {dialect} query to run, then look at "
    "the results of the query and return the answer.\n"
    "                    Unless the user specifies a specific number of examples they wish to obtain, always limit "
    "your query to at most 20 results.\n"
    "                    You can order the results by a relevant column to return the most interesting examples in the "
    "database.\n"
    "                    Never query for all the columns from a specific table, only ask for the relevant columns "
    "given the question.\n"
    "                    You have access to tools for interacting with the database.\n"
    "                    Only use the below tools. Only use the information returned by the below tools to construct "
    "your final answer.\n"
    "                    You MUST double check your query before executing it. If you get an error while executing a "
    "query, rewrite the query and try again.\n"
    "\n"
    "                    DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.\n"
    "\n"
    "                    If the question does not seem related to the database, just return \"I don't know\" as the "
    "answer.\n"
    "                    \n"
    "                    "
)


@pytest.fixture(scope="module")
def shop_db(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(40)", "price": "INTEGER"},
                          [(1, "pen", 3), (2, "ink", 7)])
    return scratch_db


@pytest.fixture(scope="module")
def handle(shop_db):
    from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

    return CustomSQLDatabase.from_uri(shop_db.url())


@pytest.fixture
def info_logs():
    messages = []
    sink = logger.add(lambda message: messages.append(message.record["message"]), level="INFO", format="{message}")
    yield messages
    logger.remove(sink)


def pairs_in(text):
    """(index, query, error) of every query_execution_pair element of a correction prompt."""
    found = re.findall(r'<query index="(\d+)">\s*(.*?)\s*</query>\s*<error index="(\d+)">\s*(.*?)\s*</error>', text,
                       re.S)
    assert all(q_index == e_index for q_index, _, e_index, _ in found)
    return [(int(index), query, error) for index, query, _, error in found]


# -- SQLGeneration ----------------------------------------------------------------------------------------

def test_generation_prompt_names_the_dialect_and_carries_the_schemas(handle, model_server, info_logs):
    model_server.add({"sql_query": "SELECT name FROM items ORDER BY price DESC LIMIT 1"}, schema="SQLQueryInput")
    node = qa_nodes.SQLGeneration(db=handle, model=model_server.chat_client("gpt4"))
    assert list(vars(node)) == ["model", "dialect", "generate_template", "correct_template"]
    state = {"user_question": "Which item costs most?", "schemas_from_relevant_tables": "CREATE TABLE items (...)",
             "sql_generation_prompt_type": "generation", "generated_sql_query": []}
    update = node.invoke(state, config={"tags": ["t"]})
    assert update == {"generated_sql_query": ["SELECT name FROM items ORDER BY price DESC LIMIT 1"]}
    (request,) = model_server.requests_for(schema="SQLQueryInput")
    assert request.deployment == "gpt4"
    assert request.roles == ["system", "user"]
    assert request.system_text == GENERATION_SYSTEM_TEXT.replace("{dialect}", handle.dialect)
    assert request.user_text == "Which item costs most?\n Schemas_from_relevant_tables: CREATE TABLE items (...)"
    (line,) = [m for m in info_logs if m.startswith("Invoke generate sql query tooks: ")]
    seconds = line[len("Invoke generate sql query tooks: "):]
    assert repr(float(seconds)) == seconds and 0 <= float(seconds) < 30 and math.isfinite(float(seconds))


def test_correction_prompt_pairs_queries_with_their_results_oldest_first(handle, model_server):
    node = qa_nodes.SQLGeneration(handle, model_server.chat_client("gpt4"))
    state = {"user_question": "q", "schemas_from_relevant_tables": "S", "sql_generation_prompt_type": "correction",
             "generated_sql_query": ["SELECT nam FROM items", "SELECT name FROM item"],
             "sql_execution_result": ['column "nam" does not exist', "None"]}
    system, human = node.generate_messages(state)
    assert system.type == "system" and human.type == "human"
    assert system.content == SQL_PREFIX.replace("{dialect}", handle.dialect)
    assert pairs_in(human.content) == [(1, "SELECT nam FROM items", 'column "nam" does not exist'),
                                       (2, "SELECT name FROM item", "None")]
    assert "<user_question>q</user_question>" in human.content and "\n        S\n" in human.content
    state["generated_sql_query"].append("SELECT 3")
    assert [p[1] for p in pairs_in(node.generate_messages(state)[1].content)] == [
        "SELECT nam FROM items", "SELECT name FROM item"]
    state["sql_execution_result"] = []
    assert pairs_in(node.generate_messages(state)[1].content) == []


def test_correction_is_sent_to_the_model(handle, model_server):
    model_server.add({"sql_query": "SELECT name FROM items"}, schema="SQLQueryInput")
    node = qa_nodes.SQLGeneration(handle, model_server.chat_client("gpt4"))
    state = {"user_question": "names?", "schemas_from_relevant_tables": "S", "sql_generation_prompt_type": "correction",
             "generated_sql_query": ["SELECT nme FROM items"], "sql_execution_result": ["no column nme"]}
    assert node.invoke(state) == {"generated_sql_query": ["SELECT name FROM items"]}
    (request,) = model_server.requests
    assert pairs_in(request.user_text) == [(1, "SELECT nme FROM items", "no column nme")]


@pytest.mark.parametrize("kind", ["", "Generation", None])
def test_unknown_prompt_type_is_refused_before_the_model_is_asked(handle, model_server, info_logs, kind):
    node = qa_nodes.SQLGeneration(handle, model_server.chat_client("gpt4"))
    state = {"user_question": "q", "schemas_from_relevant_tables": "S", "sql_generation_prompt_type": kind}
    with pytest.raises(ValueError, match=r"^Messages not generated correctly\.$"):
        node.invoke(state)
    assert model_server.requests == [] and info_logs == []


def test_an_empty_query_is_still_one_item(handle, model_server):
    model_server.add({"sql_query": ""}, schema="SQLQueryInput")
    node = qa_nodes.SQLGeneration(handle, model_server.chat_client("gpt4"))
    update = node.invoke({"user_question": "q", "schemas_from_relevant_tables": "S",
                          "sql_generation_prompt_type": "generation"})
    assert update == {"generated_sql_query": [""]}


# -- SQLSyntaxChecker -------------------------------------------------------------------------------------

def test_checker_replaces_the_newest_query_in_place(handle, model_server):
    model_server.add("SELECT name FROM items WHERE price > 5")
    node = qa_nodes.SQLSyntaxChecker(db=handle, model=model_server.chat_client())
    assert type(node.tool).__name__ == "QuerySQLCheckerTool"
    queries = ["SELECT 1", "SELECT name FROM items WHERE price > 5;;"]
    state = {"generated_sql_query": queries}
    assert node.invoke(state) == {}
    assert state["generated_sql_query"] is queries
    assert queries == ["SELECT 1", "SELECT name FROM items WHERE price > 5"]
    (request,) = model_server.requests
    assert "SELECT name FROM items WHERE price > 5;;" in request.user_text
    assert handle.dialect in request.user_text
    assert request.schema is None


def test_checker_needs_a_query(handle, model_server):
    node = qa_nodes.SQLSyntaxChecker(handle, model_server.chat_client())
    with pytest.raises(IndexError):
        node.invoke({"generated_sql_query": []})
    with pytest.raises(KeyError, match="generated_sql_query"):
        node.invoke({})
    assert model_server.requests == []


# -- SQLExecution -----------------------------------------------------------------------------------------

def test_execution_with_rows(handle):
    node = qa_nodes.SQLExecution(db=handle)
    assert node.db is handle
    update = node.invoke({"generated_sql_query": ["SELECT 1", "SELECT name, price FROM items ORDER BY id"]})
    assert update == {"sql_execution_result": [handle.run("SELECT name, price FROM items ORDER BY id")],
                      "execution_success": True, "pandas_generation_prompt_type": "generation"}
    assert "'pen', 3" in update["sql_execution_result"][0] and "'ink', 7" in update["sql_execution_result"][0]


def test_execution_without_rows_is_a_failed_attempt(handle):
    update = qa_nodes.SQLExecution(handle).invoke({"generated_sql_query": ["SELECT name FROM items WHERE price > 99"]})
    assert update == {"sql_execution_result": ["None"], "execution_success": False}


@pytest.mark.parametrize("query, fragment", [("SELECT nosuch FROM items", "nosuch"),
                                             ("SELECT name FROM missing_table", "missing_table"),
                                             ("DELETE FROM items", "DELETE")])
def test_database_errors_become_the_result_text(handle, shop_db, query, fragment):
    update = qa_nodes.SQLExecution(handle).invoke({"generated_sql_query": [query]})
    assert list(update) == ["sql_execution_result", "execution_success"]
    assert update["execution_success"] is False
    (text,) = update["sql_execution_result"]
    assert fragment in text
    try:
        handle.run(query)
    except Exception as error:  # the handle's own error text (its cursor names vary between runs)
        assert isinstance(error, __import__("sqlalchemy").exc.SQLAlchemyError)
        assert text.splitlines()[0] == str(error).splitlines()[0]
    else:
        pytest.fail("the handle accepted " + query)
    assert shop_db.query("SELECT count(*) FROM items") == [(2,)]


def test_execution_needs_a_query(handle):
    with pytest.raises(IndexError):
        qa_nodes.SQLExecution(handle).invoke({"generated_sql_query": []})


# -- inside a real graph ----------------------------------------------------------------------------------

class CheckState(TypedDict, total=False):
    generated_sql_query: Annotated[List[str], operator.concat]
    sql_execution_result: Annotated[List[str], operator.concat]
    execution_success: bool
    pandas_generation_prompt_type: str


def test_bound_invoke_serves_as_a_graph_node(handle, model_server):
    """The checker's in-place change reaches the execution node and the final state."""
    model_server.add("SELECT name FROM items ORDER BY id")
    checker = qa_nodes.SQLSyntaxChecker(db=handle, model=model_server.chat_client())
    execution = qa_nodes.SQLExecution(db=handle)
    assert str(inspect.signature(checker.invoke)) == "(state, **kwargs)"
    assert str(inspect.signature(qa_nodes.SQLSyntaxChecker.invoke)) == "(self, state, **kwargs)"
    graph = StateGraph(CheckState)
    graph.add_node("sql_syntax_checker_node", checker.invoke)
    graph.add_node("sql_execution_node", execution.invoke)
    graph.set_entry_point("sql_syntax_checker_node")
    graph.add_edge("sql_syntax_checker_node", "sql_execution_node")
    graph.add_edge("sql_execution_node", END)
    final = graph.compile().invoke({"generated_sql_query": ["SELECT nme FROM items"], "sql_execution_result": []})
    assert final["generated_sql_query"] == ["SELECT name FROM items ORDER BY id"]
    assert final["sql_execution_result"] == [handle.run("SELECT name FROM items ORDER BY id")]
    assert final["execution_success"] is True
    assert isinstance(checker, __import__("langchain_core.runnables", fromlist=["Runnable"]).Runnable)
