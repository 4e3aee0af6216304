"""The context store: load-time values, the exact file format, set operations,
atomic replacement of the file and serialised writers.

The store reads its file once when the module is loaded, so most cases run
in a fresh interpreter whose working directory is a temporary directory.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zorvanai

BUILD_TREE = str(Path(zorvanai.__file__).parent.parent)


def run_fresh(cwd: Path, code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs ``code`` in a new interpreter in ``cwd``; the result's stdout is the code's output."""
    env = dict(os.environ, PYTHONPATH=BUILD_TREE)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def ok(result: subprocess.CompletedProcess) -> str:
    assert result.returncode == 0, result.stderr
    return result.stdout


def file_text(directory: Path) -> str:
    return (directory / "context.json").read_text(encoding="ascii")


def test_without_a_file_the_texts_are_empty_and_nothing_is_created(tmp_path):
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        print(repr(c.context_prompt), repr(c.custom_instructions), c.check_instructions())
        print(c.FILE_PATH, c.default_values, c.values == c.default_values)
    """))
    assert out.splitlines() == [
        "'' '' {'context_prompt': '', 'custom_instructions': ''}",
        "context.json {'context_prompt': '', 'custom_instructions': ''} True",
    ]
    assert list(tmp_path.iterdir()) == []


def test_set_operations_write_the_exact_record(tmp_path):
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        c.set_context("X")
        print(open("context.json").read())
        print(c.check_instructions())
        c.instruct_agent("A", "B")
        print(open("context.json").read())
        print(c.context_prompt, c.custom_instructions, c.values)
    """))
    assert out.splitlines() == [
        '{"context_prompt": "X", "custom_instructions": ""}',
        "{'context_prompt': 'X', 'custom_instructions': ''}",
        '{"context_prompt": "A", "custom_instructions": "B"}',
        "A B {'context_prompt': 'A', 'custom_instructions': 'B'}",
    ]
    assert file_text(tmp_path) == '{"context_prompt": "A", "custom_instructions": "B"}'


def test_non_ascii_is_escaped_and_reads_back(tmp_path):
    ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        c.set_instructions("caf\\u00e9")
    """))
    assert file_text(tmp_path) == '{"context_prompt": "", "custom_instructions": "caf\\u00e9"}'
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        print(c.custom_instructions == "caf\\u00e9", c.read_values()["custom_instructions"] == "caf\\u00e9")
    """))
    assert out.split() == ["True", "True"]


def test_file_order_and_extra_keys_are_kept(tmp_path):
    (tmp_path / "context.json").write_text('{"custom_instructions": "I", "team": {"size": 3}, "context_prompt": "C"}')
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        print(c.context_prompt, c.custom_instructions)
        c.set_context("C2")
        c.set_instructions("I2")
    """))
    assert out.split() == ["C", "I"]
    assert file_text(tmp_path) == '{"custom_instructions": "I2", "team": {"size": 3}, "context_prompt": "C2"}'


def test_hand_edit_after_load_is_seen_by_read_values_only_and_overwritten_by_the_next_set(tmp_path):
    (tmp_path / "context.json").write_text('{"context_prompt": "old", "custom_instructions": "keep"}')
    out = ok(run_fresh(tmp_path, """
        import json
        from zorvanai.prompts import context as c
        with open("context.json", "w") as f:
            json.dump({"context_prompt": "edited", "custom_instructions": "edited"}, f)
        print(c.read_values()["context_prompt"], c.check_instructions()["context_prompt"])
        c.set_context("new")
    """))
    assert out.split() == ["edited", "old"]
    assert json.loads(file_text(tmp_path)) == {"context_prompt": "new", "custom_instructions": "keep"}


def test_read_values_returns_a_fresh_record_each_time(tmp_path):
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        first = c.read_values()
        first["context_prompt"] = "changed by a caller"
        print(c.read_values()["context_prompt"] == "", c.default_values["context_prompt"] == "")
        c.set_context("x")
        a, b = c.read_values(), c.read_values()
        print(a == b, a is b)
    """))
    assert out.split() == ["True", "True", "True", "False"]


def test_writes_follow_the_working_directory(tmp_path):
    first, second = tmp_path / "a", tmp_path / "b"
    first.mkdir()
    second.mkdir()
    (first / "context.json").write_text('{"context_prompt": "from a", "custom_instructions": "i"}')
    ok(run_fresh(first, f"""
        import os
        from zorvanai.prompts import context as c
        os.chdir({str(second)!r})
        c.set_instructions("j")
    """))
    assert json.loads(file_text(second)) == {"context_prompt": "from a", "custom_instructions": "j"}
    assert json.loads(file_text(first))["custom_instructions"] == "i"


