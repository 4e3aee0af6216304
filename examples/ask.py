#!/usr/bin/env python3
"""Ask your own database one question in plain words.

    cp examples/.env.example .env        # then fill in .env
    .venv/bin/python examples/ask.py "Which five products sold best last month?"

The settings come from the environment or from the .env file of the working
directory (see examples/.env.example). The program connects to the database,
fetches the chat deployments from the vendor service, asks the question and
prints the answer, the SQL queries with their results, the analysis script
and the path of any chart it saved.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Mapping
from typing import Any, NoReturn

ENGINES = ("PostgreSQL", "MySQL", "MsSQL")

# Variable -> what to set it to. ZORVAN_DB_PASSWORD may be empty but must be set.
REQUIRED = {
    "ZORVAN_DB_ENGINE": "the database kind: PostgreSQL, MySQL or MsSQL",
    "ZORVAN_DB_NAME": "the name of the database to ask about",
    "ZORVAN_DB_USER": "the user name to log in with",
    "ZORVAN_DB_PASSWORD": "that user's password (empty for a login without one)",
    "ZORVAN_DB_HOST": "the database server's host name or address",
    "ZORVAN_DB_PORT": "the database server's port (5432 for PostgreSQL, 3306 for MySQL, 1433 for MsSQL)",
    "ZORVAN_API_KEY": "your account key for the vendor service",
    "ZORVAN_API_URL": "the vendor service's base address, e.g. https://vendor.example.com",
}
MEDIA_DIR_VARIABLE = "ZORVAN_MEDIA_DIR"  # optional; charts go to ./media by default


def configuration_problems(environ: Mapping[str, str]) -> list[str]:
    """One line per setting that is missing or unusable."""
    problems = []
    for name, meaning in REQUIRED.items():
        value = environ.get(name)
        if value is None or (not value.strip() and name != "ZORVAN_DB_PASSWORD"):
            problems.append(f"{name} is not set: set it to {meaning}")
    engine = environ.get("ZORVAN_DB_ENGINE", "").strip()
    if engine and engine not in ENGINES:
        problems.append(f"ZORVAN_DB_ENGINE is {engine!r}: set it to PostgreSQL, MySQL or MsSQL, spelled exactly so")
    port = environ.get("ZORVAN_DB_PORT", "").strip()
    if port and not port.isdigit():
        problems.append(f"ZORVAN_DB_PORT is {port!r}: set it to the port number, e.g. 5432")
    return problems


def fail(lines: list[str], status: int) -> NoReturn:
    for line in lines:
        print(f"ask.py: {line}", file=sys.stderr)
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

    # A notice about the library's future, not about this program.
    warnings.filterwarnings("ignore", message="`langchain-community` is being sunset", category=DeprecationWarning)
    # Importing the agent module loads .env from the working directory.
    try:
        from zorvanai import api
        from zorvanai.agent import create_agent, run_agent
    except ModuleNotFoundError as error:
        fail([f"{error}: run scripts/setup, then run this program with .venv/bin/python"], 1)

    problems = configuration_problems(os.environ)
    if problems:
        fail(problems + ["(in the environment or in a .env file in the working directory; "
                         "see examples/.env.example)"], 2)

    env = os.environ
    engine = env["ZORVAN_DB_ENGINE"].strip()
    try:
        agent = create_agent(engine, env["ZORVAN_DB_NAME"], env["ZORVAN_DB_USER"], env["ZORVAN_DB_PASSWORD"],
                             env["ZORVAN_DB_HOST"].strip(), int(env["ZORVAN_DB_PORT"]))
    except (api.ConfigurationError, api.VendorServiceError) as error:
        fail([str(error)], 1)
    except ImportError as error:
        fail([f"the {engine} driver cannot be loaded: {error}"], 1)
    except Exception as error:  # noqa: BLE001 - the database's own errors vary by driver
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        fail([f"could not connect to the {engine} database {env['ZORVAN_DB_NAME']!r} "
              f"at {env['ZORVAN_DB_HOST']}:{env['ZORVAN_DB_PORT']}: {first_line}"], 1)
    if agent is None:
        fail([f"the vendor service at {api.base_url()}{api.DEPLOYMENTS_PATH} did not list both chat deployments "
              '(one with "model" "GPT-3.5" and one beginning with "GPT-4", each with an "azure_endpoint")'], 1)

    record = run_agent(agent, env["ZORVAN_API_KEY"], question, env.get(MEDIA_DIR_VARIABLE) or "media")
    if not isinstance(record, dict) or list(record) == ["output"]:
        text = record if isinstance(record, str) else record["output"]
        fail([f"no answer: {text} (the reason is printed above)"], 1)
    print()
    show(record)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
