"""``zorvanai schema``, ``zorvanai context`` and the command's own options, as a real child process."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from support.db import CLOSED_PORT
from support.graph_run import script_answer, script_checker, script_picker, script_queries, script_scripts


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("orders", {"id": "INTEGER PRIMARY KEY", "customer": "VARCHAR(40)", "total": "NUMERIC(8,2)"})
    scratch_db.load_table("staff", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(20)"})
    return scratch_db


def column_types(db, table):
    """The column types as the database tool reports them, from the server's catalogue."""
    if db.is_postgres:
        rows = db.query("SELECT column_name, data_type FROM information_schema.columns WHERE table_name = %s "
                        "ORDER BY ordinal_position", [table])
    else:
        rows = [(field, kind) for field, kind, *_ in db.query(f"SHOW COLUMNS FROM {table}")]
    return rows


def test_schema_lists_tables_and_columns(run_cli, db, database_env):
    done = run_cli("schema", env=database_env(db))

    assert done.returncode == 0, done.stderr
    blocks = done.stdout.rstrip("\n").split("\n\n")
    assert sorted(block.splitlines()[0] for block in blocks) == ["orders", "staff"]
    for block in blocks:
        table, *columns = block.splitlines()
        listed = [tuple(line.split(None, 1)) for line in columns]
        assert listed == column_types(db, table)
        assert all(line.startswith("  ") for line in columns)

    as_json = run_cli("schema", "--json", env=database_env(db))
    assert as_json.returncode == 0, as_json.stderr
    record = json.loads(as_json.stdout)
    assert record["orders"] == [{"name": n, "type": t} for n, t in column_types(db, "orders")]
    assert set(record) == {"orders", "staff"}


def test_schema_failures_are_one_line(run_cli, db, database_env):
    unreachable = run_cli("schema", env={**database_env(db), "ZORVAN_DB_PORT": str(CLOSED_PORT)})
    assert unreachable.returncode == 1
    (line,) = unreachable.error_lines
    assert line.startswith("zorvanai: cannot read the schema: ")
    assert ("Failed to connect to the database: " in line) if not db.is_postgres else ("Connection refused" in line)
    assert "Traceback" not in unreachable.stderr and unreachable.stdout == ""

    # PostgreSQL's message of several lines is one line, without the tool's own quotes around it.
    assert "The error '" not in line and "' occurred" not in line
    if db.is_postgres:
        assert line.count("'") == 0 and line.endswith("accepting TCP/IP connections?"), line

    mssql = run_cli("schema", env={**database_env(db), "ZORVAN_DB_ENGINE": "MsSQL"})
    assert mssql.returncode == 2
    assert mssql.error_lines == ["zorvanai: the schema listing supports MySQL, PostgreSQL and SQLite; "
                                 "ZORVAN_DB_ENGINE is MsSQL"]


def test_context_set_instructions_and_show(run_cli, tmp_path):
    empty = run_cli("context", "show")
    assert (empty.returncode, empty.stdout) == (0, "Context:\n  (none)\nInstructions:\n  (none)\n")
    assert not (tmp_path / "context.json").exists()

    done = run_cli("context", "set", "We sell garden tools in Ghent.")
    assert (done.returncode, done.stdout) == (0, "Context saved in context.json.\n")
    assert (tmp_path / "context.json").read_text() == (
        '{"context_prompt": "We sell garden tools in Ghent.", "custom_instructions": ""}')

    # "-" reads the text from standard input; both texts are kept.
    done = run_cli("context", "instructions", "-", stdin="Answer in one sentence.\nUse euros.\n")
    assert (done.returncode, done.stdout) == (0, "Instructions saved in context.json.\n")
    shown = run_cli("context", "show")
    assert shown.stdout == ("Context:\n  We sell garden tools in Ghent.\n"
                            "Instructions:\n  Answer in one sentence.\n  Use euros.\n")
    as_json = run_cli("context", "show", "--json")
    assert json.loads(as_json.stdout) == {"context_prompt": "We sell garden tools in Ghent.",
                                          "custom_instructions": "Answer in one sentence.\nUse euros."}


