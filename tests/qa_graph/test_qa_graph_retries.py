"""The SQL and analysis-script retry budgets, end to end on both servers."""

from __future__ import annotations

import re

import pytest
from jinja2.sandbox import SandboxedEnvironment
from langgraph.errors import GraphRecursionError

from support.graph_run import (
    script_answer, script_checker, script_picker, script_queries, script_scripts, trace_nodes,
)
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph
from zorvanai.qa_graph.qa_prompts import CORRECT_SQL_TEMPLATE, REWRITE_QUESTION_TEMPLATE, SQL_PREFIX

QUESTION = "What did each sale cost?"
GOOD = "SELECT region, amount FROM sales ORDER BY id"
DISCOVERY = ["relevant_table_names_node", "relevant_schemas_node"]
ATTEMPT = ["sql_generation_node", "sql_syntax_checker_node", "sql_execution_node"]
CORRECTION_TEXT = (
    "The user asked the following question:\n            {user_question}\n\n"
    "            You generated this python code:\n            {python_code}\n\n"
    "            It fails with the following error:\n            {error}\n\n"
    "            Fix the python code above and return the new python code:"
)


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("sales", {"id": "INTEGER PRIMARY KEY", "region": "VARCHAR(20)", "amount": "INTEGER"},
                          [(1, "east", 10), (2, "west", 12)])
    scratch_db.load_table("staff", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(20)"}, [(1, "Kim")])
    return CustomSQLDatabase.from_uri(scratch_db.url())


@pytest.fixture(scope="module")
def graph(db, _model_server_process):
    server = _model_server_process
    return SQLGraph(custom_sql_db=db, config_35=server.config_35(), config_4=server.config_4())


def pairs_in(prompt: str) -> list[tuple[str, str]]:
    """The (query, error) pairs of a SQL correction prompt, by index."""
    found = re.findall(r'<query index="(\d+)">\s*(.*?)\s*</query>\s*<error index="\1">\s*(.*?)\s*</error>',
                       prompt, re.S)
    assert [int(i) for i, _, _ in found] == list(range(1, len(found) + 1))
    return [(query, error) for _, query, error in found]


def test_sql_budget_four_corrections_one_rewrite_then_terminal_answer(graph, db, model_server, tmp_path):
    failing = [f"SELECT missing_column_{n} FROM sales" for n in range(1, 7)]
    script_picker(model_server, ["sales"])
    script_queries(model_server, *failing)
    script_checker(model_server)
    model_server.add({"rewritten_question": "Which amounts are stored in sales?"}, deployment="gpt35",
                     schema="RewriteQueryOutput")
    script_answer(model_server, {"final_response": "I could not answer from the database.", "image_path": ""})

    with trace_nodes() as trace:
        state = graph.invoke({"user_question": QUESTION, "save_path": str(tmp_path)})

    handler_then_attempt = ["sql_error_handler_node"] + ATTEMPT
    assert trace.nodes == (
        ["init_node", "table_names_lookup_node"] + DISCOVERY + ATTEMPT + handler_then_attempt * 4
        + ["sql_error_handler_node", "rewrite_query_node"] + DISCOVERY + ATTEMPT
        + ["sql_error_handler_node", "final_response_generation_node"])
    assert trace.count("sql_execution_node") == 6

    assert state["generated_sql_query"] == failing
    results = state["sql_execution_result"]
    # One outcome per execution: the handler that answers with the terminal
    # route only counts the rewrite.
    assert len(results) == 6
    for n, result in enumerate(results, start=1):
        assert f"missing_column_{n}" in result
    assert state["iteration_count"] == 5 and state["rewrite_count"] == 1
    assert state["rewritten_question"] == "Which amounts are stored in sales?"
    assert state["user_question"] == QUESTION
    assert state["final_response"] == "I could not answer from the database."

    generations = model_server.requests_for(schema="SQLQueryInput")
    assert len(generations) == 6
    # Corrections 1 to 4 show every earlier query with its outcome, oldest first.
    schemas = db.get_table_info_no_throw(["sales"])
    for k, correction in enumerate(generations[1:5], start=1):
        assert correction.system_text == SQL_PREFIX.format(dialect=db.dialect)
        pairs = pairs_in(correction.user_text)
        assert [query for query, _ in pairs] == failing[:k]
        for (_, error), result in zip(pairs, results[:k]):
            assert error == result.strip()
        assert correction.user_text == SandboxedEnvironment().from_string(CORRECT_SQL_TEMPLATE).render(
            user_question=QUESTION, schemas_from_relevant_tables=schemas,
            zipped_queries_errors=list(zip(failing[:k], results[:k])))
    # After the rewrite: a first-attempt generation again.
    for first_attempt in (generations[0], generations[5]):
        assert first_attempt.system_text.startswith("You are an agent designed to interact with a SQL database.")
        assert first_attempt.user_text.startswith(QUESTION + "\n Schemas_from_relevant_tables: ")

    (rewrite,) = model_server.requests_for(schema="RewriteQueryOutput")
    all_schemas = db.get_table_info_no_throw(["sales", "staff"])
    assert all_schemas.count("CREATE TABLE") == 2  # every table of the database
    assert rewrite.roles == ["system"]
    assert rewrite.system_text == REWRITE_QUESTION_TEMPLATE.format(user_question=QUESTION,
                                                                   schemas_from_all_tables=all_schemas)
    pickings = model_server.requests_for(schema="select_relevant_tables")
    assert [p.user_text.rsplit("\nQuestion: ", 1)[1] for p in pickings] == [
        QUESTION, "Which amounts are stored in sales?"]

    (answer,) = model_server.requests_for(schema="GenerationOutput")
    assert f"SQL query result: {results[5]}\n" in answer.user_text
    assert "\nPython code: \nPython executed result: \n" in answer.user_text
    assert model_server.requests_for(schema="PythonCodeInput") == []


def test_failing_script_corrections_then_terminal_answer(graph, model_server, tmp_path):
    scripts = [
        "print('partial output')\nprint(undefined_name)",
        "raise ValueError('bad data')",
        "import json\njson.loads('{')",
    ]
    script_picker(model_server, ["sales"])
    script_queries(model_server, GOOD)
    script_checker(model_server)
    script_scripts(model_server, *scripts)
    answers = iter(range(1, 10))
    script_answer(model_server, lambda request: {"final_response": f"answer {next(answers)}", "image_path": ""})

    with trace_nodes() as trace:
        state = graph.invoke({"user_question": QUESTION, "save_path": str(tmp_path)})

    together = {"final_response_generation_node", "pandas_error_handler_node"}
    steps = trace.steps()
    assert [i for i, step in enumerate(steps) if step == together] == [9, 12, 15]
    assert steps[9:] == [together, {"pandas_generator_node"}, {"pandas_executor_node"}] * 2 + [
        together, {"final_response_generation_node"}]
    assert trace.count("pandas_executor_node") == 3
    assert trace.count("final_response_generation_node") == 4
    # Only the last of them asks the model: the others ran beside a retry.
    assert len(model_server.requests_for(schema="GenerationOutput")) == 1

    requests = model_server.requests_for(schema="PythonCodeInput")
    assert len(requests) == 3
    assert requests[0].roles == ["system", "user"]
    errors = ["NameError: name 'undefined_name' is not defined", "ValueError: bad data"]
    for request, script, error in zip(requests[1:], scripts, errors):
        assert request.roles == ["user"]
        assert request.user_text == CORRECTION_TEXT.format(user_question=QUESTION, python_code=script, error=error)

    assert state["iteration_count_pandas"] == 3
    assert state["python_execution_success"] is False
    assert state["python_error_message"].startswith("JSONDecodeError: ")
    assert state["pandas_code"] == scripts[2]
    assert "python_executed_output" not in state
    assert state["final_response"] == "answer 1"
    last_answer = model_server.requests_for(schema="GenerationOutput")[-1]
    assert f"\nPython code: {scripts[2]}\nPython executed result: \n" in last_answer.user_text


def test_caller_budget_wins_and_a_run_past_50_steps_is_a_recursion_error(graph, model_server, tmp_path):
    script_picker(model_server, ["sales"])
    script_queries(model_server, GOOD)
    script_checker(model_server)
    model_server.default({"code": "raise RuntimeError('always')"}, deployment="gpt35", schema="PythonCodeInput")
    script_answer(model_server)

    with trace_nodes() as trace, pytest.raises(GraphRecursionError):
        graph.invoke({"user_question": QUESTION, "save_path": str(tmp_path), "max_iterations_pandas": 100})

    # The default budget of 3 would have ended after three scripts; 100 runs into the step limit.
    assert len(trace.steps()) == 50
    assert trace.count("pandas_executor_node") > 3
