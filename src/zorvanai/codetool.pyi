"""Code execution tool: a virtual environment for analysis code, package installation into
it, and execution of Python source in this module's own namespace with its printed output
captured."""

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

def initialize_environment(env_path_param: str) -> None: ...
def ensure_virtual_environment() -> None: ...
def install_defaults() -> None: ...
def safe_install_modules(module_names: Iterable[str]) -> None: ...
def install_dependencies(dependencies: Iterable[str]) -> None: ...
def execute_code(code: str) -> str: ...