def test_context_failures_are_one_line(run_cli, tmp_path):
    (tmp_path / "context.json").write_text("[1, 2")
    broken = run_cli("context", "show")
    assert broken.returncode == 1
    (line,) = broken.error_lines
    assert line.startswith("zorvanai: context.json is not valid JSON: ")

    (tmp_path / "context.json").unlink()
    (tmp_path / "context.json").mkdir()
    unreadable = run_cli("context", "show")
    assert unreadable.returncode == 1
    assert unreadable.error_lines == ["zorvanai: cannot read context.json: IsADirectoryError: "
                                      "[Errno 21] Is a directory: 'context.json'"]

    # No file can be made in /proc, not even by root.
    unwritable = run_cli("context", "set", "x", cwd=Path("/proc"))
    assert unwritable.returncode == 1
    (line,) = unwritable.error_lines
    assert line.startswith("zorvanai: cannot write context.json: ")
    assert "Traceback" not in broken.stderr + unreadable.stderr + unwritable.stderr


def test_stored_context_reaches_the_answer_request(run_cli, db, database_env, vendor_env, model_server, tmp_path):
    assert run_cli("context", "set", "CONTEXT-MARK-41").returncode == 0
    assert run_cli("context", "instructions", "INSTRUCTION-MARK-17").returncode == 0
    vendor_env.serve_deployments_for(model_server)
    script_picker(model_server, ["orders"])
    script_queries(model_server, "SELECT COUNT(*) AS n FROM orders")
    script_checker(model_server)
    script_scripts(model_server, "print(0)")
    script_answer(model_server, {"final_response": "There are no orders.", "image_path": ""})
    env = {**database_env(db), "ZORVAN_API_URL": vendor_env.url, "ZORVAN_API_KEY": "k"}

    done = run_cli("ask", "--quiet", "How many orders?", env=env)

    assert (done.returncode, done.stdout) == (0, "There are no orders.\n"), done.stderr
    (answer,) = model_server.requests_for(schema="GenerationOutput")
    assert "CONTEXT-MARK-41" in answer.user_text and "INSTRUCTION-MARK-17" in answer.user_text
    # No chart: the chart line is left out of the full output, not printed empty.
    model_server.reset()
    script_picker(model_server, ["orders"])
    script_queries(model_server, "SELECT COUNT(*) AS n FROM orders")
    script_checker(model_server)
    script_scripts(model_server, "print(0)")
    script_answer(model_server, {"final_response": "There are no orders.", "image_path": ""})
    full = run_cli("ask", "How many orders?", env=env)
    assert full.returncode == 0, full.stderr
    assert "Chart:" not in full.stdout
    assert "Result 1:\n  n\n  -\n  0\n  (1 row)\n" in full.stdout


def test_help_version_and_bad_arguments(run_cli):
    helped = run_cli("--help")
    assert helped.returncode == 0
    for word in ("ask", "schema", "context", "ZORVAN_DB_ENGINE", "ZORVAN_API_KEY", "ZORVAN_MEDIA_DIR"):
        assert word in helped.stdout
    ask_help = run_cli("ask", "--help")
    assert ask_help.returncode == 0 and "--json" in ask_help.stdout and "--quiet" in ask_help.stdout

    version = run_cli("--version")
    declared = re.search(r'\nversion = "([^"]+)"', (Path(__file__).parents[2] / "pyproject.toml").read_text())[1]
    assert (version.returncode, version.stdout) == (0, f"zorvanai {declared}\n")

    for args in (["ask"], ["context"], ["nonsense"], ["ask", "--json", "--quiet", "q"]):
        bad = run_cli(*args)
        assert bad.returncode == 2, args
        assert re.match(r"zorvanai( [a-z]+)?: error: ", bad.error_lines[-1]), bad.stderr
        assert "Traceback" not in bad.stderr
