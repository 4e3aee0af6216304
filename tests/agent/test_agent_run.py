"""run_agent end to end on both servers: the answer record, the usage meter
and its report to the vendor stand-in, and the error paths."""

from __future__ import annotations

import re

import pytest
from langchain_community.callbacks.openai_info import TokenType, get_openai_token_cost_for_model, \
    standardize_model_name
from loguru import logger

from support.db import CLOSED_PORT
from support.graph_run import script_answer, script_checker, script_picker, script_queries, script_scripts
from support.vendor_server import USAGE_PATH, UsageReport
from zorvanai.agent import create_agent, run_agent

QUESTION = "How many sales did each region make?"
QUERY = "SELECT region, COUNT(*) AS n FROM sales GROUP BY region ORDER BY region"
SCRIPT = "print('east 2')\nprint('west 1')"
KEYS = ["output", "python_code", "image_path", "generated_query", "sql_execution_result"]
NO_OUTPUT = "Error: No output generated from the agent."
FAILED_LINE = "An error occurred when running the agent: "


@pytest.fixture(scope="module")
def agent(scratch_db, _vendor_server_process, _model_server_process):
    """One assistant made through the vendor stand-in serves the whole module."""
    scratch_db.load_table("sales", {"id": "INTEGER PRIMARY KEY", "region": "VARCHAR(20)", "amount": "INTEGER"},
                          [(1, "east", 10), (2, "west", 12), (3, "east", 20)])
    vendor = _vendor_server_process
    vendor.reset()
    vendor.serve_deployments_for(_model_server_process)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("ZORVAN_API_URL", vendor.url)
        patch.setenv("ZORVAN_MODEL_MAX_RETRIES", "0")
        patch.setenv("ZORVAN_MODEL_TIMEOUT", "10")
        graph = create_agent(scratch_db.zorvan_engine, scratch_db.name, scratch_db.user, scratch_db.password,
                             scratch_db.host, scratch_db.port)
    vendor.reset()
    assert graph is not None
    return graph


@pytest.fixture
def warnings():
    records = []
    sink = logger.add(lambda message: records.append(message.record), level="WARNING", format="{message}")
    yield records
    logger.remove(sink)


def script_good_question(model_server, image_path=""):
    script_picker(model_server, ["sales"])
    script_queries(model_server, QUERY)
    script_checker(model_server)
    script_scripts(model_server, SCRIPT)
    script_answer(model_server, {"final_response": "East made 2 sales, west 1.", "image_path": image_path})


def metered(model_server):
    """Token count and cost of every answered model request, priced as the usage meter prices them."""
    tokens, cost = 0, 0.0
    for request in model_server.requests:
        usage, model = request.response["usage"], standardize_model_name(request.response["model"])
        tokens += usage["total_tokens"]
        cost += get_openai_token_cost_for_model(model, usage["prompt_tokens"], token_type=TokenType.PROMPT)
        cost += get_openai_token_cost_for_model(model, usage["completion_tokens"], token_type=TokenType.COMPLETION)
    return tokens, cost


def the_report(vendor):
    (report,) = vendor.usage_reports
    return report


@pytest.mark.parametrize("image_path", ["", None])
def test_answer_record_and_exactly_one_usage_report(agent, model_server, vendor_env, tmp_path, warnings,
                                                    image_path):
    script_good_question(model_server, image_path)
    media = tmp_path / "new" / "media"

    record = run_agent(agent, "acct-1", QUESTION, str(media))

    assert list(record) == KEYS
    assert record["output"] == "East made 2 sales, west 1."
    assert record["python_code"] == SCRIPT
    assert record["image_path"] == image_path
    assert record["generated_query"] == [QUERY]
    assert record["sql_execution_result"] == [agent.db.run(QUERY, fetch="all", include_columns=False)]
    assert "east" in record["sql_execution_result"][0]
    assert media.is_dir()

    tokens, cost = metered(model_server)
    assert len(model_server.requests) == 5 and tokens > 0 and cost > 0
    report = the_report(vendor_env)
    assert report == UsageReport("acct-1", QUESTION, tokens, pytest.approx(cost, rel=1e-9))
    assert isinstance(report.total_tokens, int)
    assert [r.path for r in vendor_env.requests] == [USAGE_PATH]
    assert warnings == []


@pytest.mark.parametrize("image_path", ["", None])
def test_answer_without_a_script_is_returned_when_the_sql_attempts_are_given_up(agent, model_server, vendor_env,
                                                                               tmp_path, image_path):
    failing = [f"SELECT missing_column_{n} FROM sales" for n in range(1, 7)]
    script_picker(model_server, ["sales"])
    script_queries(model_server, *failing)
    script_checker(model_server)
    model_server.add({"rewritten_question": "Which regions are stored?"}, deployment="gpt35",
                     schema="RewriteQueryOutput")
    script_answer(model_server, {"final_response": "I could not answer from the database.", "image_path": image_path})

    record = run_agent(agent, "acct-1", QUESTION, str(tmp_path))

    assert list(record) == KEYS
    assert record["output"] == "I could not answer from the database."
    assert record["python_code"] == "" and record["image_path"] == ""
    assert record["generated_query"] == failing
    assert len(record["sql_execution_result"]) == 6
    assert all(f"missing_column_{n}" in result for n, result in enumerate(record["sql_execution_result"], 1))
    assert model_server.requests_for(schema="PythonCodeInput") == []
    tokens, cost = metered(model_server)
    assert the_report(vendor_env) == UsageReport("acct-1", QUESTION, tokens, pytest.approx(cost, rel=1e-9))


