"""The type stubs agree with the compiled modules, and mypy --strict accepts them and the examples.

Each module's ``.pyi`` is read with ``ast`` and held against the module as loaded:
the public names on both sides, every function's and method's parameters (names,
kinds, defaults) against ``inspect.signature``, class bases, the fields of records,
and the types of module values.
"""

from __future__ import annotations

import ast
import builtins
import functools
import importlib
import inspect
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

import pytest

import zorvanai

MODULES = [line.strip() for line in (Path(__file__).resolve().parent.parent / "src" / "modules.txt").read_text().splitlines()
           if line.strip() and not line.startswith("#")]
PACKAGE = Path(zorvanai.__file__).resolve().parent
REPO = Path(__file__).resolve().parent.parent
ANY_DEFAULT = object()  # "= ..." in a stub


def stub_of(name: str) -> ast.Module:
    path = PACKAGE.parent / (name.replace(".", "/") + ".pyi")
    assert path.is_file(), f"no stub {path}"
    return ast.parse(path.read_text(), str(path))


def load(name: str, directory: Path) -> Any:
    # The context store and the node module read context.json of the working directory.
    cwd = os.getcwd()
    os.chdir(directory)
    try:
        return importlib.import_module(name)
    finally:
        os.chdir(cwd)


@pytest.fixture(scope="module")
def modules(tmp_path_factory) -> dict[str, Any]:
    directory = tmp_path_factory.mktemp("stubs")
    return {name: load(name, directory) for name in MODULES}


@functools.lru_cache(maxsize=None)
def pristine_names() -> dict[str, list[str]]:
    """Each module's public names as loading it defines them, read in a fresh interpreter.

    Other tests change module namespaces in this process (code run by
    zorvanai.codetool.execute_code defines its names in that module).
    """
    code = ("import importlib, json, sys\n"
            "print(json.dumps({n: sorted(k for k in vars(importlib.import_module(n)) if not k.startswith('_'))"
            " for n in sys.argv[1:]}))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with tempfile.TemporaryDirectory() as directory:
        done = subprocess.run([sys.executable, "-c", code, *MODULES], capture_output=True, text=True, env=env,
                              cwd=directory, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# -- reading stubs -------------------------------------------------------------

def stub_names(tree: ast.Module) -> dict[str, ast.AST]:
    """Top-level names a stub defines or re-exports (``import x as x``)."""
    names: dict[str, ast.AST] = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname is not None and alias.asname == alias.name.rsplit(".", 1)[-1]:
                    names[alias.asname] = node
    return names


def public(names) -> set[str]:
    return {name for name in names if not name.startswith("_")}


def literal(node: ast.expr | None) -> Any:
    if node is None:
        return inspect.Parameter.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ANY_DEFAULT
    return ast.literal_eval(node)


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, Any, Any]]:
    """(name, kind, default) of each parameter of a stub function."""
    P = inspect.Parameter
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    result = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = P.POSITIONAL_ONLY if i < len(args.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        result.append((arg.arg, kind, literal(default)))
    if args.vararg:
        result.append((args.vararg.arg, P.VAR_POSITIONAL, P.empty))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        result.append((arg.arg, P.KEYWORD_ONLY, literal(default)))
    if args.kwarg:
        result.append((args.kwarg.arg, P.VAR_KEYWORD, P.empty))
    return result


def runtime_parameters(obj: Any) -> list[tuple[str, Any, Any]]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def assert_same_parameters(stub: ast.FunctionDef, obj: Any, where: str) -> None:
    expected = runtime_parameters(obj)
    found = stub_parameters(stub)
    assert [(n, k) for n, k, _ in found] == [(n, k) for n, k, _ in expected], where
    for (name, _, stub_default), (_, _, default) in zip(found, expected):
        if stub_default is ANY_DEFAULT:
            assert default is not inspect.Parameter.empty, f"{where}: {name} has no default"
        else:
            assert stub_default == default and type(stub_default) is type(default), f"{where}: default of {name}"


def decorators(function: ast.FunctionDef) -> set[str]:
    return {d.id for d in function.decorator_list if isinstance(d, ast.Name)}


def base_name(node: ast.expr) -> str:
    while isinstance(node, ast.Subscript):
        node = node.value
    return node.attr if isinstance(node, ast.Attribute) else node.id  # type: ignore[union-attr]


def own_members(cls: type) -> dict[str, Any]:
    """Methods, class methods and properties defined in the class body (not inherited)."""
    kinds = (classmethod, staticmethod, property)
    return {name: value for name, value in vars(cls).items()
            if isinstance(value, kinds) or (callable(value) and not isinstance(value, type))}


def value_matches(annotation: ast.expr, value: Any) -> bool:
    """Whether a module value fits a simple annotation (builtins, X | None, list[...], dict[...])."""
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return value_matches(annotation.left, value) or value_matches(annotation.right, value)
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return value is None
    if isinstance(annotation, ast.Subscript):
        annotation = annotation.value
    if isinstance(annotation, ast.Name) and annotation.id in {"str", "int", "float", "bool", "dict", "list", "tuple"}:
        kind = getattr(builtins, annotation.id)
        return isinstance(value, kind) and not (kind is int and isinstance(value, bool))
    return True  # library types are left to mypy


# -- the checks ----------------------------------------------------------------

def test_package_ships_a_stub_per_module_and_the_typed_marker():
    assert (PACKAGE / "py.typed").is_file()
    stubs = {str(p.relative_to(PACKAGE.parent).with_suffix("")).replace(os.sep, ".")
             for p in PACKAGE.rglob("*.pyi")}
    assert stubs == set(MODULES)


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_exactly_the_public_names(name, modules):
    module = modules[name]
    declared = stub_names(stub_of(name))
    runtime = set(pristine_names()[name])
    assert sorted(runtime - public(declared)) == [], "missing from the stub"
    assert sorted(public(declared) - runtime) == [], "not in the module"
    if hasattr(module, "__all__"):
        (node,) = [n for n in stub_of(name).body if isinstance(n, ast.Assign)
                   and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets)]
        assert ast.literal_eval(node.value) == list(module.__all__)


