"""SQLGraph construction, run settings, state merge rules, structure and drawing."""

from __future__ import annotations

import inspect
import operator

import pytest
from langgraph.graph import END, StateGraph

from zorvanai.qa_graph import qa_graph
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph, SQLState

NODES = [
    "init_node", "table_names_lookup_node", "relevant_table_names_node", "relevant_schemas_node",
    "sql_generation_node", "rewrite_query_node", "sql_syntax_checker_node", "sql_execution_node",
    "pandas_generator_node", "pandas_executor_node", "final_response_generation_node",
    "pandas_error_handler_node", "sql_error_handler_node",
]

FIXED_EDGES = {
    ("__start__", "init_node"),
    ("init_node", "table_names_lookup_node"),
    ("table_names_lookup_node", "relevant_table_names_node"),
    ("relevant_table_names_node", "relevant_schemas_node"),
    ("relevant_schemas_node", "sql_generation_node"),
    ("rewrite_query_node", "relevant_table_names_node"),
    ("sql_generation_node", "sql_syntax_checker_node"),
    ("sql_syntax_checker_node", "sql_execution_node"),
    ("pandas_generator_node", "pandas_executor_node"),
    ("final_response_generation_node", "__end__"),
    ("pandas_executor_node", "final_response_generation_node"),
}
# Conditional edges: source -> (routing function, {label: next node}).
CONDITIONAL_EDGES = {
    "sql_execution_node": ("sql_execution_condition", {
        "pandas_generation": "pandas_generator_node", "sql_execution_error": "sql_error_handler_node"}),
    "sql_error_handler_node": ("sql_error_handler_condition", {
        "regenerate_sql_query": "sql_generation_node", "terminal_failure_response": "final_response_generation_node",
        "rewrite_query": "rewrite_query_node"}),
    "pandas_executor_node": ("pandas_execution_condition", {
        "final_response": "final_response_generation_node", "pandas_execution_error": "pandas_error_handler_node"}),
    "pandas_error_handler_node": ("pandas_error_handler_condition", {
        "regenerate_pandas_code": "pandas_generator_node",
        "terminal_failure_response": "final_response_generation_node"}),
}


@pytest.fixture(scope="module")
def db(pg_db):
    pg_db.load_table("sales", {"id": "INTEGER PRIMARY KEY", "amount": "INTEGER"}, [(1, 5)])
    return CustomSQLDatabase.from_uri(pg_db.url())


@pytest.fixture(scope="module")
def graph(db, _model_server_process):
    server = _model_server_process
    return SQLGraph(custom_sql_db=db, config_35=server.config_35(), config_4=server.config_4())


# -- the state record ---------------------------------------------------------

def test_state_declares_25_keys_with_their_merge_rules():
    hints = SQLState.__annotations__
    assert len(hints) == 25
    assert list(hints)[:3] == ["user_question", "follow_up_question", "schemas_from_relevant_tables"]
    assert list(hints)[-1] == "pandas_generation_prompt_type"
    concatenated = [k for k, t in hints.items() if getattr(t, "__metadata__", None) == (operator.concat,)]
    added = [k for k, t in hints.items() if getattr(t, "__metadata__", None) == (operator.add,)]
    assert concatenated == ["follow_up_question", "generated_sql_query", "execution_error", "sql_execution_result"]
    assert added == ["iteration_count", "iteration_count_pandas"]
    assert hints["image_path"] == (str | None)
    assert SQLState.__module__ == "zorvanai.qa_graph.qa_graph"
    for name in ("operator", "Annotated", "Dict", "List", "Optional", "TypedDict"):
        assert hasattr(qa_graph, name), name


def test_state_merges_by_add_concatenate_and_replace():
    # Two writers in one step, then one more: the declared rules decide the result.
    steps = StateGraph(SQLState)
    steps.add_node("first", lambda s: {"iteration_count": 1, "generated_sql_query": ["q1"], "rewrite_count": 1})
    steps.add_node("second", lambda s: {"iteration_count": 1, "sql_execution_result": ["r1"], "misspelt_key": 1})
    steps.add_node("third", lambda s: {"iteration_count": 0, "generated_sql_query": ["q2"], "rewrite_count": 0})
    steps.set_entry_point("first")
    steps.add_edge("first", "second")
    steps.add_edge("second", "third")
    steps.add_edge("third", END)
    final = steps.compile().invoke({"user_question": "q", "save_path": "p"})
    assert final == {
        "user_question": "q", "save_path": "p", "iteration_count": 2, "rewrite_count": 0,
        "generated_sql_query": ["q1", "q2"], "sql_execution_result": ["r1"],
        # The engine starts the reducing keys at their type's empty value.
        "follow_up_question": [], "execution_error": [], "iteration_count_pandas": 0,
    }


# -- construction and run settings ------------------------------------------------

