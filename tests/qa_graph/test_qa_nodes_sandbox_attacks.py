"""Hostile analysis scripts, as a prompt-injected model would write them.

Each attack runs through the real node; afterwards the application's secrets,
classes, working directory, standard output and life must be untouched.
"""

import os
import socket
import sys
import threading

import pytest

import zorvanai.codetool as codetool
import zorvanai.qa_graph.qa_nodes as qa_nodes
from support.db import MARIA_HOST, MARIA_PORT, PG_HOST, PG_PORT
from support.processes import wait_until_gone

SECRET = "s3cret-db-password-4711"
VAULT = {"password": SECRET}  # a live object holding the secret, as a database URL would


@pytest.fixture
def app(in_tmp_cwd, monkeypatch, capsys):
    """The application as a script sees it; checks after the attack that nothing of it changed."""
    monkeypatch.setenv("ZORVAN_DB_PASSWORD", SECRET)
    monkeypatch.delenv("ZORVAN_SCRIPT_TIMEOUT", raising=False)
    (in_tmp_cwd / ".env").write_text(f"ZORVAN_DB_PASSWORD={SECRET}\n")
    invoke, execute_code = qa_nodes.PandasExecutor.invoke, codetool.execute_code
    node = qa_nodes.PandasExecutor(model=None)

    def run(code, **state):
        stdout = sys.stdout
        update = node.invoke({"pandas_code": code, "save_path": "media/q", **state})
        assert SECRET not in str(update) and sys.stdout is stdout
        return update

    yield run
    assert os.environ["ZORVAN_DB_PASSWORD"] == SECRET and VAULT["password"] == SECRET
    assert os.getcwd() == str(in_tmp_cwd)
    assert (qa_nodes.PandasExecutor.invoke, codetool.execute_code) == (invoke, execute_code)
    assert capsys.readouterr().out == ""
    assert run("print('still alive')") == {"python_executed_output": "still alive\n", "python_execution_success": True}
    wait_until_gone(in_tmp_cwd)


def failure(update):
    assert update["python_execution_success"] is False, update
    return update["python_error_message"]


# ---- secrets ---------------------------------------------------------------


def test_secrets_are_out_of_reach_in_memory_and_environment(app):
    # The script spells the secret backwards, so that its own text does not count.
    update = app("import gc, os\n"
                 f"print(sum({SECRET[::-1]!r}[::-1] in repr(o) for o in gc.get_objects()), "
                 "os.environ.get('ZORVAN_DB_PASSWORD'))")
    assert update["python_executed_output"] == "0 None\n"
    assert failure(app(f"print(open('/proc/{os.getpid()}/environ').read())")).startswith("PermissionError")


def test_the_working_directory_and_home_are_unreadable(app):
    assert failure(app("print(open('.env').read())")) == "PermissionError: [Errno 13] Permission denied: '.env'"
    assert failure(app("import os\nprint(os.listdir('.'))")).startswith("PermissionError")
    assert failure(app("import os\nprint(os.listdir(os.path.expanduser('~root')))")).startswith("PermissionError")


# ---- network ---------------------------------------------------------------


def test_no_connection_to_a_loopback_listener(app):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = listener.getsockname()[1]
        message = failure(app(f"import socket\nsocket.create_connection(('127.0.0.1', {port}), timeout=5).sendall(b'x')"))
        assert message.startswith("PermissionError")
        # The control connection is the first the listener ever accepts.
        with socket.create_connection(("127.0.0.1", port), timeout=5) as control:
            control.sendall(b"control")
            accepted, _ = listener.accept()
            with accepted:
                assert accepted.recv(7) == b"control"


@pytest.mark.parametrize("address", [(PG_HOST, PG_PORT), (MARIA_HOST, MARIA_PORT), "/run/mysqld/mysqld.sock"],
                         ids=["postgresql", "mariadb", "mariadb-unix-socket"])
def test_no_connection_to_the_database_servers(app, address):
    if isinstance(address, str) and not os.path.exists(address):
        pytest.skip(f"no server socket at {address}")
    family = "socket.AF_UNIX" if isinstance(address, str) else "socket.AF_INET"
    code = f"import socket\ns = socket.socket({family})\ns.settimeout(5)\ns.connect({address!r})\nprint('connected')"
    assert failure(app(code)).startswith("PermissionError")


# ---- files -----------------------------------------------------------------


def test_writes_only_under_save_path(app, in_tmp_cwd):
    code = ("import os\nwith open('media/q/chart.png', 'wb') as f: f.write(b'png')\nprint('media/q/chart.png')\n"
            "for target in ('escape.txt', '/tmp/escape-{0}.txt', os.path.expanduser('~/escape.txt')):\n"
            "    try:\n        open(target.format(os.getpid()), 'w')\n    except PermissionError:\n        print('refused')")
    assert app(code)["python_executed_output"] == "media/q/chart.png\nrefused\nrefused\nrefused\n"
    assert (in_tmp_cwd / "media/q/chart.png").read_bytes() == b"png"
    assert sorted(p.name for p in in_tmp_cwd.iterdir()) == [".env", "media"]


