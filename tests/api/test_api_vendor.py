"""The vendor layer over real HTTP: base address, time limits, the account's
OpenAI settings and the usage reports."""

from __future__ import annotations

import inspect
import re

import pytest
from loguru import logger

from support.db import CLOSED_PORT
from support.vendor_server import SETTINGS_PATH, USAGE_PATH, UsageReport, VendorServer
from zorvanai import api

SLOW = 600  # the stand-in answers after the test's own time limit: only the client's limit ends the wait
LIMIT = "0.5"


@pytest.fixture
def warnings():
    """The messages that loguru logs at warning level or above during the test."""
    records = []
    sink = logger.add(lambda message: records.append(message.record), level="WARNING", format="{message}")
    yield records
    logger.remove(sink)


def test_base_address_and_time_limit_come_from_the_environment(monkeypatch):
    monkeypatch.setenv("ZORVAN_API_URL", "https://vendor.test:8000/api/")
    assert api.base_url() == "https://vendor.test:8000/api"
    monkeypatch.delenv("ZORVAN_API_TIMEOUT", raising=False)
    assert api.request_timeout() == 30
    monkeypatch.setenv("ZORVAN_API_TIMEOUT", "2.5")
    assert api.request_timeout() == 2.5
    for bad in ("0", "-3", "soon", "inf", "nan"):
        monkeypatch.setenv("ZORVAN_API_TIMEOUT", bad)
        with pytest.raises(api.ConfigurationError,
                           match=f"^ZORVAN_API_TIMEOUT must be a positive number of seconds, not '{bad}'$"):
            api.request_timeout()

    for unset in (None, "", "  "):
        if unset is None:
            monkeypatch.delenv("ZORVAN_API_URL")
        else:
            monkeypatch.setenv("ZORVAN_API_URL", unset)
        with pytest.raises(api.ConfigurationError, match="^ZORVAN_API_URL is not set: set it to the base address"):
            api.base_url()
    assert issubclass(api.ConfigurationError, RuntimeError) and issubclass(api.VendorServiceError, RuntimeError)
    assert (api.DEPLOYMENTS_PATH, api.OPENAI_SETTINGS_PATH, api.USAGE_PATH) == (
        "/zorvan/azure-openais/", "/zorvan/openai-settings/", "/zorvan/usage/")


def test_openai_settings_are_fetched_with_the_account_key(vendor_env):
    vendor_env.openai_settings = {"model_name": "gpt-4o-mini", "temperature": 0.2, "api_key": "sk-test"}
    handler = api.ZorvanAPIHandler(zorvan_api_key="acct-1")

    assert handler.get_openai_data() == {"model_name": "gpt-4o-mini", "temperature": 0.2, "api_key": "sk-test"}
    (request,) = vendor_env.requests
    assert (request.method, request.path, request.account_key) == ("GET", SETTINGS_PATH, "acct-1")
    assert request.headers["authorization"] == "Bearer acct-1"
    assert "acct-1" not in repr(handler)
    assert list(inspect.signature(api.ZorvanAPIHandler).parameters) == ["zorvan_api_key"]

    vendor_env.openai_settings = {}
    assert api.ZorvanAPIHandler("acct-2").get_openai_data() == {}
    for key in ("", None, 42):
        with pytest.raises(TypeError, match="^zorvan_api_key must be a non-empty str$"):
            api.ZorvanAPIHandler(zorvan_api_key=key)


@pytest.mark.parametrize("case", ["refused_key", "server_error", "not_json", "not_a_record", "slow", "unreachable"])
def test_openai_settings_failures_name_the_address(vendor_env, monkeypatch, case):
    url = vendor_env.url + SETTINGS_PATH
    expected = {
        "refused_key": "answered with HTTP status 401, application/json: .*Invalid token",
        "server_error": "answered with HTTP status 500, application/json: .*Internal Server Error",
        "not_json": r"did not answer with JSON \(",
        "not_a_record": "answered with a JSON list where a record of model settings was expected",
        "slow": "^Could not reach the vendor service at .*Timeout",
        "unreachable": "^Could not reach the vendor service at .*ConnectionError",
    }[case]
    if case == "refused_key":
        vendor_env.accepted_keys = {"someone-else"}
    elif case == "server_error":
        vendor_env.respond(SETTINGS_PATH, status=500)
    elif case == "not_json":
        vendor_env.respond(SETTINGS_PATH, body="<html>maintenance</html>")
    elif case == "not_a_record":
        vendor_env.respond(SETTINGS_PATH, json=[{"model_name": "gpt-4o"}])
    elif case == "slow":
        vendor_env.respond(SETTINGS_PATH, delay=SLOW)
        monkeypatch.setenv("ZORVAN_API_TIMEOUT", LIMIT)
    else:
        url = f"http://127.0.0.1:{CLOSED_PORT}{SETTINGS_PATH}"
        monkeypatch.setenv("ZORVAN_API_URL", f"http://127.0.0.1:{CLOSED_PORT}")

    with pytest.raises(api.VendorServiceError, match=expected) as caught:
        api.ZorvanAPIHandler(zorvan_api_key="acct-1").get_openai_data()
    assert url in str(caught.value)


