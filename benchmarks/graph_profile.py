"""One whole question through SQLGraph.invoke, the model stand-in answering at once.

Where does the time go when the model costs nothing? Each question is timed as a whole and
its chat-model runs are timed through LangChain callbacks (so "outside the model" = the rest);
one more question runs under cProfile, whose self times are grouped into our C++ code, the
database (drivers and server), and each library, with the model's HTTP exchange set apart.
"""

from __future__ import annotations

import contextlib
import copy
import contextvars
import cProfile
import pstats
import sys
import sysconfig
import tempfile
import time
from collections import defaultdict
from pathlib import Path

from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.tracers.context import register_configure_hook

import datasets
import servers

TESTS = Path(__file__).resolve().parents[1] / "tests"
if str(TESTS) not in sys.path:
    sys.path.append(str(TESTS))

QUESTION = "How many orders did each region get?"

_observer: contextvars.ContextVar["RunObserver | None"] = contextvars.ContextVar("zorvan_bench_observer",
                                                                               default=None)
register_configure_hook(_observer, inheritable=True)


class RunObserver(BaseCallbackHandler):
    """Wall time of every graph node and of every chat-model run (request building, HTTP
    exchange with the stand-in, reply parsing), from LangChain's callbacks; and of every
    SQL statement, from SQLAlchemy's cursor events."""

    def __init__(self) -> None:
        self.open: dict = {}
        self.nodes: dict[str, float] = defaultdict(float)
        self.model = 0.0
        self.model_calls = 0
        self.database = 0.0
        self.statements = 0

    # LangChain callbacks
    def on_chain_start(self, serialized, inputs, *, run_id, metadata=None, **kwargs) -> None:
        node = (metadata or {}).get("langgraph_node")
        if node is not None and kwargs.get("name") == node:
            self.open[run_id] = (node, time.perf_counter())

    def on_chain_end(self, outputs, *, run_id, **kwargs) -> None:
        entry = self.open.pop(run_id, None)
        if entry is not None:
            self.nodes[entry[0]] += time.perf_counter() - entry[1]

    on_chain_error = on_chain_end

    def on_chat_model_start(self, serialized, messages, *, run_id, **kwargs) -> None:
        self.open[run_id] = (None, time.perf_counter())

    on_llm_start = on_chat_model_start

    def on_llm_end(self, response, *, run_id, **kwargs) -> None:
        entry = self.open.pop(run_id, None)
        if entry is not None:
            self.model += time.perf_counter() - entry[1]
            self.model_calls += 1

    on_llm_error = on_llm_end

    # SQLAlchemy events
    def before_cursor_execute(self, conn, cursor, statement, parameters, context, executemany) -> None:
        conn.info.setdefault("zorvan_bench_started", []).append(time.perf_counter())

    def after_cursor_execute(self, conn, cursor, statement, parameters, context, executemany) -> None:
        self.database += time.perf_counter() - conn.info["zorvan_bench_started"].pop()
        self.statements += 1


@contextlib.contextmanager
def observing():
    from sqlalchemy import event
    from sqlalchemy.engine import Engine

    observer = RunObserver()
    token = _observer.set(observer)
    event.listen(Engine, "before_cursor_execute", observer.before_cursor_execute)
    event.listen(Engine, "after_cursor_execute", observer.after_cursor_execute)
    try:
        yield observer
    finally:
        event.remove(Engine, "before_cursor_execute", observer.before_cursor_execute)
        event.remove(Engine, "after_cursor_execute", observer.after_cursor_execute)
        _observer.reset(token)


# The analysis-script node runs its script on a worker thread, which hangs when a profile
# function has been set on the calling thread during the run; it is left out of the profile
# (its time is in the node timings).
UNPROFILED_NODE = "pandas_executor_node"


class NodeInputs(BaseCallbackHandler):
    """The state each graph node received first, copied as it came in."""

    def __init__(self) -> None:
        self.inputs: dict[str, dict] = {}
        self.order: list[str] = []

    def on_chain_start(self, serialized, inputs, *, run_id, metadata=None, **kwargs) -> None:
        node = (metadata or {}).get("langgraph_node")
        if node is not None and kwargs.get("name") == node and node not in self.inputs:
            self.inputs[node] = copy.deepcopy(inputs)
            self.order.append(node)


def script(model_server) -> None:
    """The same replies for every question (replies that are never used up)."""
    from support.graph_run import script_answer, script_checker, script_picker

    script_picker(model_server, ["orders", "stores", "regions"])
    model_server.default({"sql_query": datasets.GRAPH_QUERY}, deployment="gpt4", schema="SQLQueryInput")
    script_checker(model_server)
    model_server.default({"code": "print('orders per region counted')"}, deployment="gpt35",
                         schema="PythonCodeInput")
    script_answer(model_server, {"final_response": "East, north and west each got orders.", "image_path": ""})


# -- grouping profile entries ---------------------------------------------------
STDLIB = sysconfig.get_paths()["stdlib"]
HTTP_STACK = {"httpx", "httpcore", "h11", "anyio", "sniffio", "certifi", "ssl", "socket", "selectors"}
GROUPS = {
    "langgraph": "LangGraph", "langchain_core": "LangChain core", "langchain_community": "LangChain community",
    "langchain_classic": "LangChain classic", "langchain_openai": "LangChain OpenAI client",
    "openai": "OpenAI SDK", "pydantic": "pydantic", "pydantic_core": "pydantic", "sqlalchemy": "SQLAlchemy",
    "psycopg2": "database (driver and server)", "mysql": "database (driver and server)",
    "pymysql": "database (driver and server)", "_mysql_connector": "database (driver and server)",
    "sqlglot": "sqlglot", "jinja2": "Jinja2", "pandas": "pandas", "numpy": "NumPy", "matplotlib": "matplotlib",
    "loguru": "loguru", "tiktoken": "tiktoken", "langsmith": "LangSmith (tracing hooks)",
}
MODEL = "model exchange (HTTP client and stand-in)"
OURS = "our C++ code"


