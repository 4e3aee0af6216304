"""Running analysis scripts: captured output, failures, isolation between threads, the time limit and Ctrl-C."""

import inspect
import sys
import threading
import time

import pytest

import zorvanai.qa_graph.qa_nodes as qa_nodes
from support.processes import wait_until_gone


@pytest.fixture
def executor():
    return qa_nodes.PandasExecutor(model=None)


@pytest.fixture
def time_limit(monkeypatch):
    """Sets the script time limit of the node module for one test."""
    monkeypatch.delenv("ZORVAN_SCRIPT_TIMEOUT", raising=False)

    def set_limit(seconds):
        monkeypatch.setattr(qa_nodes, "SCRIPT_TIMEOUT_SECONDS", seconds)

    return set_limit


def test_constructor_keeps_the_model_and_the_prompt():
    marker = object()
    node = qa_nodes.PandasExecutor(marker)
    assert node.model is marker
    assert [type(m).__name__ for m in node.template.messages] == ["HumanMessagePromptTemplate"]
    assert node.template.messages[0].prompt.template == qa_nodes.PANDAS_SYSTEM_TEMPLATE
    assert node.template.messages[0].prompt.template_format == "jinja2"
    assert str(inspect.signature(qa_nodes.PandasExecutor)) == "(model)"
    assert str(inspect.signature(node.invoke)) == "(state, **kwargs)"


def test_printed_lines_are_the_output(executor, capsys):
    update = executor.invoke({"pandas_code": "print('first')\nprint('second', 2)"}, config={"tags": ["x"]})
    assert update == {"python_executed_output": "first\nsecond 2\n", "python_execution_success": True}
    assert executor.invoke({"pandas_code": "x = 1"}) == {"python_executed_output": "", "python_execution_success": True}
    assert capsys.readouterr().out == ""


def test_namespace_holds_only_datetime_and_each_run_starts_fresh(executor):
    update = executor.invoke({"pandas_code": "print(datetime.date(2024, 5, 1).isoformat())\n"
                                             "print(sorted(k for k in globals() if k != '__builtins__'))\n"
                                             "leftover = 1"})
    assert update["python_executed_output"] == "2024-05-01\n['datetime']\n"
    assert executor.invoke({"pandas_code": "print(leftover)"}) == {
        "python_execution_success": False, "python_error_message": "NameError: name 'leftover' is not defined"}
    assert executor.invoke({"pandas_code": "print(pd.DataFrame())"})["python_error_message"] == (
        "NameError: name 'pd' is not defined")


