"""Code execution tool: a virtual environment for analysis code, package installation into
it, execution of the application's own Python source in this module's namespace with its
printed output captured, and a sandboxed session for model-written code."""

import ast as ast
import os as os
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import venv as venv
from collections.abc import Iterable
from io import StringIO as StringIO

env_path: str | None
media_path: str | None
python_executable: str | None

class InstallationError(RuntimeError):
    """Installer runs that failed; ``failures`` lists (package, exit status or None)."""

    failures: list[tuple[str, int | None]]

class ScriptError(Exception):
    """Code run in a Sandbox failed; the message is the worker's "{type}: {message}" text."""

class Sandbox:
    """A session in an isolated worker process whose definitions carry over between runs."""

    def __init__(self, save_path: str | os.PathLike[str] | None = None) -> None: ...
    def run(self, code: str) -> str: ...
    def close(self) -> None: ...
    def __enter__(self) -> Sandbox: ...
    def __exit__(self, *exc_info: object) -> bool: ...

def initialize_environment(env_path_param: str) -> None: ...
def ensure_virtual_environment() -> None: ...
def install_defaults() -> None: ...
def safe_install_modules(module_names: Iterable[str]) -> None: ...
def install_dependencies(dependencies: Iterable[str]) -> None: ...
def execute_code(code: str) -> str: ...
