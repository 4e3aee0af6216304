"""Where the chat models come from: the loader's choice, its errors, and keys that must not travel."""

from __future__ import annotations

import os

import openai
import pytest

from zorvanai import api
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph
from zorvanai.settings import AzureOpenAIChat35, OpenAIChatSettings, load_model_settings, load_settings

SOURCES = ["ZORVAN_API_URL", "ZORVAN_MODEL_PROVIDER", "ZORVAN_MODEL", "ZORVAN_PANDAS_MODEL", "AZURE_OPENAI_ENDPOINT",
           "AZURE_OPENAI_API_KEY", "OPENAI_API_VERSION", "OPENAI_BASE_URL", "OPENAI_API_KEY", "ZORVAN_MODEL_PRICES",
           "ZORVAN_QUIET"]


@pytest.fixture
def env(monkeypatch):
    # load_settings loads .env files into the process environment: put it back whole afterwards.
    saved = dict(os.environ)
    for name in SOURCES + [n for n in os.environ if n.startswith("ZORVAN_DB_")]:
        monkeypatch.delenv(name, raising=False)

    def setenv(**values: str) -> None:
        for name, value in values.items():
            monkeypatch.setenv(name, value)
    yield setenv
    monkeypatch.undo()
    os.environ.clear()
    os.environ.update(saved)


@pytest.mark.parametrize("variables, provider", [
    ({"OPENAI_BASE_URL": "http://localhost:11434/v1", "ZORVAN_MODEL": "llama3.1"}, "openai"),
    ({"OPENAI_API_KEY": "sk-1", "ZORVAN_MODEL": "gpt-4o-mini"}, "openai"),
    ({"AZURE_OPENAI_ENDPOINT": "https://r.openai.azure.com/openai/", "AZURE_OPENAI_API_KEY": "k",
      "ZORVAN_MODEL": "dep", "OPENAI_API_KEY": "sk-1"}, "azure"),
    ({"ZORVAN_API_URL": "https://vendor.example.com", "AZURE_OPENAI_ENDPOINT": "https://r.openai.azure.com"},
     "vendor"),
    ({"ZORVAN_API_URL": "https://vendor.example.com", "ZORVAN_MODEL_PROVIDER": "OpenAI",
      "OPENAI_API_KEY": "sk-1", "ZORVAN_MODEL": "gpt-4o"}, "openai"),
])
def test_the_provider_is_chosen_from_what_is_set(env, variables, provider):
    env(**variables)
    models = load_model_settings()
    assert models.provider == provider
    if provider == "vendor":
        assert (models.light, models.strong, models.pandas) == (None, None, None)
    elif provider == "azure":
        # The client adds "/openai" itself; the deployment serves both roles.
        assert models.light == AzureOpenAIChat35("dep", "https://r.openai.azure.com", "k", "2024-10-21")
        assert models.strong.azure_deployment == "dep" and models.pandas is None
    else:
        assert isinstance(models.light, OpenAIChatSettings) and models.light == models.strong
        assert models.light.model == variables["ZORVAN_MODEL"]


def test_keywords_win_over_the_environment(env):
    env(OPENAI_API_KEY="sk-env", ZORVAN_MODEL="gpt-4o", ZORVAN_PANDAS_MODEL="gpt-4o-mini")
    models = load_model_settings(model="qwen2.5", base_url="http://127.0.0.1:8000/v1", openai_api_key=None,
                                 model_prices={"qwen2.5": {"input": 0, "output": 0.5}})
    assert (models.light.model, models.light.base_url, models.light.api_key) == (
        "qwen2.5", "http://127.0.0.1:8000/v1", "sk-env")
    assert models.pandas.model == "gpt-4o-mini"
    assert models.prices == {"qwen2.5": {"input": 0.0, "output": 0.5}}
    with pytest.raises(TypeError, match="unknown setting 'modle'"):
        load_model_settings(modle="x")


@pytest.mark.parametrize("variables, keywords, lines", [
    ({}, {}, ["no chat model is configured; point zorvanai at one in the environment or in a .env file:"]),
    ({"ZORVAN_MODEL_PROVIDER": "ollama"}, {}, ["ZORVAN_MODEL_PROVIDER is 'ollama': set it to vendor, azure or openai"]),
    ({"AZURE_OPENAI_ENDPOINT": "r.openai.azure.com", "OPENAI_API_KEY": "sk"}, {}, [
        "AZURE_OPENAI_ENDPOINT is 'r.openai.azure.com': set it to an https:// address",
        "AZURE_OPENAI_API_KEY is not set: set it to a key of your Azure OpenAI resource (OPENAI_API_KEY is not used",
        "ZORVAN_MODEL is not set: set it to the name of your Azure OpenAI deployment"]),
    ({"ZORVAN_MODEL_PROVIDER": "openai"}, {"model": "  "}, [
        "OPENAI_API_KEY is not set: set it to your OpenAI key, or set OPENAI_BASE_URL",
        "model= is not set: set it to the model's name"]),
    ({"OPENAI_BASE_URL": "http://192.0.2.7:8000/v1", "OPENAI_API_KEY": "sk", "ZORVAN_MODEL": "m",
      "ZORVAN_MODEL_PRICES": '{"m": {"input": -1}}'}, {}, [
        "ZORVAN_MODEL_PRICES: the price of 'm' must be",
        "OPENAI_BASE_URL is http://192.0.2.7:8000/v1: plain http:// to another machine would send the key in clear"]),
])
def test_every_problem_is_one_line_naming_its_setting(env, variables, keywords, lines):
    env(**variables)
    with pytest.raises(api.ConfigurationError) as caught:
        load_model_settings(**keywords)
    got = [line for line in str(caught.value).splitlines() if not line.startswith("  ")]
    assert len(got) == len(lines) and all(g.startswith(want) for g, want in zip(got, lines)), got


def test_front_end_settings_come_from_a_dotenv_file(env, in_tmp_cwd):
    (in_tmp_cwd / ".env").write_text("ZORVAN_DB_ENGINE=postgres\nZORVAN_DB_NAME=shop\nZORVAN_DB_USER=u\n"
                                     "ZORVAN_DB_HOST=[::1]\nOPENAI_BASE_URL=http://localhost:11434/v1\n"
                                     "ZORVAN_MODEL=llama3.1\nZORVAN_QUIET=yes\n")
    settings = load_settings()
    assert (settings.engine, settings.db_host, settings.db_port, settings.db_password) == ("PostgreSQL", "::1", 5432, "")
    assert (settings.models.provider, settings.quiet, settings.api_key, settings.media_dir) == (
        "openai", True, None, "media")
    env(ZORVAN_DB_ENGINE="SQLite", ZORVAN_DB_NAME="shop.db", ZORVAN_QUIET="maybe")
    with pytest.raises(api.ConfigurationError, match="^ZORVAN_QUIET must be 1 or 0"):
        load_settings()


def test_an_azure_record_without_a_key_never_sends_the_openai_key(env, model_server):
    env(OPENAI_API_KEY="sk-meant-for-openai")
    db = CustomSQLDatabase.from_uri("sqlite://")
    keyless = model_server.config_35(api_key=None)
    with pytest.raises(openai.OpenAIError, match="OPENAI_API_KEY is never sent to Azure"):
        SQLGraph(custom_sql_db=db, config_35=keyless, config_4=model_server.config_4())
    assert model_server.requests == []
