"""What ``zorvanai eval`` adds to the runs it measures, beside the same questions asked through
``run_agent`` alone, in one run.

The bundled question set (examples/eval/demo_shop.json, over the demo shop in SQLite) is asked
``--passes`` times over. The model stand-in of the tests answers every question at once with a
query that gives the gold query's rows without being its text (the gold query wrapped as a
subquery), so nearly all of a run is the graph, the clients and the database, and every answer
is scored in full: the worst case for the overhead, which is everything the command does beyond
the runs (following each run, parsing the gold query, executing it and the predicted query
again, comparing the rows, the results file, the progress lines). Both sides run by turns in one
interpreter after a warm-up (figures are medians); the memory is the peak RSS of each side run
alone in a fresh interpreter. Target: the overhead stays below 5% of the run.

    PYTHONPATH=build/dev/python .venv/bin/python benchmarks/eval_overhead.py [--runs 15] [--passes 3]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BUNDLED = REPO / "examples" / "eval" / "demo_shop.json"
TARGET = 0.05


def script_gold_answers(server, questions: list[dict]) -> None:
    from support.graph_run import PICK_TOOL, checked_query

    gold_of = {q["question"]: q["query"] for q in questions}

    def gold(request):
        (query,) = [query for question, query in gold_of.items() if question in request.prompt_text]
        return {"sql_query": f"SELECT * FROM ({query})"}

    server.default({"relevant_tables": ["customers", "products", "orders", "order_lines"]}, schema=PICK_TOOL)
    server.default(gold, schema="SQLQueryInput")
    server.default({"code": "print('done')"}, schema="PythonCodeInput")
    server.default({"final_response": "Here it is.", "image_path": ""}, schema="GenerationOutput")
    server.default(checked_query)


def ask_through_run_agent(agent, work: Path, demo: str, questions: list[dict]) -> None:
    graph = agent.create_agent("SQLite", demo, quiet=True)
    for question in questions:
        answer = agent.run_agent(graph, None, question["question"], str(work / "media"))
        assert "generated_query" in answer, answer


def ask_through_eval(cli, work: Path, question_file: Path) -> None:
    results = work / "results.json"
    assert cli.main(["eval", str(question_file), "--demo", "--out", str(results)]) == 0
    assert json.loads(results.read_text())["summary"]["execution_accuracy"] == 1.0


def measure(sides: list[str], passes: int, rounds: int) -> dict:
    """In this (fresh) interpreter: the set through each side, ``rounds`` times by turns, after a
    warm-up; the wall and processor seconds of each, and the process's peak RSS."""
    sys.path.insert(0, str(REPO / "tests"))
    from support.model_server import ModelServer
    from zorvanai import agent, cli

    questions = json.loads(BUNDLED.read_text()) * passes
    work = Path(tempfile.mkdtemp(prefix="zorvan-bench-eval-"))
    os.chdir(work)
    question_file = work / "questions.json"
    question_file.write_text(json.dumps(questions))
    demo = cli.demo_database("zorvan_demo.db")
    sides_run = {"baseline": lambda: ask_through_run_agent(agent, work, demo, questions),
                 "eval": lambda: ask_through_eval(cli, work, question_file)}
    figures: dict[str, dict[str, list[float]]] = {side: {"seconds": [], "cpu": []} for side in sides}
    with ModelServer() as server:
        script_gold_answers(server, questions)
        os.environ.update({"OPENAI_BASE_URL": server.openai_url, "ZORVAN_MODEL": "bench-model",
                           "ZORVAN_MODEL_MAX_RETRIES": "0"})
        for side in sides:
            sides_run[side]()  # warm-up: lazy imports, first connections
        for turn in range(rounds):
            for side in sides if turn % 2 == 0 else sides[::-1]:
                started, cpu_started = time.perf_counter(), time.process_time()
                sides_run[side]()
                figures[side]["seconds"].append(time.perf_counter() - started)
                figures[side]["cpu"].append(time.process_time() - cpu_started)
    return {"figures": figures, "questions": len(questions),
            "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}


def spawn(sides: list[str], passes: int, rounds: int) -> dict:
    done = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--child", ",".join(sides), "--passes",
                           str(passes), "--runs", str(rounds)], capture_output=True, text=True, timeout=1800,
                          env=os.environ.copy())
    if done.returncode != 0:
        raise RuntimeError(f"the {sides} run failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def run(runs: int = 15, passes: int = 3, log=lambda message: None) -> dict:
    log(f"  eval overhead: {runs} runs of each side by turns, in one process")
    speed = spawn(["baseline", "eval"], passes, runs)
    result = {"questions": speed["questions"]}
    for side, figures in speed["figures"].items():
        result[side] = {key: statistics.median(values) for key, values in figures.items()}
        log(f"  memory: {side} alone in a fresh process")
        result[side]["peak_rss"] = spawn([side], passes, 1)["peak_rss"]
    # The load of the machine drifts; the two sides of one turn ran side by side, so the
    # overhead is the median of the turns' own ratios.
    for key in ("seconds", "cpu"):
        pairs = zip(speed["figures"]["eval"][key], speed["figures"]["baseline"][key])
        result[f"overhead_{key}"] = statistics.median((e - b) / e for e, b in pairs)
    return result


def format_result(result: dict) -> str:
    n = result["questions"]
    base, measured = result["baseline"], result["eval"]
    def side(name: str, figures: dict) -> str:
        return (f"  {name:<17} {figures['seconds']:.2f} s wall, {figures['cpu']:.2f} s processor "
                f"({figures['cpu'] / n * 1000:.0f} ms a question), peak RSS {figures['peak_rss'] / 1e6:.0f} MB")

    return "\n".join([
        f"{n} questions, the model stand-in answering at once (medians):",
        side("run_agent alone:", base),
        side("zorvanai eval:", measured),
        f"  overhead:         {result['overhead_cpu'] * 100:.1f}% of the run's processor time, "
        f"{result['overhead_seconds'] * 100:.1f}% of its wall time (target < {TARGET * 100:.0f}%)",
    ])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="runs of each side (default 15)")
    parser.add_argument("--passes", type=int, default=3, help="times the question set is asked per run (default 3)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        figures = measure(args.child.split(","), args.passes, args.runs)
        sys.stdout.flush()
        print(json.dumps(figures))
        return
    print(format_result(run(args.runs, args.passes, log=lambda m: print(m, file=sys.stderr, flush=True))))


if __name__ == "__main__":
    main()
