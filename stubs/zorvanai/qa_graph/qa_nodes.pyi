"""The steps of the question-answering graph: the entry node, routing conditions and error
handlers, and the node classes from table discovery to the final answer."""

from collections.abc import Mapping
from typing import Any, List, Literal, Optional

from langchain_community.tools.sql_database.tool import (
    InfoSQLDatabaseTool,
    ListSQLDatabaseTool,
    QuerySQLCheckerTool,
)
from langchain_core.messages import BaseMessage
from langchain_core.prompts import ChatPromptTemplate, PromptTemplate
from langchain_core.runnables import Runnable
from langchain_openai import AzureChatOpenAI, ChatOpenAI
from loguru import Logger
from pydantic import BaseModel

from zorvanai.prompts.context import check_instructions as check_instructions
from zorvanai.prompts.context import read_values as read_values
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase

_State = Mapping[str, Any]
_Update = dict[str, Any]

SQL_PREFIX: str
GET_RELEVANT_TABLE_NAMES_TEMPLATE: str
TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE: str
REWRITE_QUESTION_TEMPLATE: str
GENERATE_SQL_TEMPLATE: str
CORRECT_SQL_TEMPLATE: str
PANDAS_SYSTEM_TEMPLATE: str
PANDAS_HUMAN_TEMPLATE: str
SCRIPT_TIMEOUT_SECONDS: float | None
MAX_ITERATIONS_PANDAS: int
logger: Logger
context_prompt: str
custom_instructions: str
final_node_prompt: str
current_values: dict[str, str]

# Structured-output records: the field descriptions are what the chat model is told.
# They carry no class docstring at run time, since that would become part of the
# schema the model sees.

class RelevantTablesOutput(BaseModel):
    """The tables the model picked: ``relevant_tables`` ("List of relevant table names")."""

    relevant_tables: List[str]

class RewriteQueryOutput(BaseModel):
    """The question rewritten to fit the database: ``rewritten_question``."""

    rewritten_question: str

class PandasCodeOutput(BaseModel):
    """Whether a question needs an analysis script (not used by the graph)."""

    pandas_ai: bool
    final_answer: bool
    follow_up_question: bool

class PythonCodeInput(BaseModel):
    """The analysis script the model wrote: ``code``."""

    code: str

class SQLQueryInput(BaseModel):
    """The query the model wrote: ``sql_query``."""

    sql_query: str

class GenerationOutput(BaseModel):
    """The final answer: ``final_response`` and the chart's ``image_path`` ("" for none)."""

    image_path: Optional[str] = ""
    final_response: str

def initialisation(inputs: dict[str, Any]) -> dict[str, Any]: ...
def sql_syntax_condition(state: _State) -> str: ...
def sql_execution_condition(state: _State) -> str: ...
def pandas_execution_condition(state: _State) -> str: ...
def pandas_code_condition(state: _State) -> str: ...
def pandas_error_handler_condition(state: _State) -> str: ...
def sql_error_handler_condition(state: _State) -> str: ...
def handle_sql_error(state: _State) -> _Update: ...
def handle_pandas_error(state: _State) -> _Update: ...

class StructuredOutput(Runnable[Any, BaseModel]):
    """A chat model that answers with a pydantic record, from any OpenAI-compatible server."""

    model: AzureChatOpenAI | ChatOpenAI
    schema: type[BaseModel]
    method: Literal["json_schema", "json_mode", "text"]
    def __init__(self, model: AzureChatOpenAI | ChatOpenAI, schema: type[BaseModel]) -> None: ...
    def invoke(self, input: Any, config: Any = None, **kwargs: Any) -> BaseModel: ...

class TableNamesLookup(Runnable[_State, _Update]):
    """Node that lists the database's usable tables."""

    tool: ListSQLDatabaseTool
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class RelevantTableNames(Runnable[_State, _Update]):
    """Node that asks the chat model which tables matter for the question."""

    dialect: str
    model: Runnable[Any, Any]
    template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: _State) -> list[BaseMessage]: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class RelevantSchemas(Runnable[_State, _Update]):
    """Node that fetches the definitions of the relevant tables and opens a first-attempt generation."""

    tool: InfoSQLDatabaseTool
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class SQLGeneration(Runnable[_State, _Update]):
    """Node that has the chat model write the query: a first attempt, or a correction after failures."""

    model: Runnable[Any, Any]
    dialect: str
    generate_template: ChatPromptTemplate
    correct_template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_messages(self, state: _State) -> list[BaseMessage]: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class SQLSyntaxChecker(Runnable[_State, _Update]):
    """Node that has the chat model double-check the newest query and puts its reply in the query's place."""

    tool: QuerySQLCheckerTool
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class SQLExecution(Runnable[_State, _Update]):
    """Node that runs the newest query and records its rows or its database error."""

    db: CustomSQLDatabase
    def __init__(self, db: CustomSQLDatabase) -> None: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class RewriteQuery(Runnable[_State, _Update]):
    """Node that has the chat model rewrite the question to fit the database's tables."""

    model: Runnable[Any, Any]
    tool: InfoSQLDatabaseTool
    template: ChatPromptTemplate
    def __init__(self, db: CustomSQLDatabase, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: _State) -> list[BaseMessage]: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class PandasGenerator(Runnable[_State, _Update]):
    """Node that has the chat model write the analysis script, or repair the one that failed."""

    model: Runnable[Any, Any]
    template: ChatPromptTemplate
    correction_template: PromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: _State) -> list[BaseMessage] | str: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class PandasCorrection(Runnable[_State, _Update]):
    """Runnable that has the chat model repair a failed analysis script."""

    model: Runnable[Any, Any]
    template: PromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: _State) -> str: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class PandasExecutor(Runnable[_State, _Update]):
    """Node that runs the analysis script in-process with its printed output captured."""

    model: AzureChatOpenAI
    template: ChatPromptTemplate
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def generate_prompt(self, state: _State) -> list[BaseMessage]: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]

class GenerateResponse(Runnable[_State, _Update]):
    """Final node: has the chat model word the answer from what the run collected."""

    model: Runnable[Any, Any]
    def __init__(self, model: AzureChatOpenAI) -> None: ...
    def invoke(self, state: _State, **kwargs: Any) -> _Update: ...  # type: ignore[override]
