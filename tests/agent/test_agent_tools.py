"""The agent module's load sequence, the OpenAI chat client made from the
vendor's settings, and the planning step of CustomRunnableAgent."""

from __future__ import annotations

import inspect
import json
import os
import subprocess
import sys
from pathlib import Path

import pydantic
import pytest
from langchain_classic.agents import AgentExecutor
from langchain_classic.agents.agent import RunnableAgent
from langchain_core.agents import AgentAction, AgentFinish
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.runnables import Runnable
from langchain_openai import ChatOpenAI

import zorvanai.agent as agent_module
from support.vendor_server import SETTINGS_PATH
from zorvanai import api, codetool, settings
from zorvanai.agent import CustomRunnableAgent, create_chat_openai_instance
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph


def test_module_offers_its_functions_and_every_public_name_of_the_code_tool():
    public = getattr(codetool, "__all__", None) or [n for n in vars(codetool) if not n.startswith("_")]
    assert {"execute_code", "install_dependencies", "safe_install_modules", "initialize_environment"} <= set(public)
    missing = [name for name in public if getattr(agent_module, name, None) is not getattr(codetool, name)]
    assert missing == []

    assert agent_module.ZorvanAPIHandler is api.ZorvanAPIHandler
    assert agent_module.send_user_question is api.send_user_question
    assert agent_module.AzureOpenAIChat35 is settings.AzureOpenAIChat35
    assert agent_module.AzureOpenAIChat4 is settings.AzureOpenAIChat4
    assert agent_module.CustomSQLDatabase is CustomSQLDatabase and agent_module.SQLGraph is SQLGraph
    assert str(inspect.signature(agent_module.create_agent)) == (
        "(engine, db_name, db_user=None, db_password=None, db_host=None, db_port=None, *, model_provider=None, "
        "model=None, pandas_model=None, azure_endpoint=None, azure_api_key=None, api_version=None, base_url=None, "
        "openai_api_key=None, model_prices=None, quiet=None)")
    assert str(inspect.signature(agent_module.run_agent)) == "(agent, zorvan_api_key, query, media_path)"
    assert str(inspect.signature(create_chat_openai_instance)) == "(zorvan_api_key)"


def _load_in_fresh_interpreter(cwd: Path, code: str, **env: str) -> dict:
    environment = {k: v for k, v in os.environ.items()
                   if not k.startswith("ZORVAN_") and k not in ("PRESET", "PYTHON_DOTENV_DISABLED")}
    environment["PYTHONPATH"] = str(Path(agent_module.__file__).parents[1])
    environment.update(env)
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", code] if code else [sys.executable, "-W", "ignore"],
                          cwd=cwd, env=environment, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


READ_BACK = (
    "import json, os\n"
    "before = os.environ.get('ZORVAN_API_URL')\n"
    "import zorvanai.agent\n"
    "print(json.dumps([before, os.environ.get('ZORVAN_API_URL'), os.environ.get('ZORVAN_API_TIMEOUT'),"
    " os.environ.get('PRESET')]))\n"
)


def test_env_file_of_the_working_directory_is_loaded_at_import(tmp_path):
    (tmp_path / ".env").write_text(
        "ZORVAN_API_URL=http://vendor.from-dotenv.test\nZORVAN_API_TIMEOUT=7\nPRESET=from-file\n")
    # Variables already set are kept.
    assert _load_in_fresh_interpreter(tmp_path, READ_BACK, PRESET="from-env") == [
        None, "http://vendor.from-dotenv.test", "7", "from-env"]

    # A program file elsewhere, run from a subdirectory, finds the file of the nearest parent.
    elsewhere = tmp_path.parent / f"{tmp_path.name}-programs"
    elsewhere.mkdir()
    program = elsewhere / "program.py"
    program.write_text(READ_BACK)
    (tmp_path / "sub").mkdir()
    code = f"import runpy; runpy.run_path({str(program)!r}, run_name='__main__')"
    assert _load_in_fresh_interpreter(tmp_path / "sub", code) == [None, "http://vendor.from-dotenv.test", "7",
                                                                   "from-file"]


