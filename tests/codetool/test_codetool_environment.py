"""The virtual environment and package installation of zorvanai.codetool."""

import os
import subprocess
import venv as real_venv
from pathlib import Path

import pytest

from support.installer import RecordingInterpreter, require_registry

DEFAULTS = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]


@pytest.fixture
def codetool(monkeypatch):
    import zorvanai.codetool as module

    # The module values are process-wide: each test starts from the load-time state.
    for name in ("env_path", "python_executable", "media_path", "venv"):
        monkeypatch.setattr(module, name, getattr(module, name))
    module.env_path = None
    module.python_executable = None
    monkeypatch.delenv("ZORVAN_INSTALL_TIMEOUT", raising=False)
    return module


@pytest.fixture
def recorder(tmp_path, monkeypatch):
    return RecordingInterpreter(tmp_path, monkeypatch)


class EnvironmentMaker:
    """Stands in for the venv module: makes a real environment without pip
    and puts the recorder in place of its interpreter."""

    def __init__(self, recorder):
        self.recorder = recorder
        self.calls = []

    def create(self, env_dir, **options):
        self.calls.append((env_dir, options))
        real_venv.create(env_dir, with_pip=False)
        self.recorder.install_as(Path(env_dir, "bin", "python"))


def test_new_environment_gets_the_defaults_and_an_existing_one_is_left_alone(codetool, recorder, tmp_path, capfd):
    maker = EnvironmentMaker(recorder)
    codetool.venv = maker
    env = str(tmp_path / "env")

    codetool.initialize_environment(env)
    assert maker.calls == [(env, {"with_pip": True})]
    assert codetool.env_path == env
    assert codetool.python_executable == os.path.join(env, "bin", "python")
    assert recorder.commands() == [["-m", "pip", "install", "--", name] for name in DEFAULTS]
    # The installer writes to the inherited console, before the closing line.
    expected = "".join(f"recorder: pip install {name}\n" for name in DEFAULTS) + "Installation successful.\n"
    assert capfd.readouterr().out == expected

    codetool.python_executable = None
    codetool.initialize_environment(env_path_param=env)
    assert len(maker.calls) == 1 and len(recorder.runs()) == 6
    assert codetool.python_executable == os.path.join(env, "bin", "python")
    assert capfd.readouterr().out == ""

    # A path that exists but holds no environment is taken as one.
    plain = tmp_path / "plain"
    plain.mkdir()
    codetool.initialize_environment(str(plain))
    assert codetool.python_executable == str(plain / "bin" / "python")
    assert len(maker.calls) == 1 and len(recorder.runs()) == 6
    assert list(plain.iterdir()) == [] and capfd.readouterr().out == ""


def test_environment_errors_reach_the_caller(codetool, tmp_path):
    with pytest.raises(TypeError):
        codetool.ensure_virtual_environment()

    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError):
        codetool.initialize_environment(str(blocker / "env"))
    assert codetool.env_path == str(blocker / "env")
    assert codetool.python_executable is None


def test_installations_run_in_order_and_report_success(codetool, recorder, capfd):
    codetool.python_executable = str(recorder.path)
    codetool.safe_install_modules([])
    assert recorder.runs() == []
    assert capfd.readouterr().out == "Installation successful.\n"

    codetool.install_dependencies(("tiny", "small", "medium"))
    assert recorder.commands() == [["-m", "pip", "install", "--", name] for name in ("tiny", "small", "medium")]
    assert capfd.readouterr().out == "".join(f"recorder: pip install {n}\n" for n in ("tiny", "small", "medium"))


@pytest.mark.parametrize("names", [["ok", "--index-url=http://evil.example/simple"], ["-rrequirements.txt"]])
def test_names_that_pip_would_read_as_options_are_refused_before_any_run(codetool, recorder, capfd, names):
    codetool.python_executable = str(recorder.path)
    with pytest.raises(ValueError, match="begins with '-', which the package installer would read as an option"):
        codetool.install_dependencies(names)
    assert recorder.runs() == []
    codetool.safe_install_modules(names)
    assert capfd.readouterr().out.startswith("An error occurred during installation: package name '-")
    assert recorder.runs() == []