def test_constructor_sets_attributes_in_order_and_default_run_settings(graph, db):
    assert list(vars(graph)) == [
        "db", "graph", "runnable_config", "relevant_tables_model", "sql_generation_model", "response_model",
        "pandas_code_model", "pandas_ai_model", "relevant_table_picker", "compiled_graph",
    ]
    assert graph.db is db
    assert graph.runnable_config == {"metadata": None, "tags": ["qa_graph"], "max_concurrency": 20,
                                     "recursion_limit": 50}
    assert graph.relevant_table_picker.db is db
    assert type(graph.relevant_table_picker).__name__ == "RelevantTablePicker"
    assert SQLGraph.__bases__ == (object,)


def test_config_graph_signature_and_argument_checks(graph):
    assert str(inspect.signature(graph._config_graph)) == (
        "(metadata: Dict = None, tags: List[str] = ['qa_graph'], max_concurrency: Optional[int] = 20, "
        "recursion_limit: int = 50) -> langchain_core.runnables.config.RunnableConfig")
    assert list(inspect.signature(SQLGraph._config_graph).parameters)[0] == "self"
    assert graph._config_graph(metadata={"user": "u"}, tags=["a", "b"], max_concurrency=None,
                               recursion_limit=7) == {
        "metadata": {"user": "u"}, "tags": ["a", "b"], "max_concurrency": None, "recursion_limit": 7}
    # Positional arguments bind in the declared order.
    assert graph._config_graph(None, ["t"], 3, 9)["recursion_limit"] == 9

    for kwargs, name in [({"metadata": ["not", "a", "mapping"]}, "metadata"), ({"tags": "qa_graph"}, "tags"),
                         ({"tags": ("qa_graph",)}, "tags"), ({"max_concurrency": "20"}, "max_concurrency"),
                         ({"max_concurrency": 2.5}, "max_concurrency"), ({"recursion_limit": None}, "recursion_limit"),
                         ({"recursion_limit": True}, "recursion_limit")]:
        with pytest.raises(TypeError, match=f"^{name} must be"):
            graph._config_graph(**kwargs)
    with pytest.raises(TypeError):
        graph._config_graph(colour="red")


def test_run_settings_do_not_share_the_default_tag_list(graph):
    first = graph._config_graph()
    first["tags"].append("changed")
    assert graph._config_graph()["tags"] == ["qa_graph"]
    assert graph.runnable_config["tags"] == ["qa_graph"]


def test_settings_record_holding_a_client_argument_is_refused(db, model_server):
    config = model_server.config_35()
    config.max_tokens = 10
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'max_tokens'"):
        SQLGraph(db, config, model_server.config_4())


def test_constructing_calls_no_model(db, model_server):
    SQLGraph(db, model_server.config_35(), model_server.config_4())
    assert model_server.requests == []


# -- structure ----------------------------------------------------------------

def test_graph_has_thirteen_nodes_and_the_specified_edges(graph):
    assert list(graph.graph.nodes) == NODES  # in the order they were added
    assert graph.graph.edges == FIXED_EDGES
    conditional = {
        source: [(name, branch.ends) for name, branch in branches.items()]
        for source, branches in graph.graph.branches.items()
    }
    assert conditional == {source: [edge] for source, edge in CONDITIONAL_EDGES.items()}
    assert list(conditional) == ["pandas_executor_node", "sql_execution_node", "sql_error_handler_node",
                                 "pandas_error_handler_node"]

    drawing = graph.compiled_graph.get_graph()
    assert set(drawing.nodes) == set(NODES) | {"__start__", "__end__"}
    drawn = {(e.source, e.target) for e in drawing.edges}
    # The drawing shows each connection once; the executor's fixed edge to the
    # final response is drawn beside its conditional edge to the error handler.
    assert drawn == FIXED_EDGES | {(s, t) for s, (_, ends) in CONDITIONAL_EDGES.items() for t in ends.values()}


# -- drawing ------------------------------------------------------------------

def test_ascii_drawing_is_printed_and_nothing_written(graph, capsys, in_tmp_cwd):
    assert graph.visualize_graph() is None
    printed = capsys.readouterr().out
    for node in NODES:
        assert node in printed
    assert list(in_tmp_cwd.iterdir()) == []


@pytest.fixture
def no_rendering_service(monkeypatch):
    # Requests to the rendering service go to a proxy port where nothing listens.
    for name in ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.setenv(name, "http://127.0.0.1:1")
    for name in ("NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)


@pytest.mark.parametrize("kind", ["png", "ASCII"])
def test_picture_without_rendering_service_raises_and_writes_nothing(graph, capsys, in_tmp_cwd,
                                                                      no_rendering_service, kind):
    with pytest.raises(ValueError, match="Failed to reach"):
        graph.visualize_graph(kind)
    with pytest.raises(ValueError, match="Failed to reach"):
        graph.visualize_graph(kind, save_graph_path=str(in_tmp_cwd / "drawing.png"))
    assert list(in_tmp_cwd.iterdir()) == []
    # The picture path draws no text.
    assert "init_node" not in capsys.readouterr().out
