"""A typed tour of the package: the schema, the context store, then one question.

    python examples/tour.py "Which region sold most last month?"

The database comes from ZORVAN_DB_ENGINE ("PostgreSQL" or "MySQL"), ZORVAN_DB_NAME,
ZORVAN_DB_USER, ZORVAN_DB_PASSWORD, ZORVAN_DB_HOST and ZORVAN_DB_PORT; the vendor
service from ZORVAN_API_URL and ZORVAN_API_KEY. Charts go to ./media.
"""

from __future__ import annotations

import os
import sys

from zorvanai import dbtool
from zorvanai.agent import create_agent, run_agent
from zorvanai.prompts import context


def show_schema(engine: str) -> None:
    """Print each table with its columns, through the database tool."""
    schema = dbtool.get_pgdb_schema() if engine == "PostgreSQL" else dbtool.get_mysql_database_schema()
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
    env = os.environ
    engine = env.get("ZORVAN_DB_ENGINE", "PostgreSQL")
    name, user = env.get("ZORVAN_DB_NAME", ""), env.get("ZORVAN_DB_USER", "")
    password, host = env.get("ZORVAN_DB_PASSWORD", ""), env.get("ZORVAN_DB_HOST", "localhost")
    port = int(env.get("ZORVAN_DB_PORT", "5432" if engine == "PostgreSQL" else "3306"))

    dbtool.set_database_config(name, user, password, host, port)
    show_schema(engine)

    stored = context.read_values()
    print("Context:", stored.get("context_prompt") or "(none)")
    print("Instructions:", context.check_instructions()["custom_instructions"] or "(none)")

    agent = create_agent(engine, name, user, password, host, port)
    if agent is None:
        return 1
    result = run_agent(agent, env.get("ZORVAN_API_KEY", ""), question, "media")
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