def test_usage_report_is_posted_with_the_key_and_the_figures(vendor_env, warnings):
    assert api.send_user_question("acct-1", "How many orders?", 34, 6.45e-05) is None

    assert vendor_env.usage_reports == [UsageReport("acct-1", "How many orders?", 34, 6.45e-05)]
    (request,) = vendor_env.requests
    assert (request.method, request.path) == ("POST", USAGE_PATH)
    assert request.headers["authorization"] == "Bearer acct-1"
    assert request.headers["content-type"] == "application/json"
    assert request.body == {"question": "How many orders?", "total_tokens": 34, "total_cost": 6.45e-05}
    assert warnings == []


@pytest.mark.parametrize("answer", [{"status": 204, "body": ""}, {"status": 200, "body": "thanks"}])
def test_any_success_status_counts_as_delivered(vendor_env, warnings, answer):
    vendor_env.respond(USAGE_PATH, **answer)
    api.send_user_question("acct-1", "q", 1, 0.5)
    assert [r.path for r in vendor_env.requests] == [USAGE_PATH]
    assert warnings == []


@pytest.mark.parametrize("case", ["server_error", "refused_key", "ill_typed", "slow", "unreachable", "unset"])
def test_undeliverable_usage_report_is_a_warning_not_an_error(vendor_env, monkeypatch, warnings, case):
    tokens, reason = 34, {
        "server_error": "answered with HTTP status 500",
        "refused_key": "answered with HTTP status 401",
        "ill_typed": "answered with HTTP status 400, application/json: .*total_tokens",
        "slow": "Could not reach the vendor service at .*Timeout",
        "unreachable": "Could not reach the vendor service at .*ConnectionError",
        "unset": "ConfigurationError: ZORVAN_API_URL is not set",
    }[case]
    if case == "server_error":
        vendor_env.respond(USAGE_PATH, status=500)
    elif case == "refused_key":
        vendor_env.accepted_keys = {"someone-else"}
    elif case == "ill_typed":
        tokens = -1
    elif case == "slow":
        vendor_env.respond(USAGE_PATH, delay=SLOW)
        monkeypatch.setenv("ZORVAN_API_TIMEOUT", LIMIT)
    elif case == "unreachable":
        monkeypatch.setenv("ZORVAN_API_URL", f"http://127.0.0.1:{CLOSED_PORT}")
    else:
        monkeypatch.delenv("ZORVAN_API_URL")

    assert api.send_user_question("acct-1", "How many orders?", tokens, 0.01) is None

    assert vendor_env.usage_reports == []
    (warning,) = warnings
    assert warning["level"].name == "WARNING"
    assert warning["message"].startswith("The usage report could not be delivered: ")
    assert re.search(reason, warning["message"]), warning["message"]
    if case != "unset":
        assert USAGE_PATH in warning["message"]


def machine_address() -> str:
    """This machine's address on its network (not loopback), or a skip."""
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet is sent for a UDP connect
            address = probe.getsockname()[0]
        except OSError:
            address = "127.0.0.1"
    if address.startswith("127."):
        pytest.skip("no network address besides loopback")
    return address


def test_plain_http_to_another_machine_is_refused_before_the_key_travels(monkeypatch, warnings):
    class NetworkVendor(VendorServer):
        host = machine_address()

    with NetworkVendor() as vendor:
        monkeypatch.setenv("ZORVAN_API_URL", vendor.url)
        monkeypatch.delenv("ZORVAN_ALLOW_HTTP", raising=False)
        with pytest.raises(api.ConfigurationError, match=rf"^ZORVAN_API_URL is {re.escape(vendor.url)}: plain "
                                                         r"http:// to another machine would send the key in clear"):
            api.ZorvanAPIHandler("acct-secret").get_openai_data()
        api.send_user_question("acct-secret", "q", 1, 0.5)
        assert vendor.requests == [] and "ZORVAN_ALLOW_HTTP=1" in warnings[0]["message"]

        # Allowed on purpose, the same request goes out.
        monkeypatch.setenv("ZORVAN_ALLOW_HTTP", "1")
        api.send_user_question("acct-secret", "q", 1, 0.5)
        assert [r.account_key for r in vendor.requests] == ["acct-secret"]
