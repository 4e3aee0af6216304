"""Load-time set-up of the node module, its records, the entry node, routing conditions and error handlers."""

import inspect
import json
import os
import subprocess
import sys
from pathlib import Path

import pydantic
import pytest

import zorvanai.prompts.answer_prompt as answer_prompt
import zorvanai.prompts.context as context
import zorvanai.qa_graph.qa_nodes as qa_nodes
import zorvanai.qa_graph.qa_prompts as qa_prompts

BUILD_TREE = str(Path(qa_nodes.__file__).resolve().parents[2])


def run_python(code, cwd, **env):
    """Runs `code` in a fresh interpreter that sees the built package."""
    environment = {**os.environ, "PYTHONPATH": BUILD_TREE, **env}
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=environment, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


# -- load-time set-up -------------------------------------------------------------------------------------

def test_loading_switches_matplotlib_to_agg_even_when_the_environment_asks_for_another(tmp_path):
    out = run_python("import zorvanai.qa_graph.qa_nodes, matplotlib; print(matplotlib.get_backend())", tmp_path,
                     MPLBACKEND="svg")
    assert out.strip().lower() == "agg"


def test_every_public_prompt_name_is_a_module_name_here():
    public = [name for name in vars(qa_prompts) if not name.startswith("_")]
    assert {"SQL_PREFIX", "GET_RELEVANT_TABLE_NAMES_TEMPLATE", "TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE",
            "REWRITE_QUESTION_TEMPLATE", "GENERATE_SQL_TEMPLATE", "CORRECT_SQL_TEMPLATE", "PANDAS_SYSTEM_TEMPLATE",
            "PANDAS_HUMAN_TEMPLATE"} <= set(public)
    for name in public:
        assert getattr(qa_nodes, name) is getattr(qa_prompts, name), name


def test_context_and_final_prompt_names_come_from_their_modules():
    for name in ("context_prompt", "custom_instructions", "check_instructions", "read_values"):
        assert getattr(qa_nodes, name) is getattr(context, name), name
    assert qa_nodes.final_node_prompt is answer_prompt.final_node_prompt
    assert set(qa_nodes.current_values) >= {"context_prompt", "custom_instructions"}
    assert qa_nodes.MAX_ITERATIONS_PANDAS == 3


def test_current_values_is_read_once_at_load_from_the_working_directory(tmp_path):
    (tmp_path / "context.json").write_text(json.dumps({"context_prompt": "Shop data", "custom_instructions": "Be brief"}))
    out = run_python(
        "import json\n"
        "import zorvanai.qa_graph.qa_nodes as n\n"
        "import zorvanai.prompts.context as c\n"
        "before = dict(n.current_values)\n"
        "c.instruct_agent('Other context', 'Other instructions')\n"
        "print(json.dumps([before, n.current_values, c.read_values()]))\n",
        tmp_path)
    before, after, stored = json.loads(out)
    assert before == after == {"context_prompt": "Shop data", "custom_instructions": "Be brief"}
    assert stored == {"context_prompt": "Other context", "custom_instructions": "Other instructions"}


# -- records ----------------------------------------------------------------------------------------------

RECORD_FIELDS = {
    "RelevantTablesOutput": {"relevant_tables": "List of relevant table names"},
    "RewriteQueryOutput": {"rewritten_question": "Rewritten question"},
    "PandasCodeOutput": {
        "pandas_ai": "Whether question should answer by using pandas_ai or not. In case, the answer can derive "
                     "directly from sql_execution_result, False. If the answer involves analysis/plotting/forecast "
                     "then True.",
        "final_answer": "Final answer",
        "follow_up_question": "Follow up question",
    },
    "PythonCodeInput": {"code": "Python code to be executed"},
    "SQLQueryInput": {"sql_query": "SQL query string to be executed"},
    "GenerationOutput": {"image_path": "image path generated if exists in context", "final_response": "final response"},
}


@pytest.mark.parametrize("record", sorted(RECORD_FIELDS))
def test_records_are_pydantic_models_with_the_field_descriptions(record):
    cls = getattr(qa_nodes, record)
    assert issubclass(cls, pydantic.BaseModel)
    assert cls.__name__ == record
    fields = cls.model_fields
    assert list(fields) == list(RECORD_FIELDS[record])
    for name, description in RECORD_FIELDS[record].items():
        assert fields[name].description == description
        assert fields[name].is_required() is not (record == "GenerationOutput" and name == "image_path")
    assert cls.model_json_schema()["title"] == record


