#!/usr/bin/env python3
"""Ask your own database one question in plain words.

    cp examples/.env.example .env        # then fill in .env
    .venv/bin/python examples/ask.py "Which five products sold best last month?"

The settings come from the environment or from the .env file of the working
directory (see examples/.env.example), read by the same loader as the
``zorvanai`` command. The program connects to the database, finds the chat
model, asks the question and prints the answer, the SQL queries with their
results, the analysis script and the path of any chart it saved.
"""

from __future__ import annotations

import logging
import sys
from collections.abc import Mapping
from typing import Any, NoReturn


def fail(lines: list[str], status: int) -> NoReturn:
    for line in lines:
        print(line if line.startswith("  ") else f"ask.py: {line}", file=sys.stderr)
    sys.exit(status)


def show(record: Mapping[str, Any]) -> None:
    print("Answer:")
    print(record["output"])
    print()
    print("Queries:")
    results = record["sql_execution_result"]
    for number, query in enumerate(record["generated_query"], start=1):
        result = results[number - 1] if number <= len(results) else "(not run)"
        print(f"{number}. {query}")
        print(f"   result: {result}")
    print()
    print("Script:")
    print(record["python_code"].rstrip("\n") or "(none: no analysis script ran)")
    print()
    print(f"Chart: {record['image_path'] or '(none)'}")


def main(argv: list[str]) -> int:
    question = " ".join(argv[1:]).strip()
    if not question:
        fail(['usage: ask.py "your question in plain words"'], 2)

    try:
        import sqlalchemy.exc

        from zorvanai import api
        from zorvanai.agent import create_agent, run_agent
        from zorvanai.settings import load_settings
    except ModuleNotFoundError as error:
        fail([f"{error}: run scripts/setup, then run this program with .venv/bin/python"], 1)

    # Warnings of the library (a failed question, an undelivered usage report) on standard error.
    logging.basicConfig(level=logging.WARNING, format="ask.py: %(message)s")
    try:
        settings = load_settings()
    except api.ConfigurationError as error:
        fail(str(error).splitlines() + ["(in the environment or in a .env file in the working directory; "
                                        "see examples/.env.example)"], 2)

    where = f"the {settings.engine} database {settings.db_name!r}"
    if settings.engine != "SQLite":
        where += f" at {settings.db_host}:{settings.db_port}"
    try:
        # quiet: the library's own lines go to the "zorvanai" logger, not to the screen.
        agent = create_agent(settings.engine, settings.db_name, settings.db_user, settings.db_password,
                             settings.db_host, settings.db_port, quiet=True)
    except (api.ConfigurationError, api.VendorServiceError) as error:
        fail(str(error).splitlines(), 1)
    except (sqlalchemy.exc.SQLAlchemyError, FileNotFoundError) as error:
        lines = str(error).strip().splitlines()
        fail([f"could not connect to {where}: {lines[0] if lines else type(error).__name__}"], 1)
    except ImportError as error:
        fail([f"the {settings.engine} driver cannot be loaded: {error}"], 1)
    except Exception as error:  # noqa: BLE001 - anything else is named with its type
        fail([f"could not create the assistant: {type(error).__name__}: {error}"], 1)
    if agent is None:
        fail([f"the vendor service at {api.base_url()}{api.DEPLOYMENTS_PATH} did not list both chat deployments "
              '(one with "model" "GPT-3.5" and one beginning with "GPT-4", each with an "azure_endpoint")'], 1)

    record = run_agent(agent, settings.api_key or "", question, settings.media_dir)
    if list(record) == ["output"]:
        fail([f"no answer: {record['output']} (the reason is above)"], 1)
    show(record)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
