"""create_agent on both servers: the connection address, the deployment list
of the vendor stand-in, the printed lines and the failures."""

from __future__ import annotations


import openai
import pytest
from sqlalchemy.engine import make_url

from support.db import CLOSED_PORT, PASSWORD, PASSWORD_USER
from support.model_server import API_VERSION, DEPLOYMENT_4, DEPLOYMENT_35, TEST_API_KEY
from support.vendor_server import DEPLOYMENTS_PATH, deployment_record
from zorvanai import api
from zorvanai.agent import create_agent
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph


@pytest.fixture(scope="module")
def db(scratch_db):
    scratch_db.load_table("items", {"id": "INTEGER PRIMARY KEY", "name": "VARCHAR(20)"}, [(1, "pen")])
    return scratch_db


def values(db, user=None, password=None, port=None):
    """The six arguments of create_agent for the scratch database."""
    return (db.zorvan_engine, db.name, db.user if user is None else user,
            db.password if password is None else password, db.host, db.port if port is None else port)


def address_of(graph):
    return graph.db._engine.url.render_as_string(hide_password=False)


def clients(graph):
    """(deployment, endpoint, key, version) of the stronger client and of the lighter ones."""
    def of(client):
        key = client.openai_api_key
        return (client.deployment_name, client.azure_endpoint, key and key.get_secret_value(),
                client.openai_api_version)
    light = {of(c) for c in (graph.relevant_tables_model, graph.pandas_code_model, graph.pandas_ai_model,
                             graph.response_model)}
    assert len(light) == 1
    return of(graph.sql_generation_model), light.pop()


def test_plain_values_give_the_address_as_is_with_the_port_as_number_or_text(db, vendor_env, model_server,
                                                                           capsys):
    vendor_env.serve_deployments_for(model_server)
    # The admin logins are trusted, so any password is accepted; it shows in the address unchanged.
    password = "secret" if db.is_postgres else ""
    scheme = "postgresql+psycopg2" if db.is_postgres else "mysql+mysqlconnector"
    expected = f"{scheme}://{db.user}:{password}@{db.host}:{db.port}/{db.name}"

    as_number = create_agent(*values(db, password=password))
    as_text = create_agent(*values(db, password=password, port=str(db.port)))

    assert isinstance(as_number, SQLGraph) and isinstance(as_text, SQLGraph)
    assert address_of(as_number) == address_of(as_text) == expected
    assert as_number.db.run("SELECT name FROM items") == "[('pen',)]"
    assert capsys.readouterr().out == "Agent is Ready!\n" * 2


def test_password_with_url_special_characters_connects(db, vendor_env, model_server):
    vendor_env.serve_deployments_for(model_server)
    graph = create_agent(*values(db, user=PASSWORD_USER, password=PASSWORD))

    url = graph.db._engine.url
    assert (url.username, url.password, url.host, url.port, url.database) == (
        PASSWORD_USER, PASSWORD, db.host, db.port, db.name)
    assert graph.db.run("SELECT 1") == "[(1,)]"

    # The server checks this password: a near miss is refused before the vendor is asked.
    vendor_env.reset()
    with pytest.raises(Exception, match="(?i)password|access denied"):
        create_agent(*values(db, user=PASSWORD_USER, password=PASSWORD.replace("?", "!")))
    assert vendor_env.requests == []


@pytest.mark.parametrize("engine, scheme", [
    ("mysql", "None"), ("Postgres", "None"), ("POSTGRESQL", "None"), (None, "None"),
    # SQL Server's address names its ODBC driver.
    ("MsSQL", "mssql+pyodbc"),
])
def test_engine_is_looked_up_exactly_and_the_address_fails_at_from_uri(vendor_env, engine, scheme):
    url = f"{scheme}://user:pw@127.0.0.1:1433/shop"
    if engine == "MsSQL":
        url += "?driver=ODBC+Driver+18+for+SQL+Server"
    try:
        CustomSQLDatabase.from_uri(url)
    except Exception as error:  # noqa: BLE001 - the library's own error is what is expected
        expected = error
    else:
        pytest.fail(f"{url} was accepted")

    with pytest.raises(type(expected)) as caught:
        create_agent(engine, "shop", "user", "pw", "127.0.0.1", 1433)
    assert str(caught.value) == str(expected)
    assert vendor_env.requests == []


def record(model, deployment, endpoint, key=TEST_API_KEY):
    return deployment_record(model, deployment, endpoint, key)


def test_last_matching_record_of_each_kind_wins(db, vendor_env, model_server, capsys):
    url = model_server.url
    vendor_env.deployments = [
        record("GPT-3.5", "old-light", "http://127.0.0.1:9/old", "old-key"),
        record("GPT-4", "old-strong", "http://127.0.0.1:9/old", "old-key"),
        record("GPT-3.5", DEPLOYMENT_35, url, "light-key"),
        record("text-embedding-3", "embed", "http://127.0.0.1:9/embed"),
        record("GPT-4o-2024", DEPLOYMENT_4, url, "strong-key"),
        record("gpt-4", "lower-case-is-not-gpt-4", "http://127.0.0.1:9/lower"),
    ]
    graph = create_agent(*values(db))

    assert clients(graph) == ((DEPLOYMENT_4, url, "strong-key", API_VERSION),
                              (DEPLOYMENT_35, url, "light-key", API_VERSION))
    assert capsys.readouterr().out == "Agent is Ready!\n"
    (request,) = vendor_env.requests
    assert (request.method, request.path, request.body) == ("GET", DEPLOYMENTS_PATH, None)
    assert "authorization" not in request.headers


