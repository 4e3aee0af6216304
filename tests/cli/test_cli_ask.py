"""``zorvanai ask`` end to end: the real command, a real database, the model and vendor stand-ins."""

from __future__ import annotations

import json
import re

import pytest

from support.db import CLOSED_PORT
from support.graph_run import script_answer, script_checker, script_picker, script_queries, script_scripts
from support.vendor_server import DEPLOYMENTS_PATH, deployment_record

QUESTION = "How much did each region sell?"
QUERY = ("SELECT region, SUM(amount) AS total, MAX(sold_on) AS last_sale, COUNT(*) "
         "FROM sales GROUP BY region ORDER BY region")
ANSWER = "East sold 30.75 in two sales, west 12.00."
STEPS = ["table discovery", "query generation", "check", "execution", "script", "answer"]


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table(
        "sales",
        {"id": "INTEGER PRIMARY KEY", "region": "VARCHAR(20)", "amount": "NUMERIC(8,2)", "sold_on": "DATE"},
        [(1, "east", "10.50", "2024-01-05"), (2, "west", "12.00", "2024-02-01"), (3, "east", "20.25", "2024-01-31")],
    )
    return scratch_db


@pytest.fixture
def ask_env(db, vendor_env, model_server, database_env, tmp_path):
    vendor_env.serve_deployments_for(model_server)
    return {**database_env(db), "ZORVAN_API_URL": vendor_env.url, "ZORVAN_API_KEY": "acct-7",
            "ZORVAN_MEDIA_DIR": str(tmp_path / "media"), "ZORVAN_MODEL_MAX_RETRIES": "0"}


def script_run(model_server, media, queries=(QUERY,)):
    chart = str(media / "sales.png")
    code = ("import matplotlib.pyplot as plt\n"
            "plt.bar(['east', 'west'], [30.75, 12.0])\n"
            f"plt.savefig({chart!r})\n"
            "print('east 30.75')\n")
    script_picker(model_server, ["sales"])
    script_queries(model_server, *queries)
    script_checker(model_server)
    script_scripts(model_server, code)
    script_answer(model_server, {"final_response": ANSWER, "image_path": chart})
    return code, chart


def steps_of(lines):
    """The step names of plain progress lines ("[  1.2s] step: detail"), repeats folded."""
    steps = []
    for line in lines:
        match = re.fullmatch(r"\[\s*\d+\.\ds\] ([a-z ]+): .+", line)
        assert match, f"not a progress line: {line!r}"
        if not steps or steps[-1] != match.group(1):
            steps.append(match.group(1))
    return steps


def test_answer_queries_table_script_and_chart(run_cli, ask_env, model_server, vendor_env, tmp_path):
    code, chart = script_run(model_server, tmp_path / "media")

    done = run_cli("ask", QUESTION, env=ask_env)

    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith(ANSWER + "\n")
    assert f"\nQuery 1:\n  {QUERY}\n" in out
    # Named columns come from the query; dates and decimals read as the database shows them.
    table = out.split("Result 1:\n", 1)[1].split("\n\n", 1)[0].splitlines()
    header, rule, east, west, count = table
    assert re.fullmatch(r"  region \| +total \| last_sale +\| COUNT\(\*\)", header)
    assert set(rule.strip()) <= {"-", "+"}
    assert east.split("|") == ["  east   ", " 30.75 ", " 2024-01-31 ", "        2"]
    assert [cell.strip() for cell in west.split("|")] == ["west", "12.00", "2024-02-01", "1"]
    assert count == "  (2 rows)"
    assert "\nScript:\n" + "".join(f"  {line}\n" for line in code.splitlines()) in out
    assert re.search(rf"\nChart: {re.escape(chart)}\n\nUsage: \d+ tokens, cost \$\d+\.\d{{6}}\n\Z", out)
    assert (tmp_path / "media" / "sales.png").is_file()
    # Progress went to standard error as plain lines, one step after the other.
    assert steps_of(done.error_lines) == STEPS
    # One usage report for the account, measured over the run's model calls.
    (report,) = vendor_env.usage_reports
    assert (report.account_key, report.question) == ("acct-7", QUESTION)
    assert report.total_tokens > 0 and report.total_cost > 0


