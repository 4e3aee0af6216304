"""Connection settings: taken from the environment at load, replaced whole, checked."""

import pytest

from zorvanai import dbtool

BAD_CONFIG = "All parameters must be provided and 'port' must be an integer."

SNAPSHOT = (
    "import json, os\n"
    "from zorvanai import dbtool\n"
    "{body}\n"
    "print(json.dumps([dbtool.db_port, dbtool.db_user, dbtool.db_password, dbtool.db_host, dbtool.db_name, found]))\n"
)


def snapshot(fresh_python, env, body="found = dbtool.check_db_config_variables()"):
    printed, values = fresh_python(SNAPSHOT.format(body=body), env)
    return printed, values[:5], values[5]


def test_without_environment_only_the_port_has_a_default(fresh_python):
    """No default account or password: they are missing until the caller gives them."""
    printed, config, found = snapshot(fresh_python, {})
    assert config == [3306, None, None, None, None]
    assert printed == "The following configuration variables are invalid: db_name, db_user, db_password, db_host\n"
    assert found == ["db_name", "db_user", "db_password", "db_host"]


def test_environment_values_are_taken_at_load_and_the_port_is_not(fresh_python):
    env = {"db_user": "ann", "db_password": "s3cret", "db_host": "db.example", "db_name": "shop", "db_port": "5432"}
    printed, config, found = snapshot(fresh_python, env)
    assert config == [3306, "ann", "s3cret", "db.example", "shop"]
    assert printed == "All configuration variables are set correctly.\n"
    assert found == []


def test_empty_environment_values_count_as_set_but_are_reported(fresh_python):
    env = {"db_user": "", "db_password": "", "db_host": "h", "db_name": ""}
    printed, config, found = snapshot(fresh_python, env)
    assert config == [3306, "", "", "h", ""]
    assert found == ["db_name", "db_user", "db_password"]
    assert printed == "The following configuration variables are invalid: db_name, db_user, db_password\n"


def test_environment_is_read_once_and_never_written(fresh_python):
    body = (
        "os.environ['db_user'] = 'later'\n"
        "os.environ['db_name'] = 'later'\n"
        "dbtool.set_database_config('n', 'u', 'p', 'h', 1)\n"
        "dbtool.set_database_config('n', 'u', 'p', 'h', 2)\n"
        "found = [os.environ.get(k) for k in ('db_user', 'db_password', 'db_host', 'db_name', 'db_port')]"
    )
    _, config, environ = snapshot(fresh_python, {"db_user": "first"}, body)
    assert config == [2, "u", "p", "h", "n"]
    assert environ == ["later", None, None, "later", None]


def test_set_database_config_replaces_all_five_module_values(capsys):
    dbtool.set_database_config("sales", "bob", "pw", "10.0.0.5", 15432)
    assert (dbtool.db_name, dbtool.db_user, dbtool.db_password, dbtool.db_host, dbtool.db_port) == (
        "sales", "bob", "pw", "10.0.0.5", 15432)
    dbtool.set_database_config(port=1, host="h2", password="", user="u2", name="n2")
    assert (dbtool.db_name, dbtool.db_user, dbtool.db_password, dbtool.db_host, dbtool.db_port) == (
        "n2", "u2", "", "h2", 1)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "args",
    [
        ("n", "u", "p", "h", "5432"),  # port as digits in text
        ("n", "u", "p", "h", 5432.0),
        ("n", "u", "p", "h", None),
        (None, "u", "p", "h", 5432),
        ("n", None, "p", "h", 5432),
        ("n", "u", None, "h", 5432),
        ("n", "u", "p", None, 5432),
    ],
)
def test_refused_configuration_changes_nothing(args, capsys):
    dbtool.set_database_config("keep", "kept", "pw", "host", 4000)
    with pytest.raises(ValueError) as raised:
        dbtool.set_database_config(*args)
    assert type(raised.value) is ValueError
    assert str(raised.value) == BAD_CONFIG
    assert (dbtool.db_name, dbtool.db_user, dbtool.db_password, dbtool.db_host, dbtool.db_port) == (
        "keep", "kept", "pw", "host", 4000)
    assert dbtool.check_db_config_variables() == []
    assert capsys.readouterr().out == "All configuration variables are set correctly.\n"


def test_only_absence_is_refused(capsys):
    dbtool.set_database_config("n", "", "p", "h", True)
    assert dbtool.db_port is True
    dbtool.set_database_config("n", "", "p", "h", 0)
    assert dbtool.check_db_config_variables() == ["db_user"]
    assert capsys.readouterr().out == "The following configuration variables are invalid: db_user\n"
    dbtool.set_database_config("", "", "", "", -7)
    assert dbtool.check_db_config_variables() == ["db_name", "db_user", "db_password", "db_host"]


def test_check_reads_values_assigned_directly_to_the_module(capsys):
    dbtool.set_database_config("n", "u", "p", "h", 1)
    dbtool.db_port = None
    dbtool.db_host = ""
    assert dbtool.check_db_config_variables() == ["db_host", "db_port"]
    assert capsys.readouterr().out == "The following configuration variables are invalid: db_host, db_port\n"

