"""Relevant-table picking through a function call of the chat model, with a local table
ranker that shortlists the tables of large databases."""

from collections.abc import Iterable, Mapping
from typing import Any

from langchain_core.messages import BaseMessage
from langchain_core.runnables import Runnable
from sqlalchemy import Engine

from zorvanai.qa_graph.custom_sql import CustomSQLDatabase
from zorvanai.settings import AzureOpenAIChat35, OpenAIChatSettings

class RelevantTablePicker(Runnable[Mapping[str, Any], dict[str, Any]]):
    """Picks the tables of the database that matter for a question."""

    config: AzureOpenAIChat35 | OpenAIChatSettings
    db: CustomSQLDatabase
    dialect: str
    model: Runnable[Any, Any]
    unforced_model: Runnable[Any, Any]
    shortlist_size: int
    def __init__(
        self, config: AzureOpenAIChat35 | OpenAIChatSettings, db: CustomSQLDatabase, shortlist_size: int = 60
    ) -> None: ...
    def generate_prompt(self, state: Mapping[str, Any]) -> list[BaseMessage]: ...
    def shortlist(self, question: str, tables: str | Iterable[str | Mapping[str, str]] | None = None) -> list[str]: ...
    def invoke(self, state: Mapping[str, Any], **kwargs: Any) -> dict[str, Any]: ...  # type: ignore[override]

class TableRanker:
    """Ranks a database's tables against a question from the words of table and column names."""

    def __init__(
        self,
        tables: Mapping[str, Iterable[str]] | Iterable[str | tuple[str, Iterable[str]]],
        foreign_keys: Iterable[tuple[str, str]] = (),
        **options: float,
    ) -> None: ...
    @staticmethod
    def from_engine(engine: Engine, schema: str | None = None, time_limit: float = 30.0, **options: float) -> TableRanker: ...
    def rank(self, question: str, k: int = 60, candidates: Iterable[str] | None = None) -> list[str]: ...
    def scores(
        self, question: str, k: int = 60, candidates: Iterable[str] | None = None
    ) -> list[tuple[str, float]]: ...
    @property
    def tables(self) -> list[str]: ...
    def __len__(self) -> int: ...

def identifier_words(text: str) -> list[str]: ...
