"""A typed tour of the package: the schema, the context store, then one question.

    python examples/tour.py "Which region sold most last month?"

The settings come from the environment or a .env file, read by the same loader as the
``zorvanai`` command: the database from ZORVAN_DB_ENGINE ("PostgreSQL", "MySQL" or
"SQLite"), ZORVAN_DB_NAME, ZORVAN_DB_USER, ZORVAN_DB_PASSWORD, ZORVAN_DB_HOST and
ZORVAN_DB_PORT; the chat model as the README's "Model sources" says. Charts go to
ZORVAN_MEDIA_DIR (./media).
"""

from __future__ import annotations

import sys

from zorvanai import api, dbtool
from zorvanai.agent import create_agent, run_agent
from zorvanai.prompts import context
from zorvanai.settings import load_settings


def show_schema(engine: str) -> None:
    """Print each table with its columns, through the database tool."""
    if engine == "SQLite":
        schema = dbtool.get_sqlite_schema()
    elif engine == "PostgreSQL":
        schema = dbtool.get_pgdb_schema()
    else:
        schema = dbtool.get_mysql_database_schema()
    if schema is None:
        print("The database could not be reached.")
        return
    for table, columns in schema.items():
        described = ", ".join(f"{column['name']} ({column['type']})" for column in columns)
        print(f"{table}: {described}")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__)
        return 2
    question = argv[1]
    try:
        settings = load_settings()
    except api.ConfigurationError as error:
        print(error, file=sys.stderr)
        return 2
    engine = settings.engine
    if engine == "SQLite":
        dbtool.db_name = settings.db_name
    else:
        dbtool.set_database_config(settings.db_name, settings.db_user, settings.db_password, settings.db_host,
                                   settings.db_port)
    show_schema(engine)

    stored = context.read_values()
    print("Context:", stored.get("context_prompt") or "(none)")
    print("Instructions:", context.check_instructions()["custom_instructions"] or "(none)")

    agent = create_agent(engine, settings.db_name, settings.db_user, settings.db_password, settings.db_host,
                         settings.db_port, quiet=True)
    if agent is None:
        return 1
    result = run_agent(agent, settings.api_key or "", question, settings.media_dir)
    if isinstance(result, str):
        print(result)
        return 1
    print(result["output"])
    for query, rows in zip(result.get("generated_query", []), result.get("sql_execution_result", [])):
        print(f"\n{query}\n  -> {rows}")
    chart = result.get("image_path")
    if chart:
        print(f"\nChart: {chart}")
    return 0 if result.get("generated_query") else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
