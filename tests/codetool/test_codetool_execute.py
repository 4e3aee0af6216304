"""Running source with captured output in the namespace of zorvanai.codetool."""

import inspect
import sys
import threading
import types

import pytest

import zorvanai.codetool as codetool


def test_namespace_holds_the_tools_names():
    namespace = vars(codetool)
    for name in ("ast", "os", "subprocess", "sys", "tempfile", "venv"):
        assert isinstance(namespace[name], types.ModuleType) and namespace[name].__name__ == name
    assert namespace["StringIO"] is __import__("io").StringIO
    assert namespace["media_path"] is None
    functions = ["initialize_environment", "ensure_virtual_environment", "install_defaults",
                 "safe_install_modules", "install_dependencies", "execute_code"]
    assert codetool.execute_code(f"print([callable(f) for f in ({', '.join(functions)})], StringIO)") == (
        f"[{', '.join(['True'] * 6)}] <class '_io.StringIO'>\n"
    )
    assert str(inspect.signature(codetool.execute_code)) == "(code)"


def test_printed_lines_are_returned():
    assert codetool.execute_code("print('a')\nprint('b')") == "a\nb\n"
    assert codetool.execute_code(code="value = 2 + 2") == ""
    assert codetool.execute_code("print(os.sep, sys.maxsize > 0, tempfile.gettempdir() != '')") == "/ True True\n"


def test_definitions_persist_between_calls_and_live_in_the_module():
    codetool.execute_code("x = 1\nimport json\ndef twice(v):\n    return 2 * v")
    assert codetool.execute_code("print(x)\nprint(json.dumps([twice(x)]))") == "1\n[2]\n"
    assert codetool.x == 1
    codetool.execute_code("media_path = 'charts'\ncompile = exec = None")
    try:
        assert codetool.media_path == "charts"
        assert codetool.execute_code("print(x)") == "1\n"
    finally:
        codetool.media_path = None
        del codetool.compile, codetool.exec


@pytest.mark.parametrize(
    "source, error",
    [("raise ValueError('late failure')", ValueError), ("raise SystemExit(3)", SystemExit)],
)
def test_error_after_printing_reaches_the_caller_and_restores_stdout(capsys, source, error):
    stdout = sys.stdout
    with pytest.raises(error):
        codetool.execute_code(f"print('partial')\ndefined_before_error = 5\n{source}")
    assert sys.stdout is stdout
    print("after")
    assert capsys.readouterr().out == "after\n"
    assert codetool.defined_before_error == 5


def test_syntax_errors(capsys):
    stdout = sys.stdout
    # Nothing runs when the source does not parse.
    with pytest.raises(SyntaxError) as caught:
        codetool.execute_code("never_assigned = 1\ndef broken(:\n")
    assert caught.value.lineno == 2
    assert "never_assigned" not in vars(codetool)
    assert sys.stdout is stdout

    # Parses, but fails when compiled.
    with pytest.raises(SyntaxError, match="'return' outside function"):
        codetool.execute_code("return 1")
    assert sys.stdout is stdout
    print("visible")
    assert capsys.readouterr().out == "visible\n"


def test_nested_runs_keep_their_own_output():
    source = "inner = execute_code(\"print('in')\")\nprint('out', repr(inner))"
    assert codetool.execute_code(source) == "out 'in\\n'\n"


def test_threads_each_get_only_their_own_output(capsys):
    stdout = sys.stdout
    start = threading.Barrier(5)
    results = {}

    def run(worker):
        start.wait()
        results[worker] = codetool.execute_code(
            f"import time\ndef work_{worker}():\n    for k in range(40):\n"
            f"        print('worker {worker}', k)\n        time.sleep(0.001)\nwork_{worker}()"
        )

    threads = [threading.Thread(target=run, args=(w,)) for w in range(4)]
    for thread in threads:
        thread.start()
    start.wait()
    for k in range(40):
        print("main", k)
        __import__("time").sleep(0.001)
    for thread in threads:
        thread.join()

    for worker in range(4):
        assert results[worker] == "".join(f"worker {worker} {k}\n" for k in range(40))
    assert capsys.readouterr().out == "".join(f"main {k}\n" for k in range(40))
    assert sys.stdout is stdout