def test_json_is_the_answer_record_and_quiet_only_the_answer(run_cli, ask_env, model_server, tmp_path):
    code, chart = script_run(model_server, tmp_path / "media")
    as_json = run_cli("ask", "--json", QUESTION, env=ask_env)
    assert as_json.returncode == 0, as_json.stderr
    record = json.loads(as_json.stdout)
    assert list(record) == ["ok", "output", "python_code", "image_path", "generated_query", "sql_execution_result",
                            "usage"]
    assert record["ok"] is True and record["usage"]["total_tokens"] > 0 and record["usage"]["total_cost"] > 0
    assert record["output"] == ANSWER and record["python_code"] == code and record["image_path"] == chart
    assert record["generated_query"] == [QUERY]
    assert "'east'" in record["sql_execution_result"][0] and "'west'" in record["sql_execution_result"][0]
    assert as_json.stderr == ""

    model_server.reset()
    script_run(model_server, tmp_path / "media")
    quiet = run_cli("ask", "--quiet", QUESTION, env=ask_env)
    assert quiet.returncode == 0, quiet.stderr
    assert (quiet.stdout, quiet.stderr) == (ANSWER + "\n", "")


def test_verbose_shows_what_the_libraries_print_on_standard_error(run_cli, ask_env, model_server, tmp_path):
    script_run(model_server, tmp_path / "media")
    quiet_libraries = run_cli("ask", QUESTION, env=ask_env)
    script_run(model_server, tmp_path / "media")

    verbose = run_cli("ask", "--verbose", QUESTION, env=ask_env)

    assert verbose.returncode == 0, verbose.stderr
    assert "Agent is Ready!" in verbose.stderr and "Agent is Ready!" not in quiet_libraries.stderr
    # The command's own output is the same either way.
    assert verbose.stdout == quiet_libraries.stdout and "Agent is Ready!" not in verbose.stdout


def test_a_failed_query_shows_the_correction_step(run_cli, ask_env, model_server, tmp_path):
    broken = "SELECT regoin FROM sales"
    script_run(model_server, tmp_path / "media", queries=(broken, QUERY))

    done = run_cli("ask", QUESTION, env=ask_env)

    assert done.returncode == 0, done.stderr
    assert steps_of(done.error_lines) == STEPS[:4] + ["correction", "check", "execution", "script", "answer"]
    assert "correction: writing a corrected query" in done.stderr
    # Both attempts are listed; the failed one with the database's error text.
    assert f"Query 1:\n  {broken}\nResult 1:\n" in done.stdout
    assert "regoin" in done.stdout.split("Result 1:\n", 1)[1].split("Query 2:", 1)[0]
    assert f"Query 2:\n  {QUERY}\nResult 2:\n" in done.stdout


def test_progress_on_a_terminal_is_one_updating_line(run_cli, ask_env, model_server, tmp_path):
    script_run(model_server, tmp_path / "media")

    done = run_cli("ask", QUESTION, env=ask_env, tty=True)

    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(ANSWER + "\n")
    # Every step rewrites the same line; the line is cleared before the answer.
    assert "\n" not in done.stderr.replace("\r\n", "\n").strip("\n")
    updates = done.stderr.split("\r\x1b[K")
    assert updates[0] == "" and updates[-1] == ""
    shown = [u for u in updates if u]
    assert len(shown) >= len(STEPS)
    assert steps_of(shown) == STEPS