def test_record_types_and_defaults():
    assert qa_nodes.GenerationOutput(final_response="done").image_path == ""
    assert qa_nodes.GenerationOutput(final_response="done", image_path=None).image_path is None
    assert qa_nodes.RelevantTablesOutput(relevant_tables=["a", "b"]).relevant_tables == ["a", "b"]
    with pytest.raises(pydantic.ValidationError):
        qa_nodes.RelevantTablesOutput(relevant_tables="a")
    with pytest.raises(pydantic.ValidationError):
        qa_nodes.GenerationOutput(image_path="x.png")
    with pytest.raises(pydantic.ValidationError):
        qa_nodes.PandasCodeOutput(pandas_ai=True, final_answer=False)
    assert qa_nodes.PythonCodeInput(code="print(1)").code == "print(1)"


# -- entry node -------------------------------------------------------------------------------------------

def test_initialisation_writes_the_starting_values_into_the_given_mapping():
    inputs = {"user_question": "q", "save_path": "p"}
    result = qa_nodes.initialisation(inputs)
    assert result is inputs
    assert list(result.items()) == [
        ("user_question", "q"), ("save_path", "p"), ("iteration_count", 0), ("max_iterations", 5),
        ("rewrite_count", 0), ("rewritten_question", ""), ("generated_sql_query", []), ("execution_error", []),
        ("sql_execution_result", []), ("pandas_generation_prompt_type", "generation")]
    lists = [result["generated_sql_query"], result["execution_error"], result["sql_execution_result"]]
    assert len({id(item) for item in lists}) == 3
    assert qa_nodes.initialisation({})["generated_sql_query"] is not lists[0]
    with pytest.raises(TypeError, match="^inputs must be a mapping, not list$"):
        qa_nodes.initialisation([])


# -- routing conditions -----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "condition, key, on_true, on_false",
    [
        ("sql_syntax_condition", "is_valid_syntax", "sql_execute", "sql_syntax_error"),
        ("sql_execution_condition", "execution_success", "pandas_generation", "sql_execution_error"),
        ("pandas_execution_condition", "python_execution_success", "final_response", "pandas_execution_error"),
        ("pandas_code_condition", "use_pandas_ai_flag", "use_pandas", "generate_response"),
    ],
)
def test_flag_conditions(condition, key, on_true, on_false):
    route = getattr(qa_nodes, condition)
    assert route({key: True}) == on_true
    assert route({key: False}) == on_false
    assert route({key: 0}) == on_false
    with pytest.raises(KeyError, match=key):
        route({"other": True})
    assert str(inspect.signature(route)) == "(state)"


@pytest.mark.parametrize(
    "counts, route",
    [((0, 5, 0), "regenerate_sql_query"), ((4, 5, 0), "regenerate_sql_query"), ((5, 5, 0), "rewrite_query"),
     ((5, 5, 1), "terminal_failure_response"), ((2, 5, 1), "terminal_failure_response"),
     ((6, 5, 0), "terminal_failure_response")],
)
def test_sql_error_handler_condition(counts, route):
    iteration, limit, rewrites = counts
    state = {"iteration_count": iteration, "max_iterations": limit, "rewrite_count": rewrites}
    assert qa_nodes.sql_error_handler_condition(state) == route


@pytest.mark.parametrize("missing", ["iteration_count", "max_iterations", "rewrite_count"])
def test_sql_handler_and_condition_need_every_key(missing):
    state = {"iteration_count": 1, "max_iterations": 5, "rewrite_count": 0}
    del state[missing]
    with pytest.raises(KeyError, match=missing):
        qa_nodes.sql_error_handler_condition(state)
    with pytest.raises(KeyError, match=missing):
        qa_nodes.handle_sql_error(state)


def test_pandas_error_handler_condition():
    route = qa_nodes.pandas_error_handler_condition
    assert route({"iteration_count_pandas": 2, "max_iterations_pandas": 3}) == "regenerate_pandas_code"
    assert route({"iteration_count_pandas": 3, "max_iterations_pandas": 3}) == "terminal_failure_response"
    assert route({"iteration_count_pandas": 0, "max_iterations_pandas": 0}) == "terminal_failure_response"
    with pytest.raises(KeyError, match="max_iterations_pandas"):
        route({"iteration_count_pandas": 0})


# -- error handlers ---------------------------------------------------------------------------------------

def test_handle_sql_error_branches():
    state = {"iteration_count": 4, "max_iterations": 5, "rewrite_count": 0}
    update = qa_nodes.handle_sql_error(state)
    assert update == {"iteration_count": 1, "sql_generation_prompt_type": "correction"}
    state["iteration_count"] += update["iteration_count"]
    assert qa_nodes.sql_error_handler_condition(state) == "rewrite_query"
    assert qa_nodes.handle_sql_error(state) == {"rewrite_count": 1}
    assert qa_nodes.handle_sql_error({"iteration_count": 5, "max_iterations": 5, "rewrite_count": 1}) == {
        "sql_execution_result": ["SQL generation failed after max iterations"], "iteration_count": 0}
    assert state == {"iteration_count": 5, "max_iterations": 5, "rewrite_count": 0}


