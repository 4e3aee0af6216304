"""The two deployment settings records and what the chat client makes of them."""

import inspect
import warnings

import pytest
from langchain_openai import AzureChatOpenAI

from zorvanai.settings import AzureOpenAIChat4, AzureOpenAIChat35


@pytest.mark.parametrize("cls", [AzureOpenAIChat35, AzureOpenAIChat4])
def test_empty_placeholder_has_no_endpoint(cls):
    record = cls(azure_endpoint=None)
    assert not record.azure_endpoint
    assert record.azure_deployment is None and record.api_key is None and record.api_version is None


@pytest.mark.parametrize("cls", [AzureOpenAIChat35, AzureOpenAIChat4])
def test_attribute_mapping_builds_a_chat_client(cls):
    record = cls(azure_deployment="dep", azure_endpoint="http://127.0.0.1:9", api_key="k", api_version="2024-10-21")
    assert not {"max_tokens", "temperature", "model_kwargs"} & set(vars(record))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        client = AzureChatOpenAI(**vars(record), max_tokens=10, temperature=0, model_kwargs={"top_p": 0.95})
    assert client.deployment_name == "dep"
    assert client.azure_endpoint == "http://127.0.0.1:9"
    assert client.openai_api_version == "2024-10-21"
    assert client.request_timeout == 120.0 and client.max_retries == 2


def test_request_limits_come_from_the_environment(monkeypatch):
    monkeypatch.setenv("ZORVAN_MODEL_TIMEOUT", "7.5")
    monkeypatch.setenv("ZORVAN_MODEL_MAX_RETRIES", "0")
    record = AzureOpenAIChat35()
    assert (record.timeout, record.max_retries) == (7.5, 0)
    assert AzureOpenAIChat35(timeout=3, max_retries=1).timeout == 3.0
    monkeypatch.setenv("ZORVAN_MODEL_TIMEOUT", "soon")
    with pytest.raises(ValueError, match="ZORVAN_MODEL_TIMEOUT"):
        AzureOpenAIChat35()


def test_bad_values_are_refused_with_the_field_named():
    with pytest.raises(TypeError, match="api_key must be a str or None, not int"):
        AzureOpenAIChat4(api_key=5)
    with pytest.raises(ValueError, match="timeout"):
        AzureOpenAIChat4(timeout=0)


def test_records_compare_by_value_and_hide_the_key():
    a = AzureOpenAIChat35(api_key="secret", azure_endpoint="e", timeout=5, max_retries=0)
    assert a == AzureOpenAIChat35(api_key="secret", azure_endpoint="e", timeout=5, max_retries=0)
    assert a != AzureOpenAIChat4(api_key="secret", azure_endpoint="e", timeout=5, max_retries=0)
    assert "secret" not in repr(a)


def test_signature_is_visible():
    params = list(inspect.signature(AzureOpenAIChat35).parameters)
    assert params[:4] == ["azure_deployment", "azure_endpoint", "api_key", "api_version"]