@pytest.mark.parametrize("case", ["no database", "bad engine", "no account key", "bad port"])
def test_missing_configuration_names_each_variable_and_status_2(case, run_cli, ask_env):
    env = dict(ask_env)
    expected = {
        "no database": ["ZORVAN_DB_NAME is not set: set it to the name of the database to ask about",
                        "ZORVAN_DB_HOST is not set: set it to the database server's host name or address"],
        "bad engine": ["ZORVAN_DB_ENGINE is 'oracle': set it to PostgreSQL, MySQL, MsSQL or SQLite"],
        "no account key": ["ZORVAN_API_KEY is not set: set it to your account key for the vendor service"],
        "bad port": ["ZORVAN_DB_PORT is '54x': set it to the port number (1 to 65535; "],
    }[case]
    if case == "no database":
        del env["ZORVAN_DB_NAME"], env["ZORVAN_DB_HOST"]
    elif case == "bad engine":
        env["ZORVAN_DB_ENGINE"] = "oracle"
    elif case == "no account key":
        env["ZORVAN_API_KEY"] = ""
    else:
        env["ZORVAN_DB_PORT"] = "54x"

    done = run_cli("ask", QUESTION, env=env)

    assert done.returncode == 2
    assert len(done.error_lines) == len(expected)
    assert all(line.startswith("zorvanai: " + text) for line, text in zip(done.error_lines, expected)), done.stderr
    assert done.stdout == ""


def test_configuration_comes_from_a_dotenv_file(run_cli, ask_env, model_server, tmp_path):
    script_run(model_server, tmp_path / "media")
    (tmp_path / ".env").write_text("".join(f"{k}={v}\n" for k, v in ask_env.items() if k.startswith("ZORVAN_DB_")))
    env = {k: v for k, v in ask_env.items() if not k.startswith("ZORVAN_DB_")}

    done = run_cli("ask", "--quiet", QUESTION, env=env)

    assert (done.returncode, done.stdout) == (0, ANSWER + "\n"), done.stderr


def _only_gpt35(vendor, model_server):
    vendor.deployments = [deployment_record("GPT-3.5", "gpt35", model_server.url)]


@pytest.mark.parametrize("case", ["vendor unreachable", "vendor not JSON", "one deployment", "database unreachable",
                                  "model unreachable", "context file broken"])
def test_unreachable_services_end_in_one_line_and_status_1(case, run_cli, ask_env, model_server, vendor_env,
                                                           tmp_path):
    env = dict(ask_env)
    named: list[str] = []
    if case == "vendor unreachable":
        env["ZORVAN_API_URL"] = f"http://127.0.0.1:{CLOSED_PORT}"
        expected = "zorvanai: "
        named = [f"http://127.0.0.1:{CLOSED_PORT}{DEPLOYMENTS_PATH}", "Connection refused"]
    elif case == "vendor not JSON":
        vendor_env.respond(DEPLOYMENTS_PATH, status=502, body="<html>Bad gateway</html>")
        expected = "zorvanai: "
        named = [vendor_env.url + DEPLOYMENTS_PATH, "502"]
    elif case == "one deployment":
        _only_gpt35(vendor_env, model_server)
        expected = "zorvanai: the vendor service did not supply both chat deployments"
    elif case == "database unreachable":
        env["ZORVAN_DB_PORT"] = str(CLOSED_PORT)
        expected = "zorvanai: cannot connect to the database: "
    elif case == "model unreachable":
        vendor_env.deployments = [deployment_record("GPT-3.5", "gpt35", f"http://127.0.0.1:{CLOSED_PORT}"),
                                  deployment_record("GPT-4", "gpt4", f"http://127.0.0.1:{CLOSED_PORT}")]
        expected = "zorvanai: the question could not be answered: "
    else:
        (tmp_path / "context.json").write_text("{not json")
        expected = "zorvanai: could not load the assistant: JSONDecodeError: "

    done = run_cli("ask", QUESTION, env=env)

    assert done.returncode == 1, done.stderr
    *progress, line = done.error_lines
    assert line.startswith(expected), line
    assert all(part in line for part in named), line
    assert "Traceback" not in done.stderr and done.stdout == ""
    if case == "model unreachable":
        # The run had started: its steps were shown before the failure.
        assert steps_of(progress) == ["table discovery"]
        assert f"could not reach the chat model at http://127.0.0.1:{CLOSED_PORT}/openai/deployments/" in line
        assert line.endswith("ConnectError: [Errno 111] Connection refused)"), line
        assert vendor_env.usage_reports == []
    else:
        assert progress == []
