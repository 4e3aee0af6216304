"""examples/ask.py run as a user runs it: a fresh interpreter, settings in a
.env file of the working directory, a real database and the stand-ins."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zorvanai.agent
from support.db import CLOSED_PORT, READER_PASSWORD, READER_USER
from support.graph_run import script_answer, script_checker, script_picker, script_queries

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ask.py"
QUESTION = "How many sales did each region make?"
QUERY = "SELECT region, COUNT(*) AS n FROM sales GROUP BY region ORDER BY region"
VARIABLES = ["ZORVAN_DB_ENGINE", "ZORVAN_DB_NAME", "ZORVAN_DB_USER", "ZORVAN_DB_HOST"]


def run_example(cwd: Path, *args: str, **env: str) -> subprocess.CompletedProcess:
    environment = {k: v for k, v in os.environ.items() if not k.startswith("ZORVAN_")}
    environment["PYTHONPATH"] = str(Path(zorvanai.agent.__file__).parents[1])
    environment.update(env)
    return subprocess.run([sys.executable, "-W", "ignore", str(EXAMPLE), *args], cwd=cwd, env=environment,
                          capture_output=True, text=True, timeout=300)


def write_env(cwd: Path, **values: str) -> None:
    (cwd / ".env").write_text("".join(f"{name}='{value}'\n" for name, value in values.items()))


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("sales", {"id": "INTEGER PRIMARY KEY", "region": "VARCHAR(20)", "amount": "INTEGER"},
                          [(1, "east", 10), (2, "west", 12), (3, "east", 20)])
    return scratch_db


def db_settings(db, **overrides):
    # The SELECT-only login, as the README's examples use one.
    values = dict(ZORVAN_DB_ENGINE=db.zorvan_engine, ZORVAN_DB_NAME=db.name, ZORVAN_DB_USER=READER_USER,
                  ZORVAN_DB_PASSWORD=READER_PASSWORD, ZORVAN_DB_HOST=db.host, ZORVAN_DB_PORT=str(db.port))
    values.update(overrides)
    return values


def test_question_answered_end_to_end_with_a_chart(db, vendor_server, model_server, tmp_path):
    vendor_server.serve_deployments_for(model_server)
    write_env(tmp_path, **db_settings(db), ZORVAN_API_KEY="acct-example", ZORVAN_API_URL=vendor_server.url,
              ZORVAN_MODEL_MAX_RETRIES="0")
    script_picker(model_server, ["sales"])
    script_queries(model_server, QUERY)
    script_checker(model_server)

    def chart_script(request):
        target = re.search(r"save it in (.+?) - matplotlib", request.system_text).group(1)
        return {"code": (
            "import os\nimport matplotlib.pyplot as plt\n"
            f"os.makedirs({target!r}, exist_ok=True)\npath = os.path.join({target!r}, 'regions.png')\n"
            "plt.figure()\nplt.bar(['east', 'west'], [2, 1])\nplt.savefig(path)\nplt.close()\n"
            "print(f'Chart saved to {path}')\n")}

    def answer(request):
        path = re.search(r"Python executed result: Chart saved to (\S+)\n", request.user_text).group(1)
        return {"final_response": "East made 2 sales, west 1.", "image_path": path}

    model_server.add(chart_script, deployment="gpt35", schema="PythonCodeInput")
    script_answer(model_server, answer)

    done = run_example(tmp_path, QUESTION)

    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    chart = Path("media") / "regions.png"
    assert (tmp_path / chart).read_bytes().startswith(b"\x89PNG")
    # Only the report: the library's own lines went to its logger.
    report = done.stdout
    assert report.startswith(f"Answer:\nEast made 2 sales, west 1.\n\nQueries:\n1. {QUERY}\n   result: [(")
    assert re.search(r"result: \[\('east', 2\), \('west', 1\)\]\n", report)
    assert "\nScript:\nimport os\nimport matplotlib.pyplot as plt\n" in report
    assert report.endswith("print(f'Chart saved to {path}')\n\nChart: " + f"{chart}\n")
    assert "Agent is Ready!" not in done.stdout + done.stderr
    (usage,) = vendor_server.usage_reports
    assert (usage.account_key, usage.question) == ("acct-example", QUESTION) and usage.total_tokens > 0


def test_vendor_without_both_deployments_is_one_clear_line(db, vendor_server, tmp_path):
    write_env(tmp_path, **db_settings(db), ZORVAN_API_KEY="acct", ZORVAN_API_URL=vendor_server.url)
    done = run_example(tmp_path, QUESTION)
    assert done.returncode == 1
    assert done.stderr == (f"ask.py: the vendor service at {vendor_server.url}/zorvan/azure-openais/ did not list "
                           'both chat deployments (one with "model" "GPT-3.5" and one beginning with "GPT-4", each '
                           'with an "azure_endpoint")\n')


def test_every_missing_setting_is_named_with_what_to_set(tmp_path):
    done = run_example(tmp_path, QUESTION)
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert [line.split(" ")[1] for line in lines[:4]] == VARIABLES
    assert all(" is not set: set it to " in line for line in lines[:4])
    # No model either: the few lines on how to point it at one.
    assert lines[4] == "ask.py: no chat model is configured; point zorvanai at one in the environment or in a .env file:"
    assert lines[5].startswith("  a local Ollama:  OPENAI_BASE_URL=http://localhost:11434/v1")
    assert lines[-1].startswith("ask.py: (in the environment or in a .env file in the working directory")
    assert "Traceback" not in done.stderr and done.stdout == ""

    # The loader of the zorvanai command: any spelling of the engine, the port by engine; only what is
    # wrong is named; the environment fills in too.
    write_env(tmp_path, ZORVAN_DB_ENGINE="mariadb", ZORVAN_DB_NAME="shop", ZORVAN_DB_USER="analyst",
              ZORVAN_DB_PASSWORD="", ZORVAN_DB_HOST="localhost", ZORVAN_DB_PORT="port", ZORVAN_MODEL_PROVIDER="vendor")
    done = run_example(tmp_path, QUESTION)
    assert done.returncode == 2
    assert done.stderr.splitlines()[:-1] == [
        "ask.py: ZORVAN_DB_PORT is 'port': set it to the port number (1 to 65535; MySQL usually listens on 3306)",
        "ask.py: ZORVAN_API_URL is not set: set it to the base address of the vendor service (for example "
        "https://vendor.example.com) in the environment or in a .env file",
        "ask.py: ZORVAN_API_KEY is not set: set it to your account key for the vendor service",
    ]
    done = run_example(tmp_path, QUESTION, ZORVAN_API_URL="http://127.0.0.1:9", ZORVAN_API_KEY="acct",
                       ZORVAN_DB_PORT=str(CLOSED_PORT))
    assert done.returncode == 1
    (line,) = done.stderr.splitlines()
    assert line.startswith(f"ask.py: could not connect to the MySQL database 'shop' at localhost:{CLOSED_PORT}: ")

    done = run_example(tmp_path)
    assert (done.returncode, done.stderr) == (2, 'ask.py: usage: ask.py "your question in plain words"\n')
