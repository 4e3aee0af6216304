"""The vendor service stand-in, over real HTTP."""

import os

import pytest
import requests
from langchain_openai import AzureChatOpenAI

from support.vendor_server import DEPLOYMENTS_PATH, SETTINGS_PATH, USAGE_PATH, UsageReport

TIMEOUT = 5


def _get(vendor, path, key=None, timeout=TIMEOUT, authorization=None):
    if key:
        authorization = f"Bearer {key}"
    headers = {"Authorization": authorization} if authorization is not None else {}
    return requests.get(vendor.url + path, headers=headers, timeout=timeout)


def _report(vendor, body, key="acct-1"):
    headers = {"Authorization": f"Bearer {key}"} if key else {}
    return requests.post(vendor.url + USAGE_PATH, json=body, headers=headers, timeout=TIMEOUT)


def test_deployment_list_is_empty_until_scripted(vendor_server):
    assert _get(vendor_server, DEPLOYMENTS_PATH).json() == []
    vendor_server.deployments = [{"model": "GPT-3.5", "deployment_name": "d"}]
    answer = _get(vendor_server, DEPLOYMENTS_PATH)
    assert answer.status_code == 200
    assert answer.json() == [{"model": "GPT-3.5", "deployment_name": "d"}]


def test_listed_deployments_reach_the_model_stand_in(vendor_server, model_server):
    vendor_server.serve_deployments_for(model_server, gpt4_model="GPT-4-turbo")
    records = _get(vendor_server, DEPLOYMENTS_PATH).json()
    assert [r["model"] for r in records] == ["GPT-3.5", "GPT-4-turbo"]
    assert all(set(r) == {"model", "deployment_name", "azure_endpoint", "api_key", "api_version"} for r in records)

    model_server.add("from 3.5", deployment="gpt35")
    model_server.add("from 4", deployment="gpt4")
    answers = [
        AzureChatOpenAI(
            azure_deployment=r["deployment_name"],
            azure_endpoint=r["azure_endpoint"],
            api_key=r["api_key"],
            api_version=r["api_version"],
            timeout=TIMEOUT,
            max_retries=0,
        )
        .invoke("q")
        .content
        for r in records
    ]
    assert answers == ["from 3.5", "from 4"]


def test_settings_need_a_bearer_key(vendor_server):
    vendor_server.openai_settings = {"model_name": "gpt-4o-mini", "api_key": "sk-x"}
    assert _get(vendor_server, SETTINGS_PATH, key="acct-1").json() == {"model_name": "gpt-4o-mini", "api_key": "sk-x"}
    assert _get(vendor_server, SETTINGS_PATH).status_code == 401
    for header in ("Token acct-1", "Bearer ", "Bearer two words"):
        answer = _get(vendor_server, SETTINGS_PATH, authorization=header)
        assert answer.status_code == 401, header
    vendor_server.accepted_keys = {"acct-1"}
    assert _get(vendor_server, SETTINGS_PATH, key="acct-2").status_code == 401
    assert _get(vendor_server, SETTINGS_PATH, key="acct-1").status_code == 200


def test_usage_reports_are_recorded_only_when_accepted(vendor_server):
    good = {"question": "how many orders?", "total_tokens": 120, "total_cost": 0.00021}
    answer = _report(vendor_server, good)
    assert (answer.status_code, answer.json()) == (201, {"status": "recorded"})

    assert _report(vendor_server, good, key=None).status_code == 401
    bad = _report(vendor_server, {"question": "q", "total_tokens": "120", "total_cost": True})
    assert bad.status_code == 400
    assert set(bad.json()) == {"total_tokens", "total_cost"}
    assert _report(vendor_server, {"question": "q"}).json() == {
        "total_tokens": ["This field is required."],
        "total_cost": ["This field is required."],
    }

    assert vendor_server.usage_reports == [UsageReport("acct-1", "how many orders?", 120, 0.00021)]
    assert [r.status for r in vendor_server.requests_to(USAGE_PATH)] == [201, 401, 400, 400]


def test_requests_are_recorded(vendor_server):
    _get(vendor_server, DEPLOYMENTS_PATH)
    _report(vendor_server, {"question": "q", "total_tokens": 1, "total_cost": 0.5}, key="acct-9")
    first, second = vendor_server.requests
    assert (first.method, first.path, first.body, first.account_key) == ("GET", DEPLOYMENTS_PATH, None, None)
    assert (second.method, second.path, second.account_key) == ("POST", USAGE_PATH, "acct-9")
    assert second.body == {"question": "q", "total_tokens": 1, "total_cost": 0.5}
    assert second.headers["authorization"] == "Bearer acct-9"


def test_unknown_paths_and_methods_are_refused(vendor_server):
    assert requests.get(vendor_server.url + "/zorvan/azure-openais", timeout=TIMEOUT).status_code == 404
    assert requests.post(vendor_server.url + DEPLOYMENTS_PATH, timeout=TIMEOUT).status_code == 405
    assert requests.get(vendor_server.url + USAGE_PATH, timeout=TIMEOUT).status_code == 405


def test_scripted_failures_then_normal_answers(vendor_server):
    vendor_server.deployments = [{"model": "GPT-3.5"}]
    vendor_server.respond(DEPLOYMENTS_PATH, status=502, body="<html>Bad gateway</html>", times=1)
    vendor_server.respond(DEPLOYMENTS_PATH, status=503, times=1)
    vendor_server.respond(USAGE_PATH, json={"oops": 1}, status=500)

    first = _get(vendor_server, DEPLOYMENTS_PATH)
    assert first.status_code == 502 and first.text == "<html>Bad gateway</html>"
    with pytest.raises(ValueError):
        first.json()
    assert _get(vendor_server, DEPLOYMENTS_PATH).json() == {"detail": "Service Unavailable"}
    assert _get(vendor_server, DEPLOYMENTS_PATH).json() == [{"model": "GPT-3.5"}]
    for _ in range(2):  # without times, until reset
        answer = _report(vendor_server, {"question": "q", "total_tokens": 1, "total_cost": 0.1})
        assert (answer.status_code, answer.json()) == (500, {"oops": 1})
    assert vendor_server.usage_reports == []
    with pytest.raises(ValueError, match="unknown vendor path"):
        vendor_server.respond("/zorvan/usage", status=500)


def test_delay_runs_into_the_caller_time_limit(vendor_server):
    vendor_server.respond(SETTINGS_PATH, delay=3, times=1)
    with pytest.raises(requests.Timeout):
        _get(vendor_server, SETTINGS_PATH, key="k", timeout=0.3)
    assert _get(vendor_server, SETTINGS_PATH, key="k").json() == {}


def test_vendor_env_points_the_variable_at_the_stand_in(vendor_env):
    assert os.environ["ZORVAN_API_URL"] == vendor_env.url
    assert requests.get(os.environ["ZORVAN_API_URL"] + DEPLOYMENTS_PATH, timeout=TIMEOUT).json() == []