@pytest.mark.parametrize("name", MODULES)
def test_functions_and_values_match(name, modules):
    module = modules[name]
    for stub_name, node in stub_names(stub_of(name)).items():
        if stub_name.startswith("_"):
            continue
        value = getattr(module, stub_name)
        if isinstance(node, ast.FunctionDef):
            assert_same_parameters(node, value, f"{name}.{stub_name}")
        elif isinstance(node, ast.AnnAssign):
            assert value_matches(node.annotation, value), f"{name}.{stub_name} = {value!r}"
        elif isinstance(node, ast.ImportFrom):
            source = importlib.import_module(node.module)
            assert value is getattr(source, stub_name), f"{name}.{stub_name} is not {node.module}.{stub_name}"


@pytest.mark.parametrize("name", MODULES)
def test_classes_match(name, modules):
    module = modules[name]
    for node in stub_of(name).body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        cls = getattr(module, node.name)
        where = f"{name}.{node.name}"
        stub_bases = [base_name(b) for b in node.bases if base_name(b) != "Generic"]
        if stub_bases == ["TypedDict"]:
            assert isinstance(cls, type) and issubclass(cls, dict), where
            keys = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
            assert keys == list(cls.__annotations__), where
            continue
        # object and pybind11's own base class are left implicit in stubs.
        bases = [b.__name__ for b in cls.__bases__ if b is not object and b.__name__ != "pybind11_object"]
        assert stub_bases == bases, where

        members = own_members(cls)
        stub_methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        required = {m for m in members if not m.startswith("_") or m == "__init__"}
        assert sorted(required - set(stub_methods)) == [], f"{where}: methods missing from the stub"
        for method, function in stub_methods.items():
            assert method in members, f"{where}.{method} is not defined by the class"
            raw = members[method]
            if "property" in decorators(function):
                assert isinstance(raw, property), f"{where}.{method} is not a property"
            elif "staticmethod" in decorators(function):
                assert isinstance(raw, staticmethod), f"{where}.{method} is not a static method"
                assert_same_parameters(function, raw.__func__, f"{where}.{method}")
            elif "classmethod" in decorators(function):
                assert isinstance(raw, classmethod), f"{where}.{method} is not a class method"
                assert_same_parameters(function, raw.__func__, f"{where}.{method}")
            else:
                assert not isinstance(raw, (classmethod, staticmethod, property)), f"{where}.{method}"
                assert_same_parameters(function, getattr(cls, method), f"{where}.{method}")

        if hasattr(cls, "model_fields") and "BaseModel" in stub_bases:
            fields = [(n.target.id, n.value is not None) for n in node.body if isinstance(n, ast.AnnAssign)]
            assert fields == [(f, not info.is_required()) for f, info in cls.model_fields.items()], where


def mypy(*args: str, cache: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if "site-packages" not in PACKAGE.parts:
        env["MYPYPATH"] = str(PACKAGE.parent)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args],
                          capture_output=True, text=True, env=env, cwd=REPO, timeout=600)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory) -> Path:
    build = REPO / "build"
    return build / "mypy-cache" if build.is_dir() else tmp_path_factory.mktemp("mypy-cache")


def test_mypy_strict_accepts_the_stubs_and_the_examples(mypy_cache):
    examples = sorted(str(p) for p in (REPO / "examples").glob("*.py"))
    assert examples, "no example programs"
    stubs = [] if "site-packages" in PACKAGE.parts else sorted(str(p) for p in PACKAGE.rglob("*.pyi"))
    done = mypy(*examples, *stubs, cache=mypy_cache)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_sees_the_stub_types(tmp_path, mypy_cache):
    # A program that misuses the API is refused: the stubs give real types, not Any.
    program = tmp_path / "misuse.py"
    program.write_text(
        "from zorvanai.agent import create_agent, run_agent\n"
        "from zorvanai.dbtool import set_database_config\n"
        "agent = create_agent('PostgreSQL', 'db', 'user', 'pw', 'host', 5432)\n"
        "answer: int = run_agent(agent, 'key', 'question', 'media')\n"
        "set_database_config('db', 'user', 'pw', 'host', '5432')\n"
        "agent.invoke(['not', 'a', 'mapping'])\n"
    )
    done = mypy(str(program), cache=mypy_cache)
    assert done.returncode == 1
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["4", "5", "6", "6"], done.stdout


def test_mypy_strict_accepts_the_readme_example(tmp_path, mypy_cache):
    readme = (REPO / "README.md").read_text()
    example = readme.split("From Python:\n\n```python\n", 1)[1].split("```", 1)[0]
    assert "run_agent(" in example
    program = tmp_path / "readme_example.py"
    program.write_text(example)
    done = mypy(str(program), cache=mypy_cache)
    assert done.returncode == 0, done.stdout + done.stderr
