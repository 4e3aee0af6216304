"""The vendor service: chat deployments, OpenAI settings and usage reports."""

import threading
from typing import Any, Literal

import openai

DEPLOYMENTS_PATH: str
OPENAI_SETTINGS_PATH: str
USAGE_PATH: str

class ConfigurationError(RuntimeError):
    """The vendor service is not configured (ZORVAN_API_URL, ZORVAN_API_TIMEOUT)."""

class VendorServiceError(RuntimeError):
    """The vendor service could not be reached in time or gave an unusable answer."""

class ModelServiceError(openai.OpenAIError):
    """A chat model's endpoint gave an answer that is not a chat reply (an HTML page, for example)."""

class ZorvanAPIHandler:
    """The vendor service for one account."""

    zorvan_api_key: str
    def __init__(self, zorvan_api_key: str) -> None: ...
    def get_openai_data(self) -> dict[str, Any]: ...

def base_url() -> str: ...
def request_timeout() -> float: ...
def send_user_question(
    zorvan_api_key: str, question: str, total_tokens: int, total_cost: float | Literal["unknown"]
) -> None: ...
def send_user_question_later(
    zorvan_api_key: str, question: str, total_tokens: int, total_cost: float | Literal["unknown"]
) -> threading.Thread: ...
def wait_for_usage_reports(timeout: float | None = None) -> bool: ...
