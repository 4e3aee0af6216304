"""Every public function, class and method carries a usable docstring.

The usual Python form: a first line that sums it up (a sentence), an "Args:" entry
for each parameter, and a "Returns:" section when the stub says it returns a value.
"""

from __future__ import annotations

import ast
import inspect
import os
from pathlib import Path
from typing import Any, Iterator

import pytest

from test_stubs import MODULES, load, pristine_names, stub_of

# Structured-output records: a class docstring would become the description in the
# JSON schema the chat model is sent, so they keep none; their stubs document them.
RECORDS = {"RelevantTablesOutput", "RewriteQueryOutput", "PandasCodeOutput", "PythonCodeInput", "SQLQueryInput",
           "GenerationOutput"}


@pytest.fixture(scope="module")
def modules(tmp_path_factory) -> dict[str, Any]:
    directory = tmp_path_factory.mktemp("docs")
    return {name: load(name, directory) for name in MODULES}


def stub_returns(name: str) -> dict[str, bool]:
    """"function" / "Class.method" -> whether the stub gives it a return value other than None."""
    result: dict[str, bool] = {}

    def returns(function: ast.FunctionDef) -> bool:
        return not (isinstance(function.returns, ast.Constant) and function.returns.value is None)

    for node in stub_of(name).body:
        if isinstance(node, ast.FunctionDef):
            result[node.name] = returns(node)
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not any(
                        isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list):
                    result[f"{node.name}.{member.name}"] = returns(member)
    return result


def documented(name: str, module: Any) -> Iterator[tuple[str, Any]]:
    """(qualified name, object) of every public function, class and method the module defines."""
    for attr in pristine_names()[name]:
        value = getattr(module, attr)
        if getattr(value, "__module__", None) != name:
            continue
        yield attr, value
        if isinstance(value, type):
            for member, raw in vars(value).items():
                if member.startswith("_") and member != "__init__":
                    continue
                if isinstance(raw, (classmethod, staticmethod)):
                    yield f"{attr}.{member}", raw.__func__
                elif isinstance(raw, property) or (callable(raw) and not isinstance(raw, type)):
                    yield f"{attr}.{member}", raw if isinstance(raw, property) else getattr(value, member)


def problems_of(qualified: str, obj: Any, returns: dict[str, bool]) -> list[str]:
    if isinstance(obj, type) and qualified in RECORDS:
        return [] if obj.__dict__.get("__doc__") is None else ["a record with a class docstring"]
    doc = obj.__dict__.get("__doc__") if isinstance(obj, type) else obj.__doc__
    if not doc or not doc.strip():
        return ["no docstring"]
    doc = inspect.cleandoc(doc)
    summary = doc.splitlines()[0]
    found = []
    if not summary.endswith(".") or len(summary) > 100:
        found.append(f"summary line {summary!r}")
    if isinstance(obj, (type, property)):
        return found
    parameters = [p for p in inspect.signature(obj).parameters.values()
                  if p.name not in ("self", "cls") and p.kind is not p.VAR_POSITIONAL]
    if parameters and "\nArgs:\n" not in doc:
        found.append("no Args section")
    for parameter in parameters:
        label = ("**" if parameter.kind is parameter.VAR_KEYWORD else "") + parameter.name
        if f"\n    {label}:" not in doc:
            found.append(f"Args does not describe {label}")
    if returns.get(qualified, False) and not qualified.endswith("__init__") and "\nReturns:\n" not in doc:
        found.append("no Returns section")
    return found


@pytest.mark.parametrize("name", MODULES)
def test_module_has_a_docstring(name, modules):
    doc = modules[name].__doc__
    assert doc and doc.strip().splitlines()[0].endswith("."), name


@pytest.mark.parametrize("name", MODULES)
def test_public_names_have_docstrings(name, modules):
    returns = stub_returns(name)
    problems = {qualified: found for qualified, obj in documented(name, modules[name])
                if (found := problems_of(qualified, obj, returns))}
    assert problems == {}


def test_the_check_finds_undocumented_code():
    # The rules themselves: a bare function and a summary-only one are both reported.
    def bare(state):
        pass

    def summary_only(state, **kwargs):
        """Do something."""

    assert problems_of("bare", bare, {}) == ["no docstring"]
    assert problems_of("summary_only", summary_only, {"summary_only": True}) == [
        "no Args section", "Args does not describe state", "Args does not describe **kwargs", "no Returns section"]
