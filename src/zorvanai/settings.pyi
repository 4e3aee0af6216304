"""Connection settings of the two Azure OpenAI chat deployments."""

from typing import ClassVar

class AzureOpenAIChat35:
    """Connection settings of the Azure OpenAI chat deployment for the lighter model.

    The instance's attribute mapping holds keyword arguments of ``AzureChatOpenAI``.
    """

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
