"""Settings of the chat models, and the loader of every setting a front end needs."""

from typing import Any, ClassVar, Literal

NO_MODEL_HELP: str

class AzureOpenAIChat35:
    """Connection settings of the Azure OpenAI chat deployment for the lighter model.

    The instance's attribute mapping holds keyword arguments of ``AzureChatOpenAI``.
    """

    chat_client: ClassVar[str]
    azure_deployment: str | None
    azure_endpoint: str | None
    api_key: str | None
    api_version: str | None
    timeout: float
    max_retries: int
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        azure_deployment: str | None = None,
        azure_endpoint: str | None = None,
        api_key: str | None = None,
        api_version: str | None = None,
        timeout: float | None = None,
        max_retries: int | None = None,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...

class AzureOpenAIChat4:
    """Connection settings of the Azure OpenAI chat deployment for the stronger model.

    The instance's attribute mapping holds keyword arguments of ``AzureChatOpenAI``.
    """

    chat_client: ClassVar[str]
    azure_deployment: str | None
    azure_endpoint: str | None
    api_key: str | None
    api_version: str | None
    timeout: float
    max_retries: int
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        azure_deployment: str | None = None,
        azure_endpoint: str | None = None,
        api_key: str | None = None,
        api_version: str | None = None,
        timeout: float | None = None,
        max_retries: int | None = None,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...

class OpenAIChatSettings:
    """Connection settings of a chat model behind an OpenAI-compatible endpoint.

    The instance's attribute mapping holds keyword arguments of ``ChatOpenAI``.
    """

    chat_client: ClassVar[str]
    model: str | None
    base_url: str | None
    api_key: str | None
    timeout: float
    max_retries: int
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        model: str | None = None,
        base_url: str | None = None,
        api_key: str | None = None,
        timeout: float | None = None,
        max_retries: int | None = None,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...

_ModelRecord = AzureOpenAIChat35 | AzureOpenAIChat4 | OpenAIChatSettings

class ModelSettings:
    """Where the chat models come from, as load_model_settings found it."""

    provider: Literal["vendor", "azure", "openai"]
    light: _ModelRecord | None
    strong: _ModelRecord | None
    pandas: _ModelRecord | None
    prices: dict[str, dict[str, float]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...

class Settings:
    """Every setting of a front end, as load_settings read it."""

    engine: str
    db_name: str
    db_user: str
    db_password: str
    db_host: str
    db_port: int
    api_key: str | None
    media_dir: str
    quiet: bool
    models: ModelSettings | None
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object) -> bool: ...

def load_model_settings(**overrides: Any) -> ModelSettings: ...
def load_settings(database: bool = True, models: bool = True) -> Settings: ...