def test_sql_budget_allows_six_executions():
    """Failures pass through the handler, then its condition, as the graph wires them."""
    state = qa_nodes.initialisation({"user_question": "q", "save_path": "p"})
    routes = []
    while True:
        update = qa_nodes.handle_sql_error(state)
        state["iteration_count"] += update.pop("iteration_count", 0)
        state["sql_execution_result"] += update.pop("sql_execution_result", [])
        state.update(update)
        routes.append(qa_nodes.sql_error_handler_condition(state))
        if routes[-1] == "terminal_failure_response":
            break
    assert routes == ["regenerate_sql_query"] * 4 + ["rewrite_query", "terminal_failure_response"]
    # The sixth failure finds the count at the limit and only marks the rewrite as used.
    assert state["sql_execution_result"] == []
    assert (state["iteration_count"], state["rewrite_count"]) == (5, 1)


@pytest.mark.parametrize("limit, routes", [(3, ["regenerate_pandas_code"] * 2 + ["terminal_failure_response"]),
                                           (1, ["terminal_failure_response"]), (0, ["terminal_failure_response"])])
def test_pandas_budget(limit, routes):
    state = {"iteration_count_pandas": 0, "max_iterations_pandas": limit}
    seen = []
    while not seen or seen[-1] != "terminal_failure_response":
        update = qa_nodes.handle_pandas_error(state)
        state["iteration_count_pandas"] += update.pop("iteration_count_pandas")
        state.update(update)
        seen.append(qa_nodes.pandas_error_handler_condition(state))
        assert len(seen) <= 5
    assert seen == routes
    assert state["iteration_count_pandas"] == max(limit, 0)
    if limit > 1:
        assert state["pandas_generation_prompt_type"] == "correction"
    if limit <= 0:
        assert state == {"iteration_count_pandas": 0, "max_iterations_pandas": limit,
                         "python_executed_output": "Python generation failed after max iterations"}


def test_handlers_refuse_a_state_that_is_not_a_mapping():
    for function in (qa_nodes.handle_sql_error, qa_nodes.handle_pandas_error, qa_nodes.sql_execution_condition):
        with pytest.raises(TypeError, match="^state must be a mapping, not tuple$"):
            function(())


def test_module_functions_have_signatures():
    for name in ("initialisation", "handle_sql_error", "handle_pandas_error", "sql_error_handler_condition",
                 "pandas_error_handler_condition", "sql_execution_condition"):
        function = getattr(qa_nodes, name)
        parameters = list(inspect.signature(function).parameters)
        assert parameters == (["inputs"] if name == "initialisation" else ["state"]), name
        assert function.__module__ == "zorvanai.qa_graph.qa_nodes"


NODE_CLASSES = {
    "TableNamesLookup": "(db)", "RelevantTableNames": "(db, model)", "RelevantSchemas": "(db)",
    "SQLGeneration": "(db, model)", "SQLSyntaxChecker": "(db, model)", "SQLExecution": "(db)",
    "RewriteQuery": "(db, model)", "PandasGenerator": "(model)", "PandasCorrection": "(model)",
    "PandasExecutor": "(model)", "GenerateResponse": "(model)",
}
PROMPT_BUILDERS = {"RelevantTableNames": "generate_prompt", "SQLGeneration": "generate_messages",
                   "RewriteQuery": "generate_prompt", "PandasGenerator": "generate_prompt",
                   "PandasCorrection": "generate_prompt", "PandasExecutor": "generate_prompt"}


@pytest.mark.parametrize("name", sorted(NODE_CLASSES))
def test_node_classes_are_runnables_with_real_signatures(name):
    from langchain_core.runnables import Runnable

    cls = getattr(qa_nodes, name)
    assert cls.__bases__ == (Runnable,)
    assert cls.__module__ == "zorvanai.qa_graph.qa_nodes" and cls.__name__ == name
    assert str(inspect.signature(cls)) == NODE_CLASSES[name]
    assert str(inspect.signature(cls.invoke)) == "(self, state, **kwargs)"
    builder = PROMPT_BUILDERS.get(name)
    for other in ("generate_prompt", "generate_messages"):
        assert hasattr(cls, other) is (other == builder), other
    if builder:
        assert str(inspect.signature(getattr(cls, builder))) == "(self, state)"
