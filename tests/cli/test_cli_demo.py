"""``zorvanai demo`` end to end against the OpenAI-compatible stand-in, and the demo database."""

from __future__ import annotations

import json
from pathlib import Path

from support.db import CLOSED_PORT
from support.graph_run import PICK_TOOL, checked_query
from zorvanai import cli

QUERY = ("SELECT p.name, SUM(l.quantity * l.unit_price) AS revenue FROM order_lines l JOIN products p USING "
         "(product_id) JOIN orders o USING (order_id) WHERE o.ordered_on LIKE '2025%' GROUP BY p.name "
         "ORDER BY revenue DESC LIMIT 5")


def model_env(url: str, model: str) -> dict[str, str]:
    return {"OPENAI_BASE_URL": url, "ZORVAN_MODEL": model, "ZORVAN_MODEL_MAX_RETRIES": "0"}


def script(model_server):
    model_server.default({"relevant_tables": ["products", "order_lines", "orders"]}, schema=PICK_TOOL)
    model_server.default({"sql_query": QUERY}, schema="SQLQueryInput")
    model_server.default({"code": "print('top five')"}, schema="PythonCodeInput")
    model_server.default({"final_response": "The wheelbarrow brought in most.", "image_path": ""},
                         schema="GenerationOutput")
    model_server.default(checked_query)


def test_demo_creates_the_shop_and_answers_the_sample_question(run_cli, model_server, tmp_path):
    script(model_server)
    env = model_env(model_server.openai_url, "demo-model")

    done = run_cli("demo", env=env)

    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("The wheelbarrow brought in most.\n\nQuery 1:\n")
    assert "Wheelbarrow 90 l" in done.stdout  # the query ran on the demo shop
    assert "\nUsage: " in done.stdout and "cost unknown" in done.stdout
    lines = done.error_lines
    assert lines[0] == f"demo database: {tmp_path / 'zorvan_demo.db'} (created)"
    assert lines[1] == "question: Which five products brought in the most revenue in 2025?"
    (question,) = {r.texts[-1] for r in model_server.requests_for(schema=PICK_TOOL)}
    assert question.endswith("Question: Which five products brought in the most revenue in 2025?")

    # Run again: the same file is used; --json says ok.
    again = run_cli("demo", "--json", "How many orders?", env=env)
    assert again.returncode == 0, again.stderr
    record = json.loads(again.stdout)
    assert record["ok"] is True and record["output"] == "The wheelbarrow brought in most."
    assert record["usage"]["total_cost"] == "unknown" and again.stderr == ""


def test_demo_without_a_model_says_how_to_point_it_at_one(run_cli, tmp_path):
    done = run_cli("demo")
    assert done.returncode == 2 and done.stdout == ""
    assert done.error_lines[0].startswith("zorvanai: no chat model is configured")
    assert any("OPENAI_BASE_URL=http://localhost:11434/v1" in line for line in done.error_lines)
    assert not (tmp_path / "zorvan_demo.db").exists()


def test_an_unanswered_question_exits_1_with_ok_false(run_cli, tmp_path):
    done = run_cli("demo", "--json", env=model_env(f"http://127.0.0.1:{CLOSED_PORT}/v1", "m"))
    assert done.returncode == 1
    record = json.loads(done.stdout)
    assert record["ok"] is False and record["reason"].startswith("could not reach the chat model at ")
    assert done.error_lines == ["zorvanai: the question could not be answered: " + record["reason"]]


def test_schema_of_an_sqlite_file_and_a_file_that_is_not_the_demo(run_cli, tmp_path):
    path = cli.demo_database(str(tmp_path / "shop.db"))
    done = run_cli("schema", env={"ZORVAN_DB_ENGINE": "sqlite", "ZORVAN_DB_NAME": path})
    assert done.returncode == 0, done.stderr
    assert [block.splitlines()[0] for block in done.stdout.strip().split("\n\n")] == [
        "customers", "products", "orders", "order_lines"]

    (tmp_path / "mine.db").write_text("my own data")
    refused = run_cli("demo", "--db", "mine.db", env=model_env("http://127.0.0.1:9/v1", "m"))
    assert refused.returncode == 2
    assert refused.error_lines == [f"zorvanai: {tmp_path / 'mine.db'} exists and is not the demo database; move it "
                                   "away or choose another file with --db"]
    assert (tmp_path / "mine.db").read_text() == "my own data"


def test_the_demo_database_is_the_same_file_every_time(tmp_path):
    first = Path(cli.demo_database(str(tmp_path / "a.db"))).read_bytes()
    assert Path(cli.demo_database(str(tmp_path / "b.db"))).read_bytes() == first
