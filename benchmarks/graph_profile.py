"""One whole question through SQLGraph.invoke, the model stand-in answering at once.

Where does the time go when the model costs nothing? Each question is timed as a whole and
its chat-model runs are timed through LangChain callbacks (so "outside the model" = the rest);
one more question runs under cProfile, whose self times are grouped into our C++ code, the
database (drivers and server), and each library, with the model's HTTP exchange set apart.
"""

from __future__ import annotations

import contextlib
import contextvars
import cProfile
import pstats
import statistics
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
    sys.path.insert(0, str(TESTS))

QUESTION = "How many orders did each region get?"

_timer: contextvars.ContextVar["ModelTimer | None"] = contextvars.ContextVar("zorvan_bench_model_timer",
                                                                             default=None)
register_configure_hook(_timer, inheritable=True)


class ModelTimer(BaseCallbackHandler):
    """Wall time of every chat-model run (request building, HTTP exchange, reply parsing)."""

    def __init__(self) -> None:
        self.started: dict = {}
        self.seconds = 0.0
        self.calls = 0

    def on_chat_model_start(self, serialized, messages, *, run_id, **kwargs) -> None:
        self.started[run_id] = time.perf_counter()

    def on_llm_start(self, serialized, prompts, *, run_id, **kwargs) -> None:
        self.started[run_id] = time.perf_counter()

    def on_llm_end(self, response, *, run_id, **kwargs) -> None:
        began = self.started.pop(run_id, None)
        if began is not None:
            self.seconds += time.perf_counter() - began
            self.calls += 1

    on_llm_error = on_llm_end


@contextlib.contextmanager
def timing_model():
    timer = ModelTimer()
    token = _timer.set(timer)
    try:
        yield timer
    finally:
        _timer.reset(token)


def script(model_server) -> None:
    from support.graph_run import script_answer, script_checker, script_picker, script_queries, script_scripts

    script_picker(model_server, ["orders", "stores", "regions"])
    script_queries(model_server, datasets.GRAPH_QUERY)
    script_checker(model_server)
    script_scripts(model_server, "print('orders per region counted')")
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
    for module_name in ("zorvanai.qa_graph.qa_graph", "zorvanai.qa_graph.qa_nodes", "zorvanai.qa_graph.custom_sql",
                        "zorvanai.function_calling.base", "zorvanai.qa_graph.qa_prompts", "zorvanai.settings"):
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


def measure(kind: str, runs: int) -> dict:
    from langchain_core.globals import set_verbose  # noqa: F401  (loads the callback machinery early)
    from support.model_server import ModelServer
    from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
    from zorvanai.qa_graph.qa_graph import SQLGraph

    server = servers.postgres() if kind == "postgresql" else servers.mariadb()
    db = CustomSQLDatabase.from_uri(server.url(datasets.GRAPH_DB))
    totals, models = [], []
    with ModelServer() as model_server, tempfile.TemporaryDirectory() as media:
        graph = SQLGraph(custom_sql_db=db, config_35=model_server.config_35(), config_4=model_server.config_4())
        script(model_server)
        inputs = {"user_question": QUESTION, "save_path": media}
        graph.invoke(inputs)  # warm: first connections, first template renders
        for _ in range(runs):
            with timing_model() as timer:
                started = time.perf_counter()
                state = graph.invoke(inputs)
                totals.append(time.perf_counter() - started)
            models.append(timer.seconds)
            assert state["execution_success"] is True, state.get("sql_execution_result")
            assert timer.calls == 5, timer.calls
        profile = cProfile.Profile()
        profile.enable()
        started = time.perf_counter()
        graph.invoke(inputs)
        profiled_total = time.perf_counter() - started
        profile.disable()
    groups = split(pstats.Stats(profile), our_function_names())
    return {
        "total": statistics.median(totals),
        "model": statistics.median(models),
        "outside": statistics.median([t - m for t, m in zip(totals, models)]),
        "profiled_total": profiled_total,
        "groups": groups,
    }
