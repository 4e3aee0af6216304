"""Questions answered end to end through SQLGraph.invoke on both servers.

The real chat clients talk to the model stand-in; the queries run on a real
scratch database; the analysis scripts run in-process.
"""

from __future__ import annotations

import re

import pytest
from jinja2.sandbox import SandboxedEnvironment

from support.graph_run import (
    PICK_TOOL, checker_requests, checked_query, script_answer, script_checker, script_picker, script_queries,
    script_scripts, trace_nodes,
)
from zorvanai.prompts.answer_prompt import final_node_prompt
from zorvanai.qa_graph import qa_nodes
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph
from zorvanai.qa_graph.qa_prompts import PANDAS_HUMAN_TEMPLATE, PANDAS_SYSTEM_TEMPLATE

QUESTION = "How many sales did each region make?"
TEN_NODES = [
    "init_node", "table_names_lookup_node", "relevant_table_names_node", "relevant_schemas_node",
    "sql_generation_node", "sql_syntax_checker_node", "sql_execution_node", "pandas_generator_node",
    "pandas_executor_node", "final_response_generation_node",
]
GENERATED = "SELECT region, COUNT(*) FROM sales GROUP BY region"
CHECKED = "SELECT region, COUNT(*) AS n FROM sales GROUP BY region ORDER BY region"


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("sales", {"id": "INTEGER PRIMARY KEY", "region": "VARCHAR(20)", "amount": "INTEGER"},
                          [(1, "east", 10), (2, "west", 12), (3, "east", 20)])
    scratch_db.load_table("staff", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(20)"}, [(1, "Kim")])
    return CustomSQLDatabase.from_uri(scratch_db.url())


@pytest.fixture(scope="module")
def graph(db, _model_server_process):
    # One graph serves every question of the module.
    server = _model_server_process
    return SQLGraph(custom_sql_db=db, config_35=server.config_35(), config_4=server.config_4())


def jinja(template, **values):
    """A template rendered by Jinja2's rules, as the jinja2 template format renders it."""
    return SandboxedEnvironment().from_string(template).render(**values)


def final_prompt(question, queries, result, code, output):
    values = qa_nodes.current_values
    return (f"User question: {question}\nSQL query: {queries!r}\nSQL query result: {result}\n"
            f"Python code: {code}\nPython executed result: {output}\n"
            "Use the above result to address user's question. \n"
            "use context and instructions below from the user to present your answer in the best way."
            "Only the anwer part" + final_node_prompt + "use context and instructions below"
            + values["context_prompt"] + values["custom_instructions"])


def test_first_query_with_rows_passes_the_ten_nodes(graph, db, model_server, tmp_path):
    script_picker(model_server, ["sales"])
    script_queries(model_server, GENERATED)
    script_checker(model_server, lambda query: CHECKED if query == GENERATED else query)
    code = "print('east 2')\nprint('west 1')"
    script_scripts(model_server, code)
    script_answer(model_server, {"final_response": "East made 2 sales, west 1.", "image_path": ""})
    inputs = {"user_question": QUESTION, "save_path": str(tmp_path)}

    with trace_nodes() as trace:
        state = graph.invoke(inputs)

    assert trace.nodes == TEN_NODES
    assert [len(step) for step in trace.steps()] == [1] * 10
    # The checker's reply replaced the generated query in place and was run.
    assert state["generated_sql_query"] == [CHECKED]
    expected_rows = db.run(CHECKED, fetch="all", include_columns=False)
    assert "east" in expected_rows and "west" in expected_rows
    assert state["sql_execution_result"] == [expected_rows]
    assert state["execution_success"] is True
    assert state["relevant_tables"] == ["sales"]
    assert state["python_executed_output"] == "east 2\nwest 1\n"
    assert state["python_execution_success"] is True
    assert state["final_response"] == "East made 2 sales, west 1."
    assert state["image_path"] == ""
    assert state["iteration_count"] == 0 and state["rewrite_count"] == 0
    assert state["max_iterations_pandas"] == qa_nodes.MAX_ITERATIONS_PANDAS == 3
    assert inputs == {"user_question": QUESTION, "save_path": str(tmp_path)}  # the caller's record is untouched

    requests = model_server.requests
    assert [r.schema for r in requests] == [PICK_TOOL, "SQLQueryInput", None, "PythonCodeInput", "GenerationOutput"]
    # Deployment and token limit of each client: the stronger model writes SQL only.
    assert [(r.deployment, r.body["max_completion_tokens"]) for r in requests] == [
        ("gpt35", 8192), ("gpt4", 4096), ("gpt35", 8192), ("gpt35", 8192), ("gpt35", 4096)]
    assert all(r.body["temperature"] == 0 for r in requests)
    assert all(r.body["top_p"] == 0.95 for r in requests[1:])

    picker, generation, checker, pandas, answer = requests
    assert picker.user_text.startswith(f"Tables: {db.get_usable_table_names()[0]}, ")
    assert picker.user_text.endswith(f"\nQuestion: {QUESTION}")
    assert f"create a syntactically correct {db.dialect} query" in generation.system_text
    schemas = db.get_table_info_no_throw(["sales"])
    assert "CREATE TABLE" in schemas and "staff" not in schemas
    assert generation.user_text == f"{QUESTION}\n Schemas_from_relevant_tables: {schemas}"
    assert checked_query(checker) == GENERATED
    assert f"Double check the {db.dialect} query above" in checker.user_text
    assert pandas.system_text == jinja(PANDAS_SYSTEM_TEMPLATE, save_path=str(tmp_path))
    assert pandas.user_text == jinja(PANDAS_HUMAN_TEMPLATE, original_question=QUESTION,
                                     zipped_queries_results=[(CHECKED, expected_rows)])
    assert answer.roles == ["user"]
    assert answer.user_text == final_prompt(QUESTION, [CHECKED], expected_rows, code, "east 2\nwest 1\n")


def test_query_without_rows_is_a_failure_with_result_none(graph, model_server, tmp_path):
    empty = "SELECT region FROM sales WHERE amount > 1000"
    fixed = "SELECT region FROM sales WHERE amount > 15 ORDER BY region"
    script_picker(model_server, ["sales"])
    script_queries(model_server, empty, fixed)
    script_checker(model_server)
    script_scripts(model_server, "print('east')")
    script_answer(model_server)

    with trace_nodes() as trace:
        state = graph.invoke({"user_question": "Which region had a sale above 1000?", "save_path": str(tmp_path)})

    assert trace.nodes == TEN_NODES[:7] + [
        "sql_error_handler_node", "sql_generation_node", "sql_syntax_checker_node", "sql_execution_node",
    ] + TEN_NODES[7:]
    assert state["generated_sql_query"] == [empty, fixed]
    assert state["sql_execution_result"][0] == "None"
    assert "east" in state["sql_execution_result"][1]
    assert state["iteration_count"] == 1
    # The correction prompt shows the empty query with "None" as its outcome.
    first, correction = model_server.requests_for(schema="SQLQueryInput")
    assert "<SQLAgent>" not in first.system_text
    assert "<SQLAgent>" in correction.system_text
    assert re.search(r'<query index="1">\s*' + re.escape(empty) + r'\s*</query>\s*<error index="1">\s*None\s*'
                     r'</error>', correction.user_text)
    assert correction.user_text.count("<query_execution_pair>") == 1


def test_chart_saved_under_save_path_reaches_image_path(graph, model_server, tmp_path):
    media = tmp_path / "media"
    script_picker(model_server, ["sales"])
    script_queries(model_server, CHECKED)
    script_checker(model_server)

    def chart_script(request):
        # The script saves where the prompt says: the caller's save_path.
        target = re.search(r"save it in (.+?) - matplotlib", request.system_text).group(1)
        return {"code": (
            "import os\nimport matplotlib.pyplot as plt\n"
            f"os.makedirs({target!r}, exist_ok=True)\n"
            f"path = os.path.join({target!r}, 'sales_by_region.png')\n"
            "plt.figure()\nplt.bar(['east', 'west'], [2, 1])\nplt.title('Sales by region')\n"
            "plt.savefig(path)\nplt.close()\nprint(f'Chart saved to {path}')\n")}

    def answer(request):
        path = re.search(r"Python executed result: Chart saved to (\S+)\n", request.user_text).group(1)
        return {"final_response": "See the chart.", "image_path": path}

    model_server.add(chart_script, deployment="gpt35", schema="PythonCodeInput")
    script_answer(model_server, answer)

    state = graph.invoke({"user_question": "Chart the sales per region", "save_path": str(media)})

    chart = media / "sales_by_region.png"
    assert state["image_path"] == str(chart)
    assert chart.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert state["python_executed_output"] == f"Chart saved to {chart}\n"


def test_each_question_starts_from_fresh_counters(graph, model_server, tmp_path):
    script_picker(model_server, ["sales"])
    script_checker(model_server)
    script_scripts(model_server, "print(1)", "print(2)")
    script_answer(model_server)
    script_queries(model_server, "SELECT nothing_here FROM sales", CHECKED)
    first = graph.invoke({"user_question": "q1", "save_path": str(tmp_path)})
    script_queries(model_server, CHECKED)
    second = graph.invoke({"user_question": "q2", "save_path": str(tmp_path)})

    assert first["iteration_count"] == 1 and len(first["generated_sql_query"]) == 2
    assert second["iteration_count"] == 0
    assert second["generated_sql_query"] == [CHECKED]
    assert len(second["sql_execution_result"]) == 1


def test_bad_input_is_refused_before_the_graph_runs(graph, model_server):
    for bad in (["user_question", "save_path"], "How many sales?", None):
        with trace_nodes() as trace, pytest.raises(TypeError, match="^inputs must be a mapping, not "):
            graph.invoke(bad)
        assert trace.started == []
    assert model_server.requests == []


def test_nodes_refuse_a_state_that_is_not_a_mapping(graph, model_server):
    nodes = [
        qa_nodes.TableNamesLookup(db=graph.db), qa_nodes.RelevantSchemas(db=graph.db),
        qa_nodes.SQLGeneration(db=graph.db, model=graph.sql_generation_model),
        qa_nodes.RewriteQuery(db=graph.db, model=graph.pandas_ai_model),
        qa_nodes.SQLSyntaxChecker(db=graph.db, model=graph.relevant_tables_model),
        qa_nodes.SQLExecution(db=graph.db), qa_nodes.PandasGenerator(model=graph.pandas_code_model),
        qa_nodes.PandasExecutor(model=graph.pandas_ai_model),
        qa_nodes.GenerateResponse(model=graph.response_model), graph.relevant_table_picker,
    ]
    for node in nodes:
        with pytest.raises(TypeError, match="state"):
            node.invoke([("user_question", "q")])
    assert model_server.requests == []


def test_unknown_sql_prompt_type_raises_the_value_error(graph, model_server):
    node = qa_nodes.SQLGeneration(db=graph.db, model=graph.sql_generation_model)
    state = {"user_question": "q", "schemas_from_relevant_tables": "", "sql_generation_prompt_type": "draft",
             "generated_sql_query": [], "sql_execution_result": []}
    with pytest.raises(ValueError, match=r"^Messages not generated correctly\.$"):
        node.invoke(state)
    assert model_server.requests == []
