"""``zorvanai eval`` end to end: the bundled question set over the demo shop, the model
stand-in answering each question by a script of its own (some right, some wrong, one refused,
one database error, one model error)."""

from __future__ import annotations

import json
import os
import signal
from pathlib import Path

import pytest

from support.graph_run import PICK_TOOL, checked_query, is_checker
from support.model_server import Reply
from zorvanai import cli

BUNDLED = Path(__file__).resolve().parents[2] / "examples" / "eval" / "demo_shop.json"
QUESTIONS = [item["question"] for item in json.loads(BUNDLED.read_text())]
GOLD = [item["query"] for item in json.loads(BUNDLED.read_text())]
MODEL_ERROR = Reply.error(500, "The server is overloaded.")

# What the model writes for each bundled question.
WRITTEN = {
    2: "SELECT category FROM products GROUP BY category ORDER BY category DESC",  # right: the gold has no order
    3: "SELECT name, unit_price FROM products ORDER BY unit_price LIMIT 5",  # the cheapest instead
    4: "SELECT state, COUNT(*) FROM orders GROUP BY state",  # no such column, every time
    5: GOLD[5].replace("SELECT SUM(", "SELECT ROUND(SUM(").replace(")) FROM", ")), 2) FROM"),  # right to the cent
    6: "DELETE FROM customers",  # refused, every time
    7: "SELECT SUM(unit_price) / COUNT(*) FROM products WHERE category = 'Furniture'",  # right
    8: MODEL_ERROR,
    9: "SELECT DISTINCT first_name, last_name FROM customers WHERE customer_id NOT IN (SELECT customer_id FROM "
       "orders)",  # two customers share a name: one row short
}
EXPECTED_STAGES = {"wrong_result": 2, "database_error": 1, "refused": 1, "model_error": 1}


def asked(request, questions) -> int:
    (index,) = [i for i, question in enumerate(questions) if question in request.prompt_text]
    return index


def script(model_server, written, questions, before=lambda index: None):
    """Each question's replies; ``before(index)`` is called at each request about a question."""

    def sql(request):
        index = asked(request, questions)
        before(index)
        reply = written.get(index, GOLD[index] if questions is QUESTIONS else None)
        return reply if isinstance(reply, Reply) else {"sql_query": reply}

    def pick(request):
        before(asked(request, questions))
        return {"relevant_tables": ["customers", "products", "orders", "order_lines"]}

    model_server.default(pick, schema=PICK_TOOL)
    model_server.default(sql, schema="SQLQueryInput")
    model_server.default(lambda r: {"rewritten_question": questions[asked(r, questions)]}, schema="RewriteQueryOutput")
    model_server.default({"code": "print('done')"}, schema="PythonCodeInput")
    model_server.default({"final_response": "Here it is.", "image_path": ""}, schema="GenerationOutput")
    model_server.default(lambda r: checked_query(r) if is_checker(r) else Reply.error(400, "unexpected"))


@pytest.fixture(scope="module")
def shop(tmp_path_factory) -> Path:
    """A working directory whose demo database is made once for the module."""
    return tmp_path_factory.mktemp("shop")


@pytest.fixture
def env(model_server):
    return {"OPENAI_BASE_URL": model_server.openai_url, "ZORVAN_MODEL": "demo-model", "ZORVAN_MODEL_MAX_RETRIES": "0"}


def records_of(path: Path) -> list[dict]:
    """The records without their timings, which differ from run to run."""
    return [{k: v for k, v in r.items() if k != "seconds"} for r in json.loads(path.read_text())["records"]]


