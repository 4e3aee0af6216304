"""Relevant-table picking through a function call of the chat model."""

from collections.abc import Mapping
from typing import Any

from langchain_core.messages import BaseMessage
from langchain_core.runnables import Runnable

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.settings import AzureOpenAIChat35

class RelevantTablePicker(Runnable[Mapping[str, Any], dict[str, Any]]):
    """Picks the tables of the database that matter for a question."""

    config: AzureOpenAIChat35
    db: CustomSQLDatabase
    dialect: str
    model: Runnable[Any, Any]
    def __init__(self, config: AzureOpenAIChat35, db: CustomSQLDatabase) -> None: ...
    def generate_prompt(self, state: Mapping[str, Any]) -> list[BaseMessage]: ...
    def invoke(self, state: Mapping[str, Any], **kwargs: Any) -> dict[str, Any]: ...  # type: ignore[override]
