"""The vendor service: chat deployments, OpenAI settings and usage reports."""

import threading
from typing import Any, Literal

from zorvanai.errors import ConfigurationError as ConfigurationError
from zorvanai.errors import ModelServiceError as ModelServiceError
from zorvanai.errors import VendorServiceError as VendorServiceError

DEPLOYMENTS_PATH: str
OPENAI_SETTINGS_PATH: str
USAGE_PATH: str

class ZorvanAPIHandler:
    """The vendor service for one account."""

    zorvan_api_key: str
    def __init__(self, zorvan_api_key: str) -> None: ...
    def get_openai_data(self) -> dict[str, Any]: ...

def base_url() -> str: ...
def fetch_deployments() -> list[Any]: ...
def request_timeout() -> float: ...
def send_user_question(
    zorvan_api_key: str, question: str, total_tokens: int, total_cost: float | Literal["unknown"]
) -> None: ...
def send_user_question_later(
    zorvan_api_key: str, question: str, total_tokens: int, total_cost: float | Literal["unknown"]
) -> threading.Thread: ...
def wait_for_usage_reports(timeout: float | None = None) -> bool: ...
