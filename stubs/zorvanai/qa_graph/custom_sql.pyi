"""The database handle of the assistant: checked, read-only, time-limited, bounded and lazy."""

from collections.abc import Sequence
from typing import Any, Literal, TypedDict

from langchain_community.utilities import SQLDatabase
from sqlalchemy import Engine, MetaData
from sqlalchemy.engine import URL, Result
from sqlalchemy.sql.expression import Executable

from zorvanai.errors import PrivilegedLoginError as PrivilegedLoginError
from zorvanai.errors import ReadOnlyQueryError as ReadOnlyQueryError

class _CheckedQuery(TypedDict):
    statement: str
    tables: list[str]
    functions: list[str]

def check_query(query: str, dialect: str, schema: str | None = None) -> _CheckedQuery: ...

class HandleView:
    """What the rest of the package may know of a handle (``handle.view``); read-only."""

    def __init__(
        self,
        server: str,
        dialect: str,
        schema: str,
        statement_timeout: float,
        usable_tables: Sequence[str],
        engine: Engine,
    ) -> None: ...
    @property
    def server(self) -> str: ...
    @property
    def dialect(self) -> str: ...
    @property
    def schema(self) -> str: ...
    @property
    def statement_timeout(self) -> float: ...
    @property
    def usable_tables(self) -> tuple[str, ...]: ...
    @property
    def engine(self) -> Engine: ...

class CustomSQLDatabase(SQLDatabase):
    """Handle on the one database that an assistant answers questions about.

    A LangChain ``SQLDatabase`` whose queries are read-only, time-limited and capped
    at ``max_rows`` rows, and whose tables are reflected only when needed.
    """

    def __init__(
        self,
        engine: Engine,
        schema: str | None = None,
        metadata: MetaData | None = None,
        ignore_tables: list[str] | None = None,
        include_tables: list[str] | None = None,
        sample_rows_in_table_info: int = 3,
        indexes_in_table_info: bool = False,
        custom_table_info: dict[str, str] | None = None,
        view_support: bool = False,
        max_string_length: int = 300,
        lazy_table_reflection: bool = True,
        statement_timeout: float | None = 60,
        max_rows: int = 200,
        max_result_bytes: int | None = None,
        strict: bool | None = None,
    ) -> None: ...
    @classmethod
    def from_uri(
        cls,
        database_uri: str | URL,
        engine_args: dict[str, Any] | None = None,
        connect_timeout: int = 10,
        **kwargs: Any,
    ) -> CustomSQLDatabase: ...
    @property
    def dialect(self) -> str: ...
    @property
    def statement_timeout(self) -> float | None: ...
    @property
    def max_rows(self) -> int: ...
    @property
    def max_result_bytes(self) -> int: ...
    @property
    def privilege_risks(self) -> tuple[str, ...]: ...
    @property
    def view(self) -> HandleView: ...
    @property
    def table_info(self) -> str: ...
    def with_limits(self, max_rows: int, max_result_bytes: int | None = None) -> CustomSQLDatabase: ...
    def get_usable_table_names(self) -> list[str]: ...
    def get_table_names(self) -> list[str]: ...
    def get_table_info(self, table_names: list[str] | None = None, get_col_comments: bool = False) -> str: ...
    def get_table_info_no_throw(self, table_names: list[str] | None = None) -> str: ...
    def run(
        self,
        command: str | Executable,
        fetch: Literal["all", "one", "cursor"] = "all",
        include_columns: bool = False,
        *,
        parameters: dict[str, Any] | None = None,
        execution_options: dict[str, Any] | None = None,
    ) -> str | Result[Any]: ...
    def run_no_throw(
        self,
        command: str | Executable,
        fetch: Literal["all", "one"] = "all",
        include_columns: bool = False,
        *,
        parameters: dict[str, Any] | None = None,
        execution_options: dict[str, Any] | None = None,
    ) -> str: ...
    def get_context(self) -> dict[str, Any]: ...