def test_chat_client_from_the_vendor_settings(vendor_env, monkeypatch, capsys):
    # Any request of the client would reach the stand-in and be recorded there.
    monkeypatch.setenv("OPENAI_API_BASE", vendor_env.url)
    monkeypatch.setenv("ZORVAN_MODEL_TIMEOUT", "12")
    vendor_env.openai_settings = {"model_name": "gpt-4o-mini", "temperature": 0.2, "api_key": "sk-test"}

    llm = create_chat_openai_instance("acct-1")

    assert type(llm) is ChatOpenAI
    assert (llm.model_name, llm.temperature, llm.openai_api_key.get_secret_value()) == ("gpt-4o-mini", 0.2,
                                                                                      "sk-test")
    assert llm.request_timeout == 12
    assert llm.openai_api_base == vendor_env.url
    assert capsys.readouterr().out == "LLM is Ready!\n"
    (request,) = vendor_env.requests
    assert (request.method, request.path, request.account_key) == ("GET", SETTINGS_PATH, "acct-1")

    vendor_env.openai_settings = {"model_name": "gpt-4o", "api_key": "sk-test"}
    assert create_chat_openai_instance(zorvan_api_key="acct-1").temperature == 1
    assert [r.path for r in vendor_env.requests] == [SETTINGS_PATH] * 2


def test_chat_client_errors_reach_the_caller(vendor_env, monkeypatch, capsys):
    # Without "model_name" None is passed as the model, which the client refuses.
    vendor_env.openai_settings = {"temperature": 0.5, "api_key": "sk-test"}
    with pytest.raises(pydantic.ValidationError, match=r"(?s)validation error for ChatOpenAI\nmodel\n"):
        create_chat_openai_instance("acct-1")

    vendor_env.accepted_keys = {"someone-else"}
    with pytest.raises(api.VendorServiceError, match="HTTP status 401") as caught:
        create_chat_openai_instance("acct-1")
    assert vendor_env.url + SETTINGS_PATH in str(caught.value)

    monkeypatch.delenv("ZORVAN_API_URL")
    with pytest.raises(api.ConfigurationError, match="^ZORVAN_API_URL is not set"):
        create_chat_openai_instance("acct-1")
    assert capsys.readouterr().out == ""


class Recorder(Runnable):
    """A runnable that records how it was called and answers with a fixed decision."""

    def __init__(self, decision):
        self.decision = decision
        self.calls = []

    def invoke(self, input, config=None, **kwargs):  # noqa: A002 - the Runnable signature
        self.calls.append(("invoke", input, config, kwargs))
        return self.decision

    def stream(self, input, config=None, **kwargs):  # noqa: A002
        self.calls.append(("stream", input, config, kwargs))
        yield self.decision


def test_plan_invokes_the_runnable_once_with_the_inputs_and_the_callbacks():
    steps = [(AgentAction("search", "regions", "looked up regions"), "east, west")]
    decision = AgentFinish({"output": "two regions"}, "done")
    recorder = Recorder(decision)
    agent = CustomRunnableAgent(runnable=recorder)
    assert agent.stream_runnable is True  # the inherited default does not make it stream

    assert agent.plan(steps, input="How many regions?", chat_history=[]) is decision
    ((how, inputs, config, extra),) = recorder.calls
    assert (how, config, extra) == ("invoke", {"callbacks": None}, {})
    assert list(inputs) == ["input", "chat_history", "intermediate_steps"]
    assert inputs == {"input": "How many regions?", "chat_history": [], "intermediate_steps": steps}
    assert inputs["intermediate_steps"] is steps

    handlers = [BaseCallbackHandler()]
    action = AgentAction("search", "east", "next")
    recorder.decision = [action]
    assert agent.plan([], handlers, input="q") == [action]
    assert recorder.calls[1][2] == {"callbacks": handlers} and recorder.calls[1][2]["callbacks"] is handlers
    assert str(inspect.signature(CustomRunnableAgent.plan)) == "(self, intermediate_steps, callbacks=None, **kwargs)"


def test_custom_runnable_agent_is_a_runnable_agent_model_usable_by_an_executor():
    assert issubclass(CustomRunnableAgent, RunnableAgent)
    assert CustomRunnableAgent.model_fields.keys() == RunnableAgent.model_fields.keys()
    with pytest.raises(pydantic.ValidationError, match="runnable"):
        CustomRunnableAgent(runnable="not a runnable")

    recorder = Recorder(AgentFinish({"output": "two regions"}, "done"))
    executor = AgentExecutor(agent=CustomRunnableAgent(runnable=recorder), tools=[])
    assert executor.invoke({"input": "How many regions?"}) == {"input": "How many regions?", "output": "two regions"}
    ((how, inputs, config, _),) = recorder.calls
    assert how == "invoke" and inputs == {"input": "How many regions?", "intermediate_steps": []}
    assert list(config) == ["callbacks"] and config["callbacks"] is not None
