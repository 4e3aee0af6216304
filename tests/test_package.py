"""Every module of the package is a compiled extension module that imports."""

import importlib
import importlib.machinery
from pathlib import Path

import pytest

from test_stubs import MODULES  # noqa: E402  (the package's module list)


@pytest.mark.parametrize("name", MODULES)
def test_module_is_a_compiled_extension(name, in_tmp_cwd):
    module = importlib.import_module(name)
    suffix = Path(module.__file__).name
    assert any(suffix.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES), module.__file__
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)


def test_python_files_are_package_markers_only():
    import zorvanai

    root = Path(zorvanai.__file__).parent
    for path in root.rglob("*.py"):
        assert path.name == "__init__.py", path
        code = [line for line in path.read_text().splitlines() if line.strip() and not line.startswith(("#", '"""'))]
        assert code == [], f"{path} holds code: {code}"