@pytest.mark.parametrize("content, error", [("{not json", "JSONDecodeError"),
                                            ('{"context_prompt": ""}', "KeyError")])
def test_a_broken_file_makes_loading_fail(tmp_path, content, error):
    (tmp_path / "context.json").write_text(content)
    result = run_fresh(tmp_path, "import zorvanai.prompts.context")
    assert result.returncode != 0
    assert error in result.stderr


def test_a_value_json_cannot_hold_is_refused_before_anything_changes(tmp_path):
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        c.set_context("kept")
        try:
            c.set_context(object())
        except TypeError as e:
            print("TypeError")
        print(c.context_prompt, c.values["context_prompt"])
    """))
    assert out.split() == ["TypeError", "kept", "kept"]
    assert json.loads(file_text(tmp_path))["context_prompt"] == "kept"


def test_a_write_that_fails_half_way_leaves_the_old_file(tmp_path):
    # json encodes the record piece by piece: the object fails after the
    # first key has been encoded, as an interrupted write would.
    out = ok(run_fresh(tmp_path, """
        from zorvanai.prompts import context as c
        c.instruct_agent("ctx", "ins")
        try:
            c.write_values({"context_prompt": "partial", "custom_instructions": object()})
        except TypeError:
            print("refused")
        import os
        print(sorted(os.listdir(".")))
    """))
    assert out.splitlines() == ["refused", "['context.json']"]
    assert file_text(tmp_path) == '{"context_prompt": "ctx", "custom_instructions": "ins"}'


def test_a_full_disk_leaves_the_old_file(tmp_path):
    # A file-size limit makes the write fail like a full disk would.
    out = ok(run_fresh(tmp_path, """
        import os, resource, signal
        from zorvanai.prompts import context as c
        c.instruct_agent("ctx", "ins")
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            c.set_context("x" * 100_000)
        except OSError as e:
            print("OSError")
        print(sorted(os.listdir(".")))
    """))
    assert out.splitlines() == ["OSError", "['context.json']"]
    assert file_text(tmp_path) == '{"context_prompt": "ctx", "custom_instructions": "ins"}'


def test_a_crash_during_a_write_never_leaves_a_truncated_file(tmp_path):
    old = json.dumps({"context_prompt": "old", "custom_instructions": ""})
    (tmp_path / "context.json").write_text(old)
    # The kernel ends the process in the middle of its write (SIGXFSZ at a
    # file-size limit), exactly where a crash would hurt most.
    code = """
        import resource, signal
        from zorvanai.prompts import context as c
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # Python ignores it by default
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        c.set_context("y" * 100_000)
    """
    env = dict(os.environ, PYTHONPATH=BUILD_TREE)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env, capture_output=True,
                          timeout=60)
    assert done.returncode == -signal.SIGXFSZ, done.stderr
    assert file_text(tmp_path) == old


def test_set_operations_from_many_threads_keep_a_whole_record(tmp_path):
    out = ok(run_fresh(tmp_path, """
        import json, threading
        from zorvanai.prompts import context as c
        errors = []
        stop = threading.Event()

        def writer(n):
            for i in range(60):
                c.instruct_agent(f"ctx-{n}-{i}" * 50, f"ins-{n}-{i}")

        def reader():
            while not stop.is_set():
                try:
                    record = c.read_values()
                    assert set(record) == {"context_prompt", "custom_instructions"}
                except Exception as e:
                    errors.append(repr(e))

        r = threading.Thread(target=reader)
        r.start()
        writers = [threading.Thread(target=writer, args=(n,)) for n in range(6)]
        for t in writers: t.start()
        for t in writers: t.join()
        stop.set(); r.join()
        final = json.load(open("context.json"))
        # instruct_agent is one unit: both values come from the same call.
        ctx, ins = final["context_prompt"], final["custom_instructions"]
        print(errors, final == c.values == c.check_instructions(), ctx == ins.replace("ins", "ctx") * 50)
    """, timeout=120))
    assert out.split() == ["[]", "True", "True"]


def test_writes_leave_the_process_umask_alone(tmp_path):
    """The umask is process-wide: setting it, even for a moment, changes the mode of
    files that other threads create meanwhile. A new file still gets the umask's mode."""
    out = ok(run_fresh(tmp_path, """
        import os, stat
        os.umask(0o027)
        def refuse(mask):
            raise AssertionError(f"umask({mask:o}) called")
        os.umask = refuse
        from zorvanai.prompts import context as c
        c.set_context("first")
        print(oct(stat.S_IMODE(os.stat("context.json").st_mode)))
        os.chmod("context.json", 0o600)
        c.set_instructions("second")
        print(oct(stat.S_IMODE(os.stat("context.json").st_mode)))
    """))
    assert out.splitlines() == ["0o640", "0o600"]
