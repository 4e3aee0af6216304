"""No login is tried without a user name; connections send keepalives; Ctrl-C
stops a running statement on the server too."""

import socket
import time

import pytest

from support.interrupt import interrupt_when_running, running_statement
from zorvanai import dbtool


def test_no_connection_is_tried_without_a_user_name(scratch_db, use_db, capsys):
    use_db(scratch_db)
    dbtool.db_user = None
    query = dbtool.execute_pgdb_query if scratch_db.is_postgres else dbtool.execute_mysql_query
    assert query("SELECT 1") is None
    printed = capsys.readouterr().out
    reason = "no user name: set db_user (environment or set_database_config) or pass db_user"
    assert printed == (f"The error '{reason}' occurred\n" if scratch_db.is_postgres
                       else f"Failed to connect to the database: {reason}\n")


def test_connections_send_keepalives(scratch_db):
    values = (scratch_db.user, scratch_db.password, scratch_db.host, scratch_db.port, scratch_db.name)
    if scratch_db.is_postgres:
        conn = dbtool.get_pgdb_connection(*values)
        assert "keepalives=1" in conn.dsn and "keepalives_idle=30" in conn.dsn
    else:
        conn = dbtool.get_mysql_db_connection(*values)
        assert conn._sock.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE) == 1
    conn.close()


def test_an_interrupt_stops_the_statement_on_the_server(scratch_db, use_db):
    scratch_db.load_table("numbers", {"n": "INTEGER PRIMARY KEY"}, [(i,) for i in range(1000)])
    use_db(scratch_db)
    query = dbtool.execute_pgdb_query if scratch_db.is_postgres else dbtool.execute_mysql_query
    with interrupt_when_running(scratch_db) as seen:
        with pytest.raises(KeyboardInterrupt):
            query("SELECT COUNT(*) FROM numbers a, numbers b, numbers c, numbers d")
    assert seen["session"] is not None
    deadline = time.monotonic() + 10  # a killed session leaves the server's list of running statements
    while running_statement(scratch_db) is not None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert running_statement(scratch_db) is None
