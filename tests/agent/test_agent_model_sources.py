"""Questions on the demo database through an OpenAI-compatible server: the fallbacks for what a
server lacks, metering and prices, a silent model, failing scripts and replies that are not chat."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from support.graph_run import PICK_TOOL, checked_query
from support.model_server import Reply
from zorvanai import cli
from zorvanai.agent import answer_question, create_agent, run_agent
from zorvanai.errors import ModelServiceError, ZorvanError

MODEL = "llama3.1"
QUESTION = "Which product costs most?"
QUERY = "SELECT name FROM products ORDER BY unit_price DESC LIMIT 1"
ANSWER = "The teak garden bench."


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return cli.demo_database(str(tmp_path_factory.mktemp("demo") / "demo.db"))


def record_of(request):
    """The record a structured request asks for: by name, or the title of the schema in the prompt."""
    if request.schema:
        return request.schema
    found = re.search(r"JSON schema:\n(\{.*\})\s*\Z", request.texts[-1], re.S)
    return json.loads(found.group(1))["title"] if found else None


def script(model_server, scripts=("print(1)",), sql=QUERY):
    """Every step answered: the picker, the query, the checker (as it is), the scripts in turn, the answer."""
    scripts = list(scripts)
    model_server.default({"relevant_tables": ["products"]}, schema=PICK_TOOL)

    def reply(request):
        name = record_of(request)
        if name is None:
            return checked_query(request)
        if name == "PythonCodeInput":
            return {"code": scripts.pop(0) if len(scripts) > 1 else scripts[0]}
        return {"SQLQueryInput": {"sql_query": sql}, "GenerationOutput": {"final_response": ANSWER}}[name]
    model_server.default(reply)


def details_of(agent, tmp_path):
    """answer_question's outcome as one record: "answered", "reason" (the error's text), "error" and the rest."""
    try:
        got = answer_question(agent, None, QUESTION, str(tmp_path))
    except ZorvanError as error:
        return {"answered": False, "reason": str(error), "error": error}
    return {"answered": True, "reason": None, "error": None, "result": got["answer"], **got}


@pytest.fixture
def ask(demo, model_server, monkeypatch, tmp_path, request):
    monkeypatch.setenv("ZORVAN_MODEL_MAX_RETRIES", "0")
    for name in ("ZORVAN_API_URL", "ZORVAN_MODEL_PROVIDER", "AZURE_OPENAI_ENDPOINT", "OPENAI_API_KEY"):
        monkeypatch.delenv(name, raising=False)
    # What a server lacks is remembered per model for the whole process: each test its own model.
    model = f"{MODEL}-{request.node.name}"

    def run(**options):
        agent = create_agent("SQLite", demo, model_provider="openai", base_url=model_server.openai_url, model=model,
                             quiet=True, **options)
        return details_of(agent, tmp_path)
    run.model = model
    return run


@pytest.mark.parametrize("lacking", [(), ("json_schema",), ("json_schema", "json_object"), ("tool_choice",)])
def test_an_openai_compatible_server_answers_whatever_it_lacks(ask, model_server, vendor_env, lacking):
    model_server.supports -= set(lacking)
    script(model_server)

    details = ask()

    assert details["answered"], details["reason"]
    assert details["result"]["output"] == ANSWER and details["result"]["generated_query"] == [QUERY]
    requests = model_server.requests
    assert {r.protocol for r in requests} == {"openai"} and {r.deployment for r in requests} == {ask.model}
    # Each thing the server lacks is refused once; the nodes after that ask the way that worked.
    refused = [r for r in requests if r.status == 400]
    assert len(refused) == len(lacking)
    structured = [r for r in requests if r.status == 200 and record_of(r) not in (None, PICK_TOOL)]
    expected = "json_object" if lacking == ("json_schema",) else None if "json_object" in lacking else "json_schema"
    assert [r.response_format for r in structured] == [expected] * 3
    picks = [r for r in requests if PICK_TOOL in r.tool_names and r.status == 200]
    assert [("tool_choice" in r.body) for r in picks] == ["tool_choice" not in lacking]
    # A local model has no price: the tokens are counted, the cost is unknown, and no vendor hears of it.
    assert details["total_tokens"] > 0 and details["total_cost"] == "unknown"
    assert vendor_env.requests == []

    # The next assistant for the same model asks the way that worked at once.
    model_server.reset()
    model_server.supports -= set(lacking)
    script(model_server)
    assert ask()["answered"]
    assert [r for r in model_server.requests if r.status == 400] == []


def test_a_reply_that_does_not_parse_is_asked_again_with_the_error(ask, model_server):
    script(model_server)
    model_server.add("```sql\nSELECT 1\n```", schema="SQLQueryInput")
    model_server.add('Sure! {"sql_query": "' + QUERY + '"}', schema="SQLQueryInput")

    details = ask()

    assert details["answered"] and details["result"]["generated_query"] == [QUERY]
    first, again = model_server.requests_for(schema="SQLQueryInput")
    assert again.messages[:-2] == first.messages
    assert again.messages[-2] == {"role": "assistant", "content": "```sql\nSELECT 1\n```"}
    assert again.texts[-1].startswith("Your reply could not be read: it is not a JSON object (")


def test_prices_from_the_caller_price_the_tokens(ask, model_server):
    script(model_server)
    details = ask(model_prices={ask.model: {"input": 2.0, "output": 8.0}})
    usage = [r.response["usage"] for r in model_server.requests]
    assert details["total_tokens"] == sum(u["total_tokens"] for u in usage)
    expected = sum(u["prompt_tokens"] * 2.0 + u["completion_tokens"] * 8.0 for u in usage) / 1e6
    assert details["total_cost"] == pytest.approx(expected, rel=1e-12)


def test_the_vendor_hears_of_an_unpriced_model_as_cost_unknown(model_server, vendor_env, demo, tmp_path):
    vendor_env.serve_deployments_for(model_server)
    model_server.set_model("gpt35", "house-model-7")
    model_server.default({"relevant_tables": ["products"]}, schema=PICK_TOOL)
    model_server.default(lambda r: {"sql_query": QUERY}, schema="SQLQueryInput")
    model_server.default(lambda r: {"code": "print(1)"}, schema="PythonCodeInput")
    model_server.default({"final_response": ANSWER}, schema="GenerationOutput")
    model_server.default(checked_query)
    agent = create_agent("SQLite", demo, quiet=True)

    assert run_agent(agent, "acct-9", QUESTION, str(tmp_path))["output"] == ANSWER
    (report,) = vendor_env.usage_reports
    assert (report.account_key, report.total_cost) == ("acct-9", "unknown") and report.total_tokens > 0


def test_a_model_that_stops_mid_reply_ends_the_question_within_two_attempts(ask, model_server, monkeypatch):
    # Retries may be many, but a request and its retries share one deadline of twice the time limit.
    monkeypatch.setenv("ZORVAN_MODEL_TIMEOUT", "1")
    monkeypatch.setenv("ZORVAN_MODEL_MAX_RETRIES", "5")
    model_server.default(Reply(stall=True))

    details = ask()

    assert isinstance(details["error"], ModelServiceError) and not details["answered"]
    assert re.match(r"The chat model at http://127\.0\.0\.1:\d+/v1/chat/completions did not answer in time",
                    details["reason"]), details["reason"]
    assert 1 <= len(model_server.requests) <= 2


def test_a_failing_script_does_not_multiply_the_answer_calls(ask, model_server):
    script(model_server, scripts=["print(missing)", "raise ValueError('x')", "print(2)"])

    details = ask()

    assert details["answered"] and details["result"]["python_code"] == "print(2)"
    kinds = [record_of(r) or "checker" for r in model_server.requests]
    assert kinds == [PICK_TOOL, "SQLQueryInput", "checker"] + ["PythonCodeInput"] * 3 + ["GenerationOutput"]


@pytest.mark.parametrize("status, said", [
    (200, "did not answer with JSON (HTTP status 200, an HTML page (text/html; charset=utf-8): <html>Sign in"),
    (502, "answered with HTTP status 502, an HTML page (text/html; charset=utf-8): <html>Sign in"),
])
def test_a_page_instead_of_a_reply_is_named_with_what_came_back(ask, model_server, status, said):
    model_server.default(Reply(raw="<html>Sign in</html>", status=status))
    details = ask()
    assert isinstance(details["error"], ModelServiceError)
    assert details["reason"].startswith(f"The chat model at {model_server.openai_url}/chat/completions ")
    assert said in details["reason"], details["reason"]


QUIET_RUN = """
import os, sys
sys.path.insert(0, {tests!r})
from support.model_server import ModelServer
from support.graph_run import checked_query
with ModelServer() as server:
    server.default({{"relevant_tables": ["products"]}}, schema="select_relevant_tables")
    server.default({{"sql_query": {query!r}}}, schema="SQLQueryInput")
    server.default({{"code": "print('a script prints too')"}}, schema="PythonCodeInput")
    server.default({{"final_response": "done"}}, schema="GenerationOutput")
    server.default(checked_query)
    os.environ.update(OPENAI_BASE_URL=server.openai_url, ZORVAN_MODEL="llama3.1", ZORVAN_MODEL_MAX_RETRIES="0")
    from zorvanai.agent import create_agent, run_agent
    agent = create_agent("SQLite", {demo!r})
    sys.exit(0 if run_agent(agent, "", "q", {media!r})["output"] == "done" else 3)
