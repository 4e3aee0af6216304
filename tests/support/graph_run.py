"""Observing question-answering graph runs from the outside.

``trace_nodes()`` records which graph nodes start, in which engine step,
through a LangChain callback handler that is attached to every run started
in the ``with`` block (an inheritable configure hook: nothing is patched and
the graph is invoked exactly as callers invoke it)::

    with trace_nodes() as trace:
        graph.invoke({"user_question": "q", "save_path": str(tmp_path)})
    assert trace.nodes[:2] == ["init_node", "table_names_lookup_node"]

The helpers below script the model stand-in for the graph's requests:
the query checker is a plain completion on the lighter deployment, the
picker a forced function call, every other node a structured reply.
"""

from __future__ import annotations

import contextlib
import contextvars
import re
from collections import defaultdict
from typing import Any, Callable, Iterator

from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.tracers.context import register_configure_hook

PICK_TOOL = "select_relevant_tables"

_current_trace: contextvars.ContextVar["NodeTrace | None"] = contextvars.ContextVar(
    "zorvan_test_node_trace", default=None
)
register_configure_hook(_current_trace, inheritable=True)


class NodeTrace(BaseCallbackHandler):
    """The graph nodes that started, with their engine step, in start order."""

    def __init__(self) -> None:
        self.started: list[tuple[int, str]] = []

    def on_chain_start(self, serialized, inputs, *, run_id, parent_run_id=None, tags=None, metadata=None,
                       **kwargs: Any) -> None:
        metadata = metadata or {}
        node = metadata.get("langgraph_node")
        # A node's own run carries its name; runs inside a node inherit the metadata.
        if node is not None and kwargs.get("name") == node:
            self.started.append((int(metadata["langgraph_step"]), node))

    @property
    def nodes(self) -> list[str]:
        """Node names in the order of their steps (nodes of one step sorted by name)."""
        return [name for _, name in sorted(self.started)]

    def steps(self) -> list[set[str]]:
        """The set of nodes of each step, in step order."""
        by_step: dict[int, set[str]] = defaultdict(set)
        for step, name in self.started:
            by_step[step].add(name)
        return [by_step[s] for s in sorted(by_step)]

    def count(self, node: str) -> int:
        return sum(1 for _, name in self.started if name == node)


@contextlib.contextmanager
def trace_nodes() -> Iterator[NodeTrace]:
    trace = NodeTrace()
    token = _current_trace.set(trace)
    try:
        yield trace
    finally:
        _current_trace.reset(token)


_CHECKER = re.compile(r"\A\n(?P<query>.*)\nDouble check the (?P<dialect>\S+) query above", re.S)


def checked_query(request) -> str:
    """The query that a query-checker request asks about."""
    match = _CHECKER.match(request.user_text)
    assert match, f"not a query-checker request: {request.user_text[:200]!r}"
    return match.group("query")


def is_checker(request) -> bool:
    return request.schema is None and not request.tools and _CHECKER.match(request.user_text) is not None


def script_checker(model_server, rewrite: Callable[[str], str] = lambda query: query) -> None:
    """Answers every query-checker request with ``rewrite(query)``."""
    model_server.default(lambda request: rewrite(checked_query(request)), deployment="gpt35")


def script_picker(model_server, tables: list[str]) -> None:
    """Every relevant-table request picks ``tables``."""
    model_server.default({"relevant_tables": tables}, deployment="gpt35", schema=PICK_TOOL)


def script_queries(model_server, *queries: str) -> None:
    """The SQL generation node's replies, in order."""
    for query in queries:
        model_server.add({"sql_query": query}, deployment="gpt4", schema="SQLQueryInput")


def script_scripts(model_server, *codes: str) -> None:
    """The analysis-script generation replies, in order."""
    for code in codes:
        model_server.add({"code": code}, deployment="gpt35", schema="PythonCodeInput")


def script_answer(model_server, answer: Any = None) -> None:
    """Every final response: ``answer`` (a reply or a callable of the request)."""
    if answer is None:
        answer = {"final_response": "Here is the answer.", "image_path": ""}
    model_server.default(answer, deployment="gpt35", schema="GenerationOutput")


def checker_requests(model_server) -> list:
    return [r for r in model_server.requests if is_checker(r)]