@pytest.mark.timeout(300)
def test_the_bundled_set_gives_the_expected_figures_serially_and_concurrently(run_cli, model_server, env, shop,
                                                                             tmp_path):
    script(model_server, WRITTEN, QUESTIONS)
    serial, concurrent = tmp_path / "serial.json", tmp_path / "concurrent.json"

    done = run_cli("eval", str(BUNDLED), "--demo", "--out", str(serial), env=env, cwd=shop)

    assert done.returncode == 0, done.stderr
    summary = json.loads(serial.read_text())["summary"]
    answered = [r.response["usage"] for r in model_server.requests if r.response]
    assert {k: summary[k] for k in ("questions", "matched", "execution_accuracy", "ran", "refused", "stages",
                                    "prompt_tokens", "completion_tokens", "cost", "shortlist_recall")} == {
        "questions": 10, "matched": 5, "execution_accuracy": 0.5, "ran": 0.7, "refused": 0.1,
        "stages": EXPECTED_STAGES, "prompt_tokens": sum(u["prompt_tokens"] for u in answered),
        "completion_tokens": sum(u["completion_tokens"] for u in answered), "cost": None, "shortlist_recall": 1.0}
    records = records_of(serial)
    assert [r["match"] for r in records] == [True, True, True, False, False, True, False, True, False, False]
    assert records[6]["predicted"] is None and records[6]["attempts"] == 6
    assert records[8]["stage"] == "model_error" and "500" in records[8]["reason"]
    assert records[9]["predicted"] == WRITTEN[9] and records[9]["stage"] == "wrong_result"
    assert "Execution accuracy        50.0%  (5 matched)" in done.stdout
    assert len(done.stderr.splitlines()) == 10  # one progress line per question, off a terminal

    again = run_cli("eval", str(BUNDLED), "--demo", "--out", str(concurrent), "--concurrency", "4", env=env, cwd=shop)
    assert again.returncode == 0, again.stderr
    assert records_of(concurrent) == records

    fixed = json.loads(concurrent.read_text())
    fixed["records"][3].update(match=True, stage=None)
    concurrent.write_text(json.dumps(fixed))
    compared = run_cli("eval", "--compare", str(serial), str(concurrent))
    assert compared.returncode == 0
    assert compared.stdout.endswith("Matched only in B (1):\n  #3    wrong result -> matched     " + QUESTIONS[3] + "\n")


@pytest.mark.timeout(300)
@pytest.mark.parametrize("concurrency", ["1", "3"])
def test_ctrl_c_keeps_the_finished_questions_and_resume_runs_the_rest(run_cli, start_cli, model_server, env, shop,
                                                                       tmp_path, concurrency):
    out = tmp_path / "results.json"
    running = []

    def interrupt_at_the_fifth(index):
        if index == 4 and running:
            os.kill(running.pop().pid, signal.SIGINT)

    script(model_server, WRITTEN, QUESTIONS, before=interrupt_at_the_fifth)
    # The configured database this time: the demo shop as an SQLite file of one's own.
    env = {**env, "ZORVAN_DB_ENGINE": "sqlite", "ZORVAN_DB_NAME": cli.demo_database(str(tmp_path / "shop.db"))}
    args = ("eval", str(BUNDLED), "--out", str(out), "--concurrency", concurrency)
    proc = start_cli(*args, env=env, cwd=shop)
    running.append(proc)
    _, stderr = proc.communicate(timeout=240)

    assert proc.returncode == 130, stderr  # with runs on threads too: they are stopped before the process ends
    done = [r["index"] for r in records_of(out)]
    assert json.loads(out.read_text())["summary"]["interrupted"] is True
    if concurrency == "1":
        assert done == [0, 1, 2, 3] and "4 of 10 questions are done" in stderr

    resumed = run_cli(*args, "--resume", env=env, cwd=shop)
    assert resumed.returncode == 0, resumed.stderr
    assert [r["index"] for r in records_of(out)] == list(range(10))
    assert len(resumed.stderr.splitlines()) == 10 - len(done)  # only those left were asked
    assert json.loads(out.read_text())["summary"]["matched"] == 5


# (gold, what the model writes, whether they match)
MATCHING = [
    ("SELECT 1 AS n UNION ALL SELECT 2", "SELECT 2 UNION ALL SELECT 1", True),  # any order without ORDER BY
    ("SELECT 1 AS n UNION ALL SELECT 2 ORDER BY n", "SELECT 2 AS n UNION ALL SELECT 1 ORDER BY n DESC", False),
    ("SELECT name FROM products ORDER BY name LIMIT 3",
     "SELECT name FROM (SELECT name FROM products ORDER BY name LIMIT 3) ORDER BY name", True),
    ("SELECT 1 UNION ALL SELECT 1", "SELECT 1", False),  # duplicates count
    ("SELECT 7 UNION ALL SELECT 7 UNION ALL SELECT 8", "SELECT 8 UNION ALL SELECT 7 UNION ALL SELECT 7", True),
    ("SELECT 0.1 + 0.2", "SELECT 0.3", True),  # within the tolerance
    ("SELECT 2.5", "SELECT 2.50001", False),  # beyond it
    ("SELECT COUNT(*) FROM products", "SELECT 40.0", True),  # integer and float
    ("SELECT NULL, 1", "SELECT NULL, 1.0", True),
    ("SELECT NULL", "SELECT 0", False),
    ("SELECT '1'", "SELECT 1", False),  # text is not a number
    ("SELECT 1, 2", "SELECT 2, 1", False),  # columns keep their order
    ("SELECT no_such_column FROM products", "SELECT 1", False),  # the gold query fails: recorded, not fatal
]