"""


@pytest.mark.parametrize("quiet", ["1", "0"])
def test_with_the_quiet_switch_a_question_prints_nothing_and_warns_of_nothing(demo, tmp_path, quiet):
    tests = str(Path(__file__).resolve().parents[1])
    program = QUIET_RUN.format(tests=tests, query=QUERY, demo=demo, media=str(tmp_path))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZORVAN_", "OPENAI_", "AZURE_"))}
    env.update(ZORVAN_QUIET=quiet, PYTHONPATH=str(Path(cli.__file__).parents[1]))
    # Every warning is an error in the child: a warning of ours would end it.
    done = subprocess.run([sys.executable, "-W", "error", "-c", program], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    if quiet == "1":
        assert (done.stdout, done.stderr) == ("", "")
    else:
        # Without the switch the package prints its lines as always.
        lines = done.stdout.splitlines()
        assert lines[0] == "Agent is Ready!" and "hahahaha : " in lines
        assert any(line.startswith("General Response prompt: User question: q") for line in lines)


def test_azure_openai_directly_answers_and_prices_the_question(demo, model_server, vendor_env, monkeypatch, tmp_path):
    from support.model_server import API_VERSION, TEST_API_KEY

    monkeypatch.delenv("ZORVAN_API_URL")
    monkeypatch.setenv("ZORVAN_MODEL_MAX_RETRIES", "0")
    script(model_server)
    agent = create_agent("SQLite", demo, azure_endpoint=model_server.url, azure_api_key=TEST_API_KEY,
                         api_version=API_VERSION, model="gpt35", pandas_model="scripts", quiet=True)

    details = details_of(agent, tmp_path)

    assert details["answered"], details["reason"]
    requests = model_server.requests
    assert {r.protocol for r in requests} == {"azure"} and {r.headers["api-key"] for r in requests} == {TEST_API_KEY}
    # The scripts come from their own deployment, everything else from the one model.
    assert {r.deployment for r in requests if record_of(r) == "PythonCodeInput"} == {"scripts"}
    assert {r.deployment for r in requests if record_of(r) != "PythonCodeInput"} == {"gpt35"}
    assert details["total_cost"] > 0 and vendor_env.requests == []
