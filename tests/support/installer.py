"""A stand-in Python interpreter that records package installer runs.

Point ``python_executable`` of the code execution tool at ``path`` and every
``<python> -m pip install <name>`` it starts is recorded instead of
downloading anything. Its behaviour per package comes from environment
variables, which the child inherits from the test process:

    recorder = RecordingInterpreter(tmp_path, monkeypatch)
    recorder.fail("broken", 3)      # exit status 3
    recorder.fail("killed", -15)    # ends by signal 15
    recorder.hang("slow")           # sleeps for a minute
    ...
    assert recorder.packages() == ["broken", "killed", "slow"]
"""

from __future__ import annotations

import json
import os
import socket
import sys
from pathlib import Path
from urllib.parse import urlsplit

import pytest

_PROGRAM = """\
#!{python}
import json, os, signal, sys, time
with open(os.environ["ZORVAN_TEST_INSTALL_LOG"], "a") as log:
    log.write(json.dumps({{"argv": sys.argv[1:], "pid": os.getpid()}}) + "\\n")
package = sys.argv[-1]
print("recorder: pip install " + package, flush=True)
if package in os.environ.get("ZORVAN_TEST_INSTALL_HANG", "").split(","):
    time.sleep(3600)
status = json.loads(os.environ.get("ZORVAN_TEST_INSTALL_FAIL", "{{}}")).get(package, 0)
if status < 0:
    os.kill(os.getpid(), -status)
sys.exit(status)
"""


class RecordingInterpreter:
    def __init__(self, directory: Path, monkeypatch: pytest.MonkeyPatch):
        self.path = directory / "recording-python"
        self.path.write_text(_PROGRAM.format(python=sys.executable))
        self.path.chmod(0o755)
        self._log = directory / "installer-runs.jsonl"
        self._monkeypatch = monkeypatch
        self._failures: dict[str, int] = {}
        self._hanging: list[str] = []
        monkeypatch.setenv("ZORVAN_TEST_INSTALL_LOG", str(self._log))
        monkeypatch.delenv("ZORVAN_TEST_INSTALL_FAIL", raising=False)
        monkeypatch.delenv("ZORVAN_TEST_INSTALL_HANG", raising=False)

    def fail(self, package: str, status: int) -> None:
        self._failures[package] = status
        self._monkeypatch.setenv("ZORVAN_TEST_INSTALL_FAIL", json.dumps(self._failures))

    def hang(self, package: str) -> None:
        self._hanging.append(package)
        self._monkeypatch.setenv("ZORVAN_TEST_INSTALL_HANG", ",".join(self._hanging))

    def install_as(self, interpreter: Path) -> None:
        """Replaces an environment's interpreter with this recorder."""
        interpreter.unlink()
        interpreter.write_text(self.path.read_text())
        interpreter.chmod(0o755)

    def runs(self) -> list[dict]:
        if not self._log.exists():
            return []
        return [json.loads(line) for line in self._log.read_text().splitlines()]

    def commands(self) -> list[list[str]]:
        """The arguments after the interpreter, one list per run."""
        return [run["argv"] for run in self.runs()]

    def packages(self) -> list[str]:
        return [argv[-1] for argv in self.commands()]


def require_registry(timeout: float = 5.0) -> None:
    """Skips the calling test unless the package index answers."""
    index = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple")
    parts = urlsplit(index)
    if parts.scheme == "file":
        if not Path(parts.path).is_dir():
            pytest.skip(f"package index {index} missing")
        return
    port = parts.port or (443 if parts.scheme == "https" else 80)
    try:
        socket.create_connection((parts.hostname, port), timeout=timeout).close()
    except OSError as error:
        pytest.skip(f"package registry {parts.hostname} unreachable: {error}")
