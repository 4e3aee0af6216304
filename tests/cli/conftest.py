"""Running the ``zorvanai`` console command as a real child process.

``run_cli(*args, env=..., cwd=..., stdin=..., tty=False)`` starts the
command with a clean environment (no ``ZORVAN_*`` or ``db_*`` variables of
the test process leak in) plus ``env``, and returns the finished process with
``stdout`` and ``stderr`` as text. With ``tty=True`` standard error is a
pseudo-terminal, as in an interactive shell. ``start_cli(*args, env=..., cwd=...)``
starts it without waiting, for tests that act on it while it runs.

The command is the installed console script when the package under test is
the installed one, else ``python -c "...main()"`` on the same package tree.
"""

from __future__ import annotations

import os
import pty
import select
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

import zorvanai
from support.db import READER_PASSWORD, READER_USER

PACKAGE_ROOT = Path(zorvanai.__file__).resolve().parent.parent
SCRIPT = Path(sys.executable).parent / "zorvanai"
RUN_MAIN = "import sys; from zorvanai.cli import main; sys.exit(main())"
TIME_LIMIT = 180


def command() -> list[str]:
    installed = SCRIPT.exists() and "site-packages" in PACKAGE_ROOT.parts
    return [str(SCRIPT)] if installed else [sys.executable, "-c", RUN_MAIN]


def clean_environment(extra: dict[str, str]) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZORVAN_") or k.startswith("ZORVAN_TEST_")}
    for name in ("db_name", "db_user", "db_password", "db_host"):
        env.pop(name, None)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_ROOT), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    env.update(extra)
    return env


@dataclass
class Finished:
    returncode: int
    stdout: str
    stderr: str

    @property
    def error_lines(self) -> list[str]:
        return [line for line in self.stderr.splitlines() if line.strip()]


def _run_with_tty(cmd: list[str], env: dict[str, str], cwd: Path) -> Finished:
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=slave)
    finally:
        os.close(slave)
    chunks: list[bytes] = []
    deadline = time.monotonic() + TIME_LIMIT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:  # the child closed the terminal
                break
            if not data:
                break
            chunks.append(data)
        elif proc.poll() is not None:
            break
    os.close(master)
    out, _ = proc.communicate(timeout=TIME_LIMIT)
    return Finished(proc.returncode, out.decode(), b"".join(chunks).decode())


@pytest.fixture
def run_cli(tmp_path):
    """Runs the command in ``tmp_path`` (or ``cwd``) and returns a :class:`Finished`."""

    def run(*args: str, env: dict[str, str] | None = None, cwd: Path | None = None, stdin: str | None = None,
            tty: bool = False) -> Finished:
        environment = clean_environment(env or {})
        where = cwd or tmp_path
        cmd = command() + list(args)
        if tty:
            return _run_with_tty(cmd, environment, where)
        done = subprocess.run(cmd, env=environment, cwd=where, input=stdin or "", capture_output=True, text=True,
                              timeout=TIME_LIMIT)
        return Finished(done.returncode, done.stdout, done.stderr)

    return run


@pytest.fixture
def start_cli(tmp_path):
    """Starts the command in ``tmp_path`` (or ``cwd``) and returns the ``subprocess.Popen`` (text pipes)."""

    def start(*args: str, env: dict[str, str] | None = None, cwd: Path | None = None) -> subprocess.Popen:
        return subprocess.Popen(command() + list(args), env=clean_environment(env or {}), cwd=cwd or tmp_path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    return start


def _database_env(db) -> dict[str, str]:
    # The SELECT-only login, as the README advises: an administrator's login
    # would add a warning about its rights to every run.
    return {
        "ZORVAN_DB_ENGINE": db.zorvan_engine,
        "ZORVAN_DB_NAME": db.name,
        "ZORVAN_DB_USER": READER_USER,
        "ZORVAN_DB_PASSWORD": READER_PASSWORD,
        "ZORVAN_DB_HOST": db.host,
        "ZORVAN_DB_PORT": str(db.port),
    }


@pytest.fixture
def database_env():
    """``database_env(db)``: the ZORVAN_DB_* variables that point the command at a scratch database
    (as its SELECT-only login)."""
    return _database_env
