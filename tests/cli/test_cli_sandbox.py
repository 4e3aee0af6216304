"""``zorvanai sandbox``: the isolation layers of this machine, from a real run."""

import json

LAYERS = ["pid namespace", "network namespace", "resource limits", "no_new_privs", "landlock files",
          "landlock network", "landlock scopes", "seccomp", "process limit"]


def test_every_layer_holds_on_this_machine(run_cli):
    done = run_cli("sandbox")
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("ZORVAN_SANDBOX=on: ") and lines[-1] == "Every layer holds on this machine."
    assert [line[9:].split("  ")[0].rstrip() for line in lines[1:-1]] == LAYERS
    assert all(line.startswith("held     ") for line in lines[1:-1])

    as_json = run_cli("sandbox", "--json", env={"ZORVAN_SANDBOX": "strict"})
    assert as_json.returncode == 0, as_json.stderr
    assert [(r["layer"], r["held"]) for r in json.loads(as_json.stdout)] == [(name, True) for name in LAYERS]


def test_a_bad_mode_is_a_usage_error(run_cli):
    done = run_cli("sandbox", env={"ZORVAN_SANDBOX": "maybe"})
    assert done.returncode == 2 and done.error_lines == [
        "zorvanai: ZORVAN_SANDBOX must be on, strict or off, not 'maybe'"]
