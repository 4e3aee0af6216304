"""Create an assistant for one database and ask it questions.

    from zorvanai.agent import create_agent, run_agent
    agent = create_agent("PostgreSQL", "shop", "analyst", "secret", "localhost", 5432)
    answer = run_agent(agent, "my-account-key", "Which five products sold best?", "media")

The chat models come from the vendor service, Azure OpenAI or any OpenAI-compatible
endpoint. Loading the module loads a .env file into the environment (python-dotenv). It
also offers every public name of zorvanai.codetool.
"""

import ast as ast
import os as os
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import venv as venv
from io import StringIO as StringIO
from collections.abc import Mapping
from typing import Any, Literal, NotRequired, TypedDict, overload

from langchain_classic.agents.agent import RunnableAgent
from langchain_core.agents import AgentAction, AgentFinish
from langchain_core.callbacks import Callbacks
from langchain_openai import ChatOpenAI

from zorvanai.api import ZorvanAPIHandler as ZorvanAPIHandler
from zorvanai.api import send_user_question as send_user_question
from zorvanai.codetool import Sandbox as Sandbox
from zorvanai.codetool import ScriptError as ScriptError
from zorvanai.codetool import InstallationError as InstallationError
from zorvanai.codetool import ensure_virtual_environment as ensure_virtual_environment
from zorvanai.codetool import execute_code as execute_code
from zorvanai.codetool import initialize_environment as initialize_environment
from zorvanai.codetool import install_defaults as install_defaults
from zorvanai.codetool import install_dependencies as install_dependencies
from zorvanai.codetool import safe_install_modules as safe_install_modules
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase as CustomSQLDatabase
from zorvanai.qa_graph.qa_graph import SQLGraph as SQLGraph
from zorvanai.settings import AzureOpenAIChat4 as AzureOpenAIChat4
from zorvanai.settings import AzureOpenAIChat35 as AzureOpenAIChat35

# Copies of the code-execution tool's values, taken when the module was loaded.
env_path: str | None
media_path: str | None
python_executable: str | None

class AnswerRecord(TypedDict):
    """What run_agent returns for a question (a dict): every key after a run, only "output" after an error."""

    output: str
    python_code: NotRequired[str]
    image_path: NotRequired[str | None]
    generated_query: NotRequired[list[str]]
    sql_execution_result: NotRequired[list[str]]

def create_agent(
    engine: str,
    db_name: str | os.PathLike[str],
    db_user: str | None = None,
    db_password: str | None = None,
    db_host: str | None = None,
    db_port: int | str | None = None,
    *,
    model_provider: Literal["vendor", "azure", "openai"] | None = None,
    model: str | None = None,
    pandas_model: str | None = None,
    azure_endpoint: str | None = None,
    azure_api_key: str | None = None,
    api_version: str | None = None,
    base_url: str | None = None,
    openai_api_key: str | None = None,
    model_prices: Mapping[str, Mapping[str, float]] | None = None,
    quiet: bool | None = None,
) -> SQLGraph | None: ...
@overload
def run_agent(agent: None, zorvan_api_key: str, query: str, media_path: str | os.PathLike[str]) -> str: ...
@overload
def run_agent(
    agent: SQLGraph, zorvan_api_key: str | None, query: str, media_path: str | os.PathLike[str]
) -> AnswerRecord: ...
def answer_question(
    agent: SQLGraph | None, zorvan_api_key: str | None, query: str, media_path: str | os.PathLike[str]
) -> dict[str, Any]: ...
def create_chat_openai_instance(zorvan_api_key: str) -> ChatOpenAI: ...

class CustomRunnableAgent(RunnableAgent):
    """A runnable agent whose planning step is one plain ``invoke`` of its runnable."""

    def plan(
        self, intermediate_steps: list[tuple[AgentAction, str]], callbacks: Callbacks = None, **kwargs: Any
    ) -> AgentAction | AgentFinish: ...