def test_failed_installer_runs_are_reported_after_all_were_tried(codetool, recorder, capfd):
    codetool.python_executable = str(recorder.path)
    recorder.fail("broken", 3)
    recorder.fail("killed", -15)
    names = ["first", "broken", "second", "killed"]

    with pytest.raises(codetool.InstallationError) as caught:
        codetool.install_dependencies(names)
    assert isinstance(caught.value, RuntimeError)
    message = "package installer failed for broken (exit status 3), killed (killed by signal 15)"
    assert str(caught.value) == message
    assert caught.value.failures == [("broken", 3), ("killed", -15)]
    assert recorder.packages() == names

    capfd.readouterr()
    codetool.safe_install_modules(names)
    out = capfd.readouterr().out
    assert out.endswith(f"\nAn error occurred during installation: {message}\n")
    assert "Installation successful." not in out
    assert recorder.packages() == names * 2


def test_installer_that_cannot_start(codetool, tmp_path, capfd):
    with pytest.raises(TypeError):
        codetool.install_dependencies(["tiny"])

    missing = tmp_path / "no-python"
    codetool.python_executable = str(missing)
    with pytest.raises(FileNotFoundError):
        codetool.install_dependencies(["tiny"])
    codetool.safe_install_modules(["tiny"])
    out = capfd.readouterr().out
    assert out.startswith("An error occurred during installation: [Errno 2] No such file or directory")
    assert str(missing) in out and out.count("\n") == 1


def test_hanging_installer_is_stopped_at_the_time_limit(codetool, recorder, monkeypatch, capfd):
    codetool.python_executable = str(recorder.path)
    recorder.hang("slow")
    monkeypatch.setenv("ZORVAN_INSTALL_TIMEOUT", "1.5")

    codetool.safe_install_modules(["slow", "quick"])  # the hanging one never ends by itself
    assert recorder.packages() == ["slow", "quick"]
    assert capfd.readouterr().out.endswith(
        "An error occurred during installation: package installer failed for slow (timed out after 1.5 seconds)\n"
    )
    with pytest.raises(ProcessLookupError):
        os.kill(recorder.runs()[0]["pid"], 0)

    monkeypatch.setenv("ZORVAN_INSTALL_TIMEOUT", "soon")
    with pytest.raises(ValueError, match="^ZORVAN_INSTALL_TIMEOUT must be a positive number of seconds, not 'soon'$"):
        codetool.install_dependencies(["quick"])
    assert len(recorder.runs()) == 2


def test_only_ordinary_errors_are_reported_as_installation_errors(codetool, monkeypatch, capfd):
    def refuse(names):
        raise ValueError(f"cannot install {names[0]}")

    monkeypatch.setattr(codetool, "install_dependencies", refuse)
    codetool.safe_install_modules(["tiny"])
    assert capfd.readouterr().out == "An error occurred during installation: cannot install tiny\n"

    def interrupt(names):
        raise KeyboardInterrupt

    monkeypatch.setattr(codetool, "install_dependencies", interrupt)
    with pytest.raises(KeyboardInterrupt):
        codetool.safe_install_modules(["tiny"])
    assert capfd.readouterr().out == ""


def test_executed_code_rebinds_the_interpreter(codetool, recorder):
    codetool.execute_code(f"python_executable = {str(recorder.path)!r}")
    assert codetool.python_executable == str(recorder.path)
    codetool.install_dependencies(["tiny"])
    assert recorder.packages() == ["tiny"]


@pytest.mark.registry
def test_real_environment_installs_a_package_from_the_registry(codetool, monkeypatch, tmp_path, capfd):
    require_registry()
    defaults_requested = []
    # The six defaults are large downloads; the installation itself is shown with one tiny package.
    monkeypatch.setattr(codetool, "install_defaults", lambda: defaults_requested.append(True))
    env = tmp_path / "env"
    codetool.initialize_environment(str(env))
    python = env / "bin" / "python"
    assert defaults_requested == [True] and codetool.python_executable == str(python)
    assert subprocess.run([str(python), "-c", "import six"], capture_output=True).returncode != 0

    codetool.safe_install_modules(["six"])
    assert capfd.readouterr().out.endswith("Installation successful.\n")
    subprocess.run([str(python), "-c", "import six"], check=True, timeout=60)

    codetool.safe_install_modules(["zorvan-no-such-package-7c1d"])
    assert capfd.readouterr().out.endswith(
        "An error occurred during installation: package installer failed for zorvan-no-such-package-7c1d"
        " (exit status 1)\n"
    )
