"""The question-answering graph: its state record ``SQLState`` and ``SQLGraph``."""

import operator as operator
from collections.abc import Mapping
from typing import Annotated as Annotated
from typing import Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import TypedDict as TypedDict

from langchain_core.runnables import RunnableConfig as RunnableConfig
from langchain_openai import AzureChatOpenAI as AzureChatOpenAI
from langchain_openai import ChatOpenAI
from langgraph.graph import END as END
from langgraph.graph import StateGraph as StateGraph
from langgraph.graph.state import CompiledStateGraph

from zorvanai.function_calling.base import RelevantTablePicker as RelevantTablePicker
from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.settings import AzureOpenAIChat4, AzureOpenAIChat35, OpenAIChatSettings

class SQLState(TypedDict):
    """State of one question in the question-answering graph.

    Keys annotated with operator.concat collect lists across updates, keys annotated
    with operator.add count, every other key is replaced by the newest update. A key
    holds no value until something writes it.
    """

    user_question: str
    follow_up_question: Annotated[List[str], operator.concat]
    schemas_from_relevant_tables: str
    table_names_from_db: list[Dict[str, str]]
    relevant_tables: List[str]
    generated_sql_query: Annotated[List[str], operator.concat]
    sql_generation_prompt_type: str
    execution_success: bool
    execution_error: Annotated[List[str], operator.concat]
    sql_execution_result: Annotated[List[str], operator.concat]
    pandas_code: str
    use_pandas_ai_flag: bool
    image_path: str | None
    python_executed_output: str
    save_path: str
    final_response: str
    iteration_count: Annotated[int, operator.add]
    iteration_count_pandas: Annotated[int, operator.add]
    rewrite_count: int
    rewritten_question: str
    max_iterations: int
    max_iterations_pandas: int
    python_execution_success: bool
    python_error_message: str
    pandas_generation_prompt_type: str

class SQLGraph:
    """The question-answering graph of one database.

    Owns the database handle, five chat clients (Azure OpenAI, or ChatOpenAI for an
    OpenAIChatSettings record), the relevant-table picker,
    the compiled LangGraph state graph of thirteen nodes and its run settings. One
    object serves any number of questions, one ``invoke`` per question.
    """

    db: CustomSQLDatabase
    graph: StateGraph[SQLState]
    runnable_config: RunnableConfig
    relevant_tables_model: AzureChatOpenAI | ChatOpenAI
    sql_generation_model: AzureChatOpenAI | ChatOpenAI
    response_model: AzureChatOpenAI | ChatOpenAI
    pandas_code_model: AzureChatOpenAI | ChatOpenAI
    pandas_ai_model: AzureChatOpenAI | ChatOpenAI
    relevant_table_picker: RelevantTablePicker
    compiled_graph: CompiledStateGraph[SQLState]
    def __init__(
        self,
        custom_sql_db: CustomSQLDatabase,
        config_35: AzureOpenAIChat35 | OpenAIChatSettings,
        config_4: AzureOpenAIChat4 | OpenAIChatSettings,
        config_pandas: AzureOpenAIChat35 | AzureOpenAIChat4 | OpenAIChatSettings | None = None,
    ) -> None: ...
    def _config_graph(
        self,
        metadata: Dict[str, Any] | None = None,
        tags: List[str] = ["qa_graph"],
        max_concurrency: Optional[int] = 20,
        recursion_limit: int = 50,
    ) -> RunnableConfig: ...
    def _compile_graph(self, runnable_config: RunnableConfig) -> CompiledStateGraph[SQLState]: ...
    def visualize_graph(
        self, visualization_type: str = "ascii", save_graph_path: str = "graph_visualization.png"
    ) -> Optional[str]: ...
    def invoke(self, inputs: Mapping[str, Any]) -> dict[str, Any]: ...
