"""Ctrl-C while a statement runs on a scratch database, without timing windows.

    with interrupt_when_running(db) as seen:
        with pytest.raises(KeyboardInterrupt):
            run_a_long_query()
    assert seen["session"] is not None and running_statement(db) is None

A watcher thread polls the server until a statement of the scratch database
is running (another session than the watcher's), then sends SIGINT to this
process, whose main thread is the one running the statement.
"""

from __future__ import annotations

import os
import signal
import threading
import time
from contextlib import contextmanager


def running_statement(db):
    """The server session that runs a statement in the scratch database, if any."""
    if db.is_postgres:
        rows = db.query("SELECT pid FROM pg_stat_activity WHERE state = 'active' AND datname = current_database() "
                        "AND pid <> pg_backend_pid()")
    else:
        rows = db.query("SELECT ID FROM information_schema.PROCESSLIST WHERE COMMAND = 'Query' AND DB = DATABASE() "
                        "AND ID <> CONNECTION_ID()")
    return rows[0][0] if rows else None


@contextmanager
def interrupt_when_running(db, within: float = 60):
    seen: dict = {"session": None}

    def watch():
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            session = running_statement(db)
            if session is not None:
                seen["session"] = session
                os.kill(os.getpid(), signal.SIGINT)
                return
            time.sleep(0.05)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield seen
    finally:
        watcher.join()