def test_missing_fields_of_a_record_are_none(db, vendor_env, model_server, monkeypatch):
    monkeypatch.setenv("AZURE_OPENAI_API_KEY", "from-the-environment")
    monkeypatch.setenv("OPENAI_API_VERSION", "2024-06-01")
    vendor_env.deployments = [
        {"model": "GPT-3.5", "azure_endpoint": model_server.url},
        record("GPT-4", DEPLOYMENT_4, model_server.url),
    ]
    graph = create_agent(*values(db))
    assert clients(graph)[1] == (None, model_server.url, "from-the-environment", None)
    # None settings leave the client to its own environment defaults.
    assert graph.response_model.root_client.api_key == "from-the-environment"


@pytest.mark.parametrize("deployments", [
    pytest.param([], id="empty_list"),
    pytest.param([record("GPT-3.5", DEPLOYMENT_35, "E")], id="only_gpt35"),
    pytest.param([record("GPT-4", DEPLOYMENT_4, "E")], id="only_gpt4"),
    pytest.param([record("GPT-3.5", DEPLOYMENT_35, "E"), record("GPT-4", DEPLOYMENT_4, "")], id="empty_endpoint"),
    pytest.param([record("GPT-3.5", DEPLOYMENT_35, "E"), {"model": "GPT-4-turbo", "deployment_name": "d"}],
                 id="no_endpoint"),
    pytest.param([record("GPT-3.5", DEPLOYMENT_35, "E"), record("GPT-4", DEPLOYMENT_4, "E"),
                  record("GPT-3.5", DEPLOYMENT_35, "")], id="later_record_without_endpoint"),
])
def test_missing_deployment_prints_internal_server_error_and_gives_none(db, vendor_env, capsys, deployments):
    vendor_env.deployments = deployments
    assert create_agent(*values(db)) is None
    assert capsys.readouterr().out == "Internal Server Error!\n"


def test_record_without_model_is_a_key_error_and_a_non_text_model_fails_the_prefix_test(db, vendor_env, capsys):
    vendor_env.deployments = [record("GPT-3.5", DEPLOYMENT_35, "E"), {"deployment_name": "d"}]
    with pytest.raises(KeyError, match="^'model'$"):
        create_agent(*values(db))
    vendor_env.deployments = [{"model": 4, "azure_endpoint": "E"}]
    with pytest.raises(AttributeError, match="startswith"):
        create_agent(*values(db))
    assert capsys.readouterr().out == ""


def test_agent_is_ready_is_printed_before_the_graph_is_built(db, vendor_env, model_server, monkeypatch, capsys):
    # Without a key for the stronger deployment the graph's client refuses to be made.
    monkeypatch.delenv("AZURE_OPENAI_API_KEY", raising=False)
    monkeypatch.delenv("AZURE_OPENAI_AD_TOKEN", raising=False)
    vendor_env.deployments = [record("GPT-3.5", DEPLOYMENT_35, model_server.url),
                              {"model": "GPT-4", "deployment_name": DEPLOYMENT_4, "azure_endpoint": model_server.url,
                               "api_version": API_VERSION}]
    with pytest.raises(openai.OpenAIError, match="^Missing credentials"):
        create_agent(*values(db))
    assert capsys.readouterr().out == "Agent is Ready!\n"


@pytest.mark.parametrize("case", ["slow", "unreachable", "not_json", "not_a_list"])
def test_deployment_list_failures_name_the_address(db, vendor_env, monkeypatch, capsys, case):
    url = vendor_env.url + DEPLOYMENTS_PATH
    if case == "slow":
        monkeypatch.setenv("ZORVAN_API_TIMEOUT", "0.5")
        vendor_env.respond(DEPLOYMENTS_PATH, delay=600)  # only the client's own limit ends the wait
        expected = r"^Could not fetch the deployment list from .* \(ReadTimeout: "
    elif case == "unreachable":
        url = f"http://127.0.0.1:{CLOSED_PORT}{DEPLOYMENTS_PATH}"
        monkeypatch.setenv("ZORVAN_API_URL", f"http://127.0.0.1:{CLOSED_PORT}/")
        expected = r"^Could not fetch the deployment list from .* \(ConnectionError: "
    elif case == "not_json":
        vendor_env.respond(DEPLOYMENTS_PATH, status=502, body="<html>Bad gateway</html>")
        expected = r"^The deployment list from .* is not JSON \(HTTP status 502, an HTML page \(text/plain"
    else:
        vendor_env.respond(DEPLOYMENTS_PATH, status=500)
        expected = r"^The deployment list from .* \(HTTP status 500\) is a JSON dict, not a list of deployment"

    with pytest.raises(api.VendorServiceError, match=expected) as caught:
        create_agent(*values(db))
    assert url in str(caught.value)
    assert capsys.readouterr().out == ""


def test_no_model_source_says_what_to_set(db, vendor_server, monkeypatch):
    for name in ("ZORVAN_API_URL", "ZORVAN_MODEL_PROVIDER", "AZURE_OPENAI_ENDPOINT", "OPENAI_BASE_URL",
                 "OPENAI_API_KEY"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(api.ConfigurationError, match="^no chat model is configured; point zorvanai at one") as caught:
        create_agent(*values(db))
    assert all(name in str(caught.value) for name in ("OPENAI_BASE_URL", "AZURE_OPENAI_ENDPOINT", "ZORVAN_API_URL"))
    monkeypatch.setenv("ZORVAN_MODEL_PROVIDER", "vendor")
    with pytest.raises(api.ConfigurationError, match="^ZORVAN_API_URL is not set: set it to the base address "
                                                     "of the vendor service"):
        create_agent(*values(db))
    assert vendor_server.requests == []