def our_function_names() -> set[str]:
    """Names of the callables our extension modules define (cProfile knows them by name only)."""
    import importlib
    import inspect

    names = set()
    listed = Path(__file__).resolve().parent.parent / "src" / "modules.txt"
    for module_name in (line.strip() for line in listed.read_text().splitlines() if line.strip() and not line.startswith("#")):
        module = importlib.import_module(module_name)
        for value in vars(module).values():
            objects = [value]
            if inspect.isclass(value) and value.__module__ == module.__name__:
                objects += list(vars(value).values())
            for obj in objects:
                obj = getattr(obj, "__func__", obj)
                obj = getattr(obj, "fget", obj)
                if inspect.isbuiltin(obj) or type(obj).__name__ in ("builtin_function_or_method", "instancemethod"):
                    names.add(getattr(obj, "__name__", ""))
    names.discard("")
    return names


def group_of(func, ours: set[str]) -> str | None:
    filename, _, name = func
    if filename == "~":
        for key in ("psycopg2", "_mysql_connector", "pymysql"):
            if key in name:
                return GROUPS[key]
        if name.startswith("<built-in method ") and name[len("<built-in method "):-1].split(".")[-1] in ours:
            return OURS
        return None  # a general built-in: counted with whoever called it
    if "/site-packages/" in filename:
        package = filename.split("/site-packages/", 1)[1].split("/", 1)[0].removesuffix(".py")
        if package in HTTP_STACK:
            return MODEL
        return GROUPS.get(package, f"other libraries ({package})")
    if filename.startswith(STDLIB):
        module = Path(filename).stem
        return MODEL if module in HTTP_STACK else "Python standard library"
    if "/benchmarks/" in filename or "/tests/support/" in filename:
        return "benchmark harness"
    return "other"


def split(stats: pstats.Stats, ours: set[str]) -> dict[str, float]:
    totals: dict[str, float] = defaultdict(float)
    raw = stats.stats  # func -> (primitive calls, calls, self time, cumulative time, callers)
    for func, (_, _, self_time, _, callers) in raw.items():
        group = group_of(func, ours)
        if group is not None:
            totals[group] += self_time
            continue
        # A general built-in (len, socket reads, lock waits): its time goes to its callers' groups.
        spread = sum(edge[2] for edge in callers.values())
        for caller, edge in callers.items():
            share = edge[2] if spread else self_time / max(len(callers), 1)
            totals[group_of(caller, ours) or "Python built-ins"] += share
        if not callers:
            totals["Python built-ins"] += self_time
    return dict(totals)


def _graph(kind: str, model_server):
    from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
    from zorvanai.qa_graph.qa_graph import SQLGraph

    server = servers.postgres() if kind == "postgresql" else servers.mariadb()
    db = CustomSQLDatabase.from_uri(server.url(datasets.GRAPH_DB))
    graph = SQLGraph(custom_sql_db=db, config_35=model_server.config_35(), config_4=model_server.config_4())
    script(model_server)
    return graph


def measure(kind: str, runs: int) -> dict:
    """The question of median total time among `runs`: the whole question, the model runs, the SQL
    statements, the graph engine between nodes, and the nodes' own work."""
    from support.model_server import ModelServer

    rows = []
    with ModelServer() as model_server, tempfile.TemporaryDirectory() as media:
        graph = _graph(kind, model_server)
        inputs = {"user_question": QUESTION, "save_path": media}
        graph.invoke(inputs)  # warm: first connections, first template renders
        for _ in range(runs):
            with observing() as seen:
                started = time.perf_counter()
                state = graph.invoke(inputs)
                total = time.perf_counter() - started
            assert state["execution_success"] is True, state.get("sql_execution_result")
            assert seen.model_calls == 5 and len(seen.nodes) == 10, (seen.model_calls, dict(seen.nodes))
            in_nodes = sum(seen.nodes.values())
            rows.append({
                "total": total, "model": seen.model, "outside": total - seen.model, "database": seen.database,
                "graph engine": total - in_nodes, "node work": in_nodes - seen.model - seen.database,
                "script node": seen.nodes[UNPROFILED_NODE], "statements": seen.statements,
            })
    # The figures of the run with the median total, so that the parts add up.
    return sorted(rows, key=lambda row: row["total"])[len(rows) // 2]


def profile_split(kind: str) -> dict:
    """Self times of one question's nodes under cProfile, grouped by who spent them: each node
    (but the script node) is invoked again with the state it received in a graph run."""
    from support.model_server import ModelServer

    with ModelServer() as model_server, tempfile.TemporaryDirectory() as media:
        graph = _graph(kind, model_server)
        inputs = {"user_question": QUESTION, "save_path": media}
        graph.invoke(inputs)
        recorder = NodeInputs()
        graph.compiled_graph.invoke(inputs, config={**graph.runnable_config, "callbacks": [recorder]})
        profile = cProfile.Profile()
        profiled = []
        for node in recorder.order:
            if node == UNPROFILED_NODE:
                continue
            runnable = graph.graph.nodes[node].runnable
            state = recorder.inputs[node]
            profile.enable()
            runnable.invoke(state)
            profile.disable()
            profiled.append(node)
    return {"nodes": profiled, "groups": split(pstats.Stats(profile), our_function_names())}
