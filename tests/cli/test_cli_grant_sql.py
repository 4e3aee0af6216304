"""``zorvanai db grant-sql``: the SQL it prints makes a login that may only read."""

from __future__ import annotations

import uuid

import pytest

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("orders", {"id": "INTEGER PRIMARY KEY", "total": "NUMERIC(8,2)"}, [(1, 9.5)])
    return scratch_db


def statements(sql: str) -> list[str]:
    lines = [line for line in sql.splitlines() if not line.startswith("--")]
    return [part.strip() for part in "\n".join(lines).split(";\n") if part.strip()]


def test_the_printed_sql_makes_a_select_only_login(run_cli, db, database_env):
    role = "zt_reader_" + uuid.uuid4().hex[:8]
    done = run_cli("db", "grant-sql", "--role", role, "--host", "127.0.0.1", env=database_env(db))
    assert done.returncode == 0, done.stderr
    assert "password" in done.stdout.lower() and "secret" not in done.stdout
    password = "grant-test:" + uuid.uuid4().hex
    try:
        for statement in statements(done.stdout.replace("<password>", password)):
            db.execute(statement)
        if db.is_postgres:
            db.execute(f"ALTER ROLE {role} PASSWORD '{password}'")
        handle = CustomSQLDatabase.from_uri(db.url(user=role, password=password), strict=True)
        assert handle.privilege_risks == ()
        assert handle.run("SELECT id FROM orders") == "[(1,)]"
    finally:
        if db.is_postgres:
            db.executescript([f"DROP OWNED BY {role}", f'REVOKE ALL ON DATABASE "{db.name}" FROM {role}',
                              f"DROP ROLE IF EXISTS {role}"])
        else:
            db.execute(f"DROP USER IF EXISTS '{role}'@'127.0.0.1'")


@pytest.mark.parametrize("args, expected", [
    (["--engine", "MsSQL", "--database", "shop"],
     ["CREATE LOGIN [zorvan_reader] WITH PASSWORD = '<password>';",
      "GRANT SELECT ON SCHEMA::[dbo] TO [zorvan_reader];", "DENY INSERT, UPDATE, DELETE, ALTER, EXECUTE"]),
    (["--engine", "mariadb", "--database", "sh`op"],
     ["CREATE USER 'zorvan_reader'@'%' IDENTIFIED BY '<password>';", "GRANT SELECT, SHOW VIEW ON `sh``op`.*"]),
])
def test_each_engine_has_its_own_sql(run_cli, args, expected):
    done = run_cli("db", "grant-sql", *args)
    assert done.returncode == 0, done.stderr
    for line in expected:
        assert line in done.stdout


@pytest.mark.parametrize("args, message", [
    ([], "grant-sql needs the engine and the database"),
    (["--engine", "oracle", "--database", "x"], "--engine must be PostgreSQL, MySQL or MsSQL, not 'oracle'"),
    (["--engine", "sqlite", "--database", "x"], "SQLite has no logins"),
])
def test_usage_errors(run_cli, args, message):
    done = run_cli("db", "grant-sql", *args)
    assert done.returncode == 2 and message in done.stderr
