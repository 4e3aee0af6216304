"""What isolating analysis scripts costs: latency per chart script and the application's memory.

The same chart script (a 100-row DataFrame, a bar chart saved as PNG, its path printed) runs
through ``PandasExecutor`` in the sandbox and in-process (ZORVAN_SANDBOX=off), in one run:

- the first sandboxed run, which starts the worker (first-use start time);
- the median time per script with a warm worker against in-process, timed in alternating
  pairs so that a change in the machine's load hits both sides, and the median of the pairs'
  differences (the target is at most 50 ms);
- the application's resident memory over QUESTIONS chart questions in each mode, with the
  figure left open as model-written scripts often do.

    PYTHONPATH=build/dev/python .venv/bin/python benchmarks/sandbox.py [--rounds 30] [--questions 300]
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

import zorvanai.qa_graph.qa_nodes as qa_nodes

CHART = """
import os
import pandas as pd
import matplotlib.pyplot as plt
df = pd.DataFrame({'month': [f'm{i}' for i in range(100)], 'revenue': [i * 3 % 17 for i in range(100)]})
df.plot.bar(x='month', y='revenue', figsize=(8, 4))
path = os.path.join(SAVE, 'chart.png')
plt.savefig(path)
print(df['revenue'].sum())
print(path)
"""
CLOSED = CHART + "plt.close('all')\n"


def rss_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def ask(node, save: str, mode: str, script: str = CHART) -> float:
    os.environ["ZORVAN_SANDBOX"] = mode
    started = time.perf_counter()
    update = node.invoke({"pandas_code": script.replace("SAVE", repr(save)), "save_path": save})
    elapsed = time.perf_counter() - started
    if not update["python_execution_success"]:
        raise SystemExit(f"the chart script failed ({mode}): {update['python_error_message']}")
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30, help="timed scripts per mode (default 30)")
    parser.add_argument("--questions", type=int, default=300, help="chart questions per mode for memory (300)")
    args = parser.parse_args()
    node = qa_nodes.PandasExecutor(model=None)
    with tempfile.TemporaryDirectory() as save:
        first = ask(node, save, "on", CLOSED)
        ask(node, save, "off", CLOSED)  # loads the libraries in-process too
        timings: dict[str, list[float]] = {"on": [], "off": []}
        for _ in range(args.rounds):
            for mode in ("on", "off"):
                timings[mode].append(ask(node, save, mode, CLOSED))
        memory = {}
        for mode in ("on", "off"):
            before = rss_mib()
            for _ in range(args.questions):
                ask(node, save, mode)
            memory[mode] = (before, rss_mib())

    sandboxed, in_process = (statistics.median(timings[m]) * 1000 for m in ("on", "off"))
    added = statistics.median(on - off for on, off in zip(timings["on"], timings["off"])) * 1000
    print(f"first sandboxed run (starts the worker): {first * 1000:.0f} ms")
    print(f"{'':28}{'sandbox':>12}{'in-process':>12}{'added':>10}")
    print(f"{'median per chart script':28}{sandboxed:>10.1f}ms{in_process:>10.1f}ms{added:>8.1f}ms")
    for mode, label in (("on", "sandbox"), ("off", "in-process")):
        before, after = memory[mode]
        print(f"application RSS over {args.questions} questions, {label:>10}: {before:.0f} -> {after:.0f} MiB "
              f"({after - before:+.0f} MiB)")


if __name__ == "__main__":
    main()