def test_chdir_and_patching_the_package_stay_in_the_script(app):
    code = ("import os, zorvanai.codetool as tool\ntool.execute_code = tool.Sandbox.run = None\nos.chdir('/')\n"
            "print(os.getcwd())")
    assert app(code)["python_executed_output"] == "/\n"
    assert codetool.Sandbox.run is not None


# ---- time, processes, memory, output ---------------------------------------


@pytest.mark.parametrize("code", [
    "import time\nwhile True:\n    try:\n        time.sleep(10)\n    except BaseException:\n        pass",
    "import threading\nfor _ in range(2):\n    threading.Thread(target=lambda: [0 for _ in iter(int, 1)]).start()\n"
    "import time\ntime.sleep(60)",
    "import os, time\nif os.fork() == 0:\n    os.setsid()\n    time.sleep(600)\ntime.sleep(60)",
], ids=["catching-base-exception", "spinning-threads", "setsid-daemon"])
def test_the_time_limit_kills_everything_the_script_started(app, in_tmp_cwd, monkeypatch, code):
    monkeypatch.setenv("ZORVAN_SCRIPT_TIMEOUT", "1")
    assert failure(app(code)) == "TimeoutError: the script did not finish within 1 second and was stopped"
    wait_until_gone(in_tmp_cwd)


def test_threads_a_finished_script_leaves_running_are_killed(app, in_tmp_cwd):
    code = "import threading\nthreading.Thread(target=lambda: [0 for _ in iter(int, 1)], daemon=False).start()\nprint('done')"
    assert app(code)["python_executed_output"] == "done\n"
    wait_until_gone(in_tmp_cwd)


@pytest.mark.parametrize("setting, value, code, message", [
    ("ZORVAN_SCRIPT_PROCESSES", "8", "import os\nwhile True:\n    os.fork()",
     "RuntimeError: the script went over its limit of 8 processes and threads (ZORVAN_SCRIPT_PROCESSES)"),
    ("ZORVAN_SCRIPT_MEMORY_MB", "512", "blocks = [bytearray(64 << 20) for _ in range(100)]",
     "MemoryError: the script went over its memory limit of 512 MiB (ZORVAN_SCRIPT_MEMORY_MB)"),
    ("ZORVAN_SCRIPT_FILE_MB", "1", "open('media/q/big.bin', 'wb').write(bytes(2 << 20))",
     "OSError: the script went over its file size limit of 1 MiB (ZORVAN_SCRIPT_FILE_MB)"),
    ("ZORVAN_SCRIPT_CPU_SECONDS", "1", "while True:\n    pass",
     "TimeoutError: the script went over its CPU time limit of 1 seconds (ZORVAN_SCRIPT_CPU_SECONDS)"),
], ids=["fork-bomb", "memory", "file-size", "cpu-time"])
def test_a_broken_limit_names_itself_and_its_setting(app, monkeypatch, setting, value, code, message):
    monkeypatch.setenv(setting, value)
    assert failure(app(code)) == message


def test_huge_output_is_cut_and_marked(app, monkeypatch):
    monkeypatch.setenv("ZORVAN_SCRIPT_OUTPUT_KB", "64")
    output = app("for i in range(200000):\n    print('x' * 99)")["python_executed_output"]
    kept, marker = output[:64 * 1024], output[64 * 1024:]
    assert set(kept) == {"x", "\n"} and marker == (
        "\n[output cut: the script printed more than 64 KiB (ZORVAN_SCRIPT_OUTPUT_KB)]\n")


@pytest.mark.parametrize("code, message", [
    ("import os\nprint('bye')\nos._exit(3)", "SystemExit: the script ended its process (exit status 3) before it "
                                            "finished; only the script's own process ended"),
    ("import sys\nsys.exit(4)", "SystemExit: the script asked to end its process (exit status 4); only the "
                                "script's own process ended"),
])
def test_exiting_ends_only_the_script(app, code, message):
    assert failure(app(code)) == message


# ---- output ----------------------------------------------------------------


def test_concurrent_questions_keep_their_own_output_whatever_scripts_do_to_stdout(app):
    hijack = ("import contextlib, io, sys, time\nwith contextlib.redirect_stdout(io.StringIO()):\n"
              "    for _ in range(50):\n        print('hijacked')\n        time.sleep(0.002)")
    chatter = ("import ctypes, threading\nfor i in range(50):\n    print('{0}', i)\n"
               "t = threading.Thread(target=print, args=('{0} from a thread',))\nt.start()\nt.join()\n"
               "ctypes.CDLL(None).printf(b'{0} from C\\n')")
    start, results = threading.Barrier(16), {}

    def ask(n):
        start.wait()
        results[n] = app(hijack if n % 2 else chatter.format(f"q{n}"))

    threads = [threading.Thread(target=ask, args=(n,)) for n in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    for n in range(16):
        expected = "" if n % 2 else "".join(f"q{n} {i}\n" for i in range(50)) + f"q{n} from a thread\nq{n} from C\n"
        assert results[n] == {"python_executed_output": expected, "python_execution_success": True}
