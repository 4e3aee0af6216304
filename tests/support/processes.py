"""Waiting for the processes of a finished script run to be gone.

A run's processes work in the directory the application gave it; once a run
has ended (or was stopped), no process may be left there.

    wait_until_gone(tmp_path)
"""

from __future__ import annotations

import os
import time
from pathlib import Path


def processes_in(directory) -> list[int]:
    """Other processes whose working directory is `directory`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and int(entry.name) != os.getpid() and os.readlink(entry / "cwd") == str(directory):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


def wait_until_gone(directory, within: float = 10.0) -> None:
    """Returns once no process works in `directory`; fails when some still do after `within` seconds."""
    deadline = time.monotonic() + within
    while processes_in(directory):
        assert time.monotonic() < deadline, f"processes of a finished run live on: {processes_in(directory)}"
        time.sleep(0.02)
