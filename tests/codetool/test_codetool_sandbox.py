"""The code tool's Sandbox: a notebook-like session in an isolated worker process."""

import pytest

import zorvanai.codetool as codetool
from support.processes import wait_until_gone


def test_definitions_carry_over_and_errors_raise_script_error(in_tmp_cwd):
    with codetool.Sandbox(save_path="out") as box:
        assert box.run("import pandas as pd\ndf = pd.DataFrame({'v': [1, 2]})") == ""
        assert box.run("print(int(df['v'].sum()))\nprint(datetime.date(2024, 1, 2))") == "3\n2024-01-02\n"
        with pytest.raises(codetool.ScriptError, match=r"^NameError: name 'missing' is not defined$"):
            box.run("print(missing)")
        with pytest.raises(codetool.ScriptError, match=r"^SyntaxError: '\(' was never closed"):
            box.run("print(")
        box.run("open('out/table.csv', 'w').write('v\\n1\\n')")
        with pytest.raises(codetool.ScriptError, match="^PermissionError"):
            box.run("open('elsewhere.csv', 'w')")
        assert box.run("print(len(df))") == "2\n"  # failures leave the session as it was
    assert (in_tmp_cwd / "out/table.csv").read_text() == "v\n1\n"
    assert not (in_tmp_cwd / "elsewhere.csv").exists()
    with pytest.raises(RuntimeError, match="closed"):
        box.run("print(1)")
    wait_until_gone(in_tmp_cwd)


def test_a_stopped_run_ends_the_session_and_the_next_starts_afresh(in_tmp_cwd, monkeypatch):
    monkeypatch.setenv("ZORVAN_SCRIPT_TIMEOUT", "0.5")
    box = codetool.Sandbox()
    box.run("kept = 1")
    with pytest.raises(codetool.ScriptError, match="^TimeoutError: the script did not finish within 0.5 seconds"):
        box.run("while True:\n    pass")
    with pytest.raises(codetool.ScriptError, match="^NameError: name 'kept'"):
        box.run("print(kept)")
    box.close()
    wait_until_gone(in_tmp_cwd)


def test_off_runs_in_process_with_a_private_namespace(monkeypatch):
    monkeypatch.setenv("ZORVAN_SANDBOX", "off")
    with codetool.Sandbox() as box:
        assert box.run("import sys\nprint(len(sys.modules) > 0)\nprivate = 1") == "True\n"
        with pytest.raises(codetool.ScriptError, match="^ZeroDivisionError"):
            box.run("1 / 0")
    assert "private" not in vars(codetool) and issubclass(codetool.ScriptError, Exception)
    monkeypatch.setenv("ZORVAN_SANDBOX", "sometimes")
    with pytest.raises(ValueError, match="^ZORVAN_SANDBOX must be on, strict or off, not 'sometimes'$"):
        codetool.Sandbox()