def test_matching_rules(run_cli, model_server, env, shop, tmp_path):
    questions = [f"Matching case number {i:02d}?" for i in range(len(MATCHING))]
    (tmp_path / "cases.json").write_text(json.dumps(
        [{"db_id": "shop", "question": q, "query": gold} for q, (gold, _, _) in zip(questions, MATCHING)]))
    script(model_server, {i: written for i, (_, written, _) in enumerate(MATCHING)}, questions)
    # Spider's layout: DIR/database/<db_id>/<db_id>.sqlite.
    (tmp_path / "spider" / "database" / "shop").mkdir(parents=True)
    cli.demo_database(str(tmp_path / "spider" / "database" / "shop" / "shop.sqlite"))

    done = run_cli("eval", str(tmp_path / "cases.json"), "--databases", str(tmp_path / "spider"), "--out",
                   str(tmp_path / "r.json"), env=env, cwd=shop, tty=True)

    assert done.returncode == 0, done.stderr
    # On a terminal: one line rewritten in place, with the running accuracy and the time left.
    assert "\n" not in done.stderr and f"[{len(MATCHING)}/{len(MATCHING)}] accuracy" in done.stderr
    assert " ETA " in done.stderr and done.stderr.endswith("\r\x1b[K")
    records = records_of(tmp_path / "r.json")
    assert [r["stage"] for r in records if r["stage"] not in (None, "wrong_result")] == ["gold_error"]
    assert [r["match"] for r in records] == [match for _, _, match in MATCHING]


def test_shortlist_recall_from_tables_json_without_model_or_database(run_cli, tmp_path):
    tables = [{"db_id": "zoo", "table_names_original": [f"t{i}" for i in range(12)] + ["keeper", "animal"],
               "column_names_original": [[-1, "*"], [12, "keeper_name"], [13, "species"], [13, "keeper_id"]],
               "foreign_keys": [[3, 1]]}]
    questions = [{"db_id": "zoo", "question": "Which species does each keeper look after?",
                  "query": "SELECT k.keeper_name, a.species FROM keeper k JOIN animal a ON a.keeper_id = 1"},
                 {"db_id": "zoo", "question": "How many rows?", "query": "SELECT COUNT(*) FROM t7"},
                 {"db_id": "farm", "question": "Cows?", "query": "SELECT 1 FROM cow"}]
    (tmp_path / "tables.json").write_text(json.dumps(tables))
    (tmp_path / "q.json").write_text(json.dumps(questions))

    done = run_cli("eval", str(tmp_path / "q.json"), "--shortlist-only")

    assert done.returncode == 0, done.stderr
    assert "Questions                 2 (1 gold queries not matched" in done.stdout
    # The keeper question finds its two tables at once; "t7" only within 30.
    assert "Recall at 10              0.500" in done.stdout and "Recall at 30              1.000" in done.stdout


def test_usage_errors_say_what_to_do(run_cli, tmp_path):
    assert run_cli("eval").error_lines == ["zorvanai: name the question set: zorvanai eval QUESTIONS.json"]
    (tmp_path / "two.json").write_text(json.dumps([{"db_id": d, "question": "q", "query": "SELECT 1"}
                                                  for d in ("a", "b")]))
    done = run_cli("eval", "two.json", env={"OPENAI_BASE_URL": "http://127.0.0.1:9/v1", "ZORVAN_MODEL": "m"})
    assert done.returncode == 2 and "with --databases DIR" in done.stderr