@pytest.mark.parametrize("case", ["unscripted_model_request", "node_error"])
def test_graph_error_gives_the_error_record_and_no_usage_report(agent, model_server, vendor_env, tmp_path, capsys,
                                                                case):
    if case == "node_error":
        script_picker(model_server, ["sales"])
        # A reply that does not fill the record the SQL generation node asks for, also when asked again.
        model_server.add({"sql": QUERY}, deployment="gpt4", schema="SQLQueryInput", times=2)
        expected = (r"The model's reply could not be read as SQLQueryInput, also after it was shown why: it does not "
                    r"fit SQLQueryInput \(sql_query: Field required\)")
        error_type = "langchain_core.exceptions.OutputParserException"
    else:
        expected = r"Error code: 400 - .*no scripted reply for deployment 'gpt35'"
        error_type = "openai.BadRequestError"
    media = tmp_path / "media"

    assert run_agent(agent, "acct-1", QUESTION, str(media)) == {"output": "An error occurred"}

    captured = capsys.readouterr()
    (line,) = [line for line in captured.out.splitlines() if line.startswith(FAILED_LINE)]
    assert re.match(re.escape(FAILED_LINE) + expected, line), line
    assert "Traceback (most recent call last):" in captured.err
    assert error_type + ": " in captured.err
    assert FAILED_LINE not in captured.err
    assert model_server.unanswered if case == "unscripted_model_request" else model_server.requests
    assert vendor_env.requests == []
    assert media.is_dir()


def test_no_agent_gives_the_no_output_text_and_still_makes_the_media_directory(model_server, vendor_env, tmp_path):
    media = tmp_path / "a" / "b" / "media"
    assert run_agent(None, "acct-1", QUESTION, str(media)) == NO_OUTPUT
    assert media.is_dir()

    # An existing directory is accepted and left as it was.
    (media / "old_chart.png").write_bytes(b"png")
    assert run_agent(None, "acct-1", QUESTION, str(media)) == NO_OUTPUT
    assert [p.name for p in media.iterdir()] == ["old_chart.png"]
    assert vendor_env.requests == [] and model_server.requests == []


def test_media_path_that_cannot_be_made_is_raised_before_the_graph_runs(agent, model_server, vendor_env, tmp_path):
    taken = tmp_path / "taken"
    taken.write_text("a file, not a directory")
    script_good_question(model_server)
    with pytest.raises(FileExistsError):
        run_agent(agent, "acct-1", QUESTION, str(taken))
    assert model_server.requests == [] and vendor_env.requests == []


@pytest.mark.parametrize("case", ["server_error", "unreachable", "slow"])
def test_undeliverable_usage_report_keeps_the_answer(agent, model_server, vendor_env, monkeypatch, tmp_path,
                                                     warnings, case):
    script_good_question(model_server)
    if case == "server_error":
        vendor_env.respond(USAGE_PATH, status=500)
    elif case == "unreachable":
        monkeypatch.setenv("ZORVAN_API_URL", f"http://127.0.0.1:{CLOSED_PORT}")
    else:
        monkeypatch.setenv("ZORVAN_API_TIMEOUT", "0.5")
        vendor_env.respond(USAGE_PATH, delay=600)  # only the report's own limit ends the wait

    record = run_agent(agent, "acct-1", QUESTION, str(tmp_path))

    assert list(record) == KEYS and record["output"] == "East made 2 sales, west 1."
    assert vendor_env.usage_reports == []
    (warning,) = warnings
    assert warning["message"].startswith("The usage report could not be delivered: ")
    assert USAGE_PATH in warning["message"]


def test_the_usage_report_goes_in_the_background(agent, model_server, vendor_env, monkeypatch, tmp_path, warnings):
    from zorvanai import api

    script_good_question(model_server)
    monkeypatch.setenv("ZORVAN_USAGE_TIMEOUT", "5")
    vendor_env.respond(USAGE_PATH, delay=60)

    record = run_agent(agent, "acct-1", QUESTION, str(tmp_path))

    # The answer is back while the report is still on its way; it gives up within its own limit.
    assert record["output"] == "East made 2 sales, west 1."
    assert api.wait_for_usage_reports(timeout=0) is False
    assert api.wait_for_usage_reports() is True
    (warning,) = warnings
    assert warning["message"].startswith("The usage report could not be delivered: ")