def test_a_script_may_use_pandas_and_save_a_chart_under_a_relative_save_path(executor, in_tmp_cwd):
    code = ("import os\nimport pandas as pd\nimport matplotlib.pyplot as plt\n"
            "os.makedirs('media/q1', exist_ok=True)\n"
            "df = pd.DataFrame({'m': ['a', 'b'], 'v': [3, 4]})\n"
            "ax = df.plot.bar(x='m', y='v')\n"
            "path = os.path.join('media/q1', 'chart.png')\n"
            "plt.savefig(path)\nprint(df['v'].sum())\nprint(path)")
    update = executor.invoke({"pandas_code": code, "save_path": "media/q1"})
    assert update == {"python_executed_output": "7\nmedia/q1/chart.png\n", "python_execution_success": True}
    assert (in_tmp_cwd / "media/q1/chart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_failure_after_printing_discards_the_output_and_restores_stdout(executor, capsys):
    stdout = sys.stdout
    update = executor.invoke({"pandas_code": "print('partial')\n{}['missing']"})
    assert update == {"python_execution_success": False, "python_error_message": "KeyError: 'missing'"}
    assert sys.stdout is stdout
    print("after the script")
    assert capsys.readouterr().out == "after the script\n"


@pytest.mark.parametrize(
    "state, message",
    [({"pandas_code": "print('x'"}, "SyntaxError: '(' was never closed (<unknown>, line 1)"),
     ({"pandas_code": "def f():\n  return 1\n return 2"}, "IndentationError: "),
     ({"pandas_code": "return 5"}, "SyntaxError: 'return' outside function"),
     ({}, "KeyError: 'pandas_code'"),
     ({"pandas_code": None}, "TypeError: "),
     ({"pandas_code": "import no_such_module_here"}, "ModuleNotFoundError: No module named 'no_such_module_here'"),
     ({"pandas_code": "1 / 0"}, "ZeroDivisionError: division by zero")],
)
def test_errors_become_the_failure_record(executor, state, message):
    update = executor.invoke(state)
    assert list(update) == ["python_execution_success", "python_error_message"]
    assert update["python_execution_success"] is False
    assert update["python_error_message"].startswith(message)


def test_state_must_be_a_mapping(executor):
    with pytest.raises(TypeError, match="^state must be a mapping, not str$"):
        executor.invoke("print(1)")


def test_exits_and_interrupts_raised_by_a_script_become_failures(executor):
    assert executor.invoke({"pandas_code": "raise KeyboardInterrupt"}) == {
        "python_execution_success": False, "python_error_message": "KeyboardInterrupt: "}


@pytest.mark.parametrize("source, error", [("raise SystemExit(4)", SystemExit), ("raise KeyboardInterrupt", KeyboardInterrupt)])
def test_in_process_exits_and_interrupts_reach_the_caller_with_stdout_restored(executor, capsys, monkeypatch, source,
                                                                              error):
    monkeypatch.setenv("ZORVAN_SANDBOX", "off")
    stdout = sys.stdout
    with pytest.raises(error):
        executor.invoke({"pandas_code": f"print('before')\n{source}"})
    assert sys.stdout is stdout
    print("visible")
    assert capsys.readouterr().out == "visible\n"


def test_print_calls_everywhere_are_kept(executor):
    code = "def show(v):\n    print('in function', v)\nclass K:\n    def m(self):\n        print('in method')\n" \
           "show(1)\nK().m()\nprint('top')"
    update = executor.invoke({"pandas_code": code})
    assert update["python_executed_output"] == "in function 1\nin method\ntop\n"


def test_concurrent_scripts_keep_their_own_output(executor, capsys):
    """Scripts of several threads overlap in time; each sees only its own lines."""
    results = {}
    barrier = threading.Barrier(4)

    def ask(label):
        barrier.wait()
        code = f"import time\nfor i in range(20):\n    print('{label}', i)\n    time.sleep(0.005)"
        results[label] = executor.invoke({"pandas_code": code})

    def chatter():
        barrier.wait()
        for i in range(20):
            print("outside", i)
            time.sleep(0.005)

    threads = [threading.Thread(target=ask, args=(label,)) for label in ("a", "b", "c")]
    threads.append(threading.Thread(target=chatter))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    for label in ("a", "b", "c"):
        expected = "".join(f"{label} {i}\n" for i in range(20))
        assert results[label] == {"python_executed_output": expected, "python_execution_success": True}
    assert capsys.readouterr().out == "".join(f"outside {i}\n" for i in range(20))


@pytest.mark.parametrize(
    "code",
    ["print('started')\nwhile True:\n    pass",
     "print('started')\nwhile True:\n    try:\n        sum(range(1000))\n    except Exception:\n        pass",
     "import time\nprint('started')\ntime.sleep(30)\nprint('never')"],
    ids=["busy-loop", "loop-catching-exception", "blocking-sleep"],
)
def test_a_script_past_the_time_limit_is_stopped_and_reported(executor, time_limit, capsys, code):
    time_limit(0.5)
    stdout = sys.stdout
    started = time.monotonic()
    update = executor.invoke({"pandas_code": code})
    elapsed = time.monotonic() - started
    assert update == {"python_execution_success": False,
                      "python_error_message": "TimeoutError: the script did not finish within 0.5 seconds and was "
                                              "stopped"}
    assert 0.5 <= elapsed < 3
    assert sys.stdout is stdout
    print("console")
    assert capsys.readouterr().out == "console\n"


def test_time_limit_settings(executor, time_limit, monkeypatch):
    time_limit(None)
    assert executor.invoke({"pandas_code": "import time\ntime.sleep(0.3)\nprint('slow but allowed')"}) == {
        "python_executed_output": "slow but allowed\n", "python_execution_success": True}
    time_limit(60)
    monkeypatch.setenv("ZORVAN_SCRIPT_TIMEOUT", "1")
    update = executor.invoke({"pandas_code": "import time\ntime.sleep(10)"})
    assert update["python_error_message"] == "TimeoutError: the script did not finish within 1 second and was stopped"
    monkeypatch.setenv("ZORVAN_SCRIPT_TIMEOUT", "soon")
    with pytest.raises(ValueError, match="ZORVAN_SCRIPT_TIMEOUT must be a positive number of seconds, not 'soon'"):
        executor.invoke({"pandas_code": "print(1)"})
    monkeypatch.delenv("ZORVAN_SCRIPT_TIMEOUT")
    time_limit(-1)
    with pytest.raises(ValueError, match="SCRIPT_TIMEOUT_SECONDS must be a positive number"):
        executor.invoke({"pandas_code": "print(1)"})


def test_default_time_limit_is_two_minutes(monkeypatch):
    monkeypatch.delenv("ZORVAN_SCRIPT_TIMEOUT", raising=False)
    assert qa_nodes.SCRIPT_TIMEOUT_SECONDS == 120.0


def test_generate_prompt_fills_the_script_prompt():
    node = qa_nodes.PandasExecutor(model=None)
    messages = node.generate_prompt({"follow_up_question": ["f"], "generated_sql_query": ["q"],
                                     "sql_execution_result": ["r"], "original_question": "o", "save_path": "media/x"})
    assert [m.type for m in messages] == ["human"]
    assert "dont show the graph instead save it in media/x - matplotlib" in messages[0].content
    with pytest.raises(KeyError, match="follow_up_question"):
        node.generate_prompt({"generated_sql_query": [], "sql_execution_result": [], "save_path": "m"})


def test_ctrl_c_while_waiting_stops_the_script(executor, time_limit, in_tmp_cwd):
    """An interrupt of the waiting (main) thread reaches it once the script runs; the script is stopped too."""
    import _thread

    assert threading.current_thread() is threading.main_thread()
    time_limit(None)
    started = in_tmp_cwd / "media" / "started"

    def interrupt_once_started():
        while not started.exists():
            time.sleep(0.01)
        _thread.interrupt_main()

    watcher = threading.Thread(target=interrupt_once_started, daemon=True)
    watcher.start()
    with pytest.raises(KeyboardInterrupt):
        executor.invoke({"pandas_code": "import time\nopen('media/started', 'w').close()\nwhile True:\n    time.sleep(1)",
                         "save_path": "media"})
    watcher.join(10)
    wait_until_gone(in_tmp_cwd)


PROFILED_RUNS = r"""
import sys, time
import zorvanai.qa_graph.qa_nodes as qa_nodes

executor = qa_nodes.PandasExecutor(model=None)
qa_nodes.SCRIPT_TIMEOUT_SECONDS = 0.5
calls = [0]

def profiler(frame, event, arg):
    calls[0] += 1

outcomes = [executor.invoke({"pandas_code": "print('before')"})["python_execution_success"]]
sys.setprofile(profiler)
outcomes.append(executor.invoke({"pandas_code": "print('profiled')"})["python_executed_output"])
outcomes.append(executor.invoke({"pandas_code": "import time\ntime.sleep(1.5)"})["python_execution_success"])
time.sleep(1.5)  # the stopped script wakes up and takes its stop
outcomes.append(executor.invoke({"pandas_code": "print('after a stop')"})["python_executed_output"])
sys.setprofile(None)
print(outcomes, calls[0] > 0)
"""


def test_runs_under_a_profiler_or_tracer_do_not_hang():
    # Debuggers, coverage and profilers install such functions; a stale
    # stop signal once made the interpreter loop forever under them.
    import os
    import subprocess
    from pathlib import Path

    tree = str(Path(qa_nodes.__file__).parent.parent.parent)
    result = subprocess.run([sys.executable, "-c", PROFILED_RUNS], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, PYTHONPATH=tree, ZORVAN_SANDBOX="off"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "[True, 'profiled\\n', False, 'after a stop\\n'] True"
