"""The Azure OpenAI chat stand-in, driven by the real AzureChatOpenAI client over HTTP."""

import threading
import warnings

import openai
import pytest
import requests
from langchain_core.messages import HumanMessage, SystemMessage
from langchain_openai import AzureChatOpenAI
from pydantic import BaseModel, Field

from support.model_server import API_VERSION, Reply, count_tokens

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    from langchain_community.callbacks import get_openai_callback
    from langchain_community.callbacks.openai_info import TokenType, get_openai_token_cost_for_model


class SQLQueryInput(BaseModel):
    sql_query: str = Field(description="SQL query string to be executed")


class RelevantTablesOutput(BaseModel):
    relevant_tables: list[str] = Field(description="List of relevant table names")


# -- what the client asks for and gets back ----------------------------------


def test_structured_output_by_json_schema_returns_the_record(model_server):
    model_server.add({"sql_query": "SELECT 1"}, schema=SQLQueryInput)
    llm = model_server.chat_client("gpt4")

    out = llm.with_structured_output(SQLQueryInput).invoke("count the orders")

    assert out == SQLQueryInput(sql_query="SELECT 1")
    (req,) = model_server.requests
    assert (req.deployment, req.api_version, req.schema) == ("gpt4", API_VERSION, "SQLQueryInput")
    assert req.body["response_format"]["type"] == "json_schema"
    assert req.response_schema["properties"]["sql_query"]["description"] == "SQL query string to be executed"
    assert req.tools == []


def test_structured_output_by_function_calling_returns_the_record(model_server):
    model_server.add(RelevantTablesOutput(relevant_tables=["orders", "items"]), schema="RelevantTablesOutput")
    llm = model_server.chat_client()

    out = llm.with_structured_output(RelevantTablesOutput, method="function_calling").invoke("which tables?")

    assert out.relevant_tables == ["orders", "items"]
    (req,) = model_server.requests
    assert req.schema == "RelevantTablesOutput"
    assert req.tool_names == ["RelevantTablesOutput"]
    assert req.body["tool_choice"]["function"]["name"] == "RelevantTablesOutput"
    assert req.response_schema["properties"]["relevant_tables"]["description"] == "List of relevant table names"


def test_bound_tools_get_a_call_of_the_tool_the_rule_names(model_server):
    model_server.add({"relevant_tables": ["t"]}, schema=RelevantTablesOutput)
    model_server.add(Reply(tool_calls=[("SQLQueryInput", {"sql_query": "SELECT 2"}), ("SQLQueryInput", "{bad")]))
    llm = model_server.chat_client().bind_tools([SQLQueryInput, RelevantTablesOutput])

    first = llm.invoke("pick")
    second = llm.invoke("pick again")

    assert [(c["name"], c["args"]) for c in first.tool_calls] == [("RelevantTablesOutput", {"relevant_tables": ["t"]})]
    assert [(c["name"], c["args"]) for c in second.tool_calls] == [("SQLQueryInput", {"sql_query": "SELECT 2"})]
    assert [c["name"] for c in second.invalid_tool_calls] == ["SQLQueryInput"]
    assert model_server.requests[0].schema is None  # two tools offered, none forced


def test_plain_invoke_and_stream_return_the_text(model_server):
    model_server.add("The answer is 42.")
    model_server.add("A longer reply that arrives in several streamed pieces.")
    llm = model_server.chat_client()

    assert llm.invoke("question").content == "The answer is 42."
    chunks = list(llm.stream("question"))
    assert len(chunks) > 2
    assert "".join(c.content for c in chunks) == "A longer reply that arrives in several streamed pieces."
    assert sum(c.usage_metadata["total_tokens"] for c in chunks if c.usage_metadata) == count_tokens(
        "question"
    ) + count_tokens("A longer reply that arrives in several streamed pieces.")


def test_text_reply_to_a_schema_request_is_sent_as_is(model_server):
    model_server.add('{"sql_query": ', schema=SQLQueryInput)
    with pytest.raises(ValueError, match="Invalid JSON"):
        model_server.chat_client().with_structured_output(SQLQueryInput).invoke("q")


def test_refusal_and_content_filter_reach_the_client(model_server):
    model_server.add(Reply(refusal="I cannot help with that."), schema=SQLQueryInput)
    model_server.add(Reply("", finish_reason="content_filter"))
    llm = model_server.chat_client()

    with pytest.raises(Exception, match="I cannot help with that.") as refused:
        llm.with_structured_output(SQLQueryInput).invoke("q")
    assert "Refusal" in type(refused.value).__name__
    with pytest.raises(ValueError, match="content filter"):
        llm.invoke("q")


# -- usage and model names ---------------------------------------------------


def test_usage_is_derived_from_text_lengths_and_priced_by_the_meter(model_server):
    model_server.add("x" * 9)  # 3 tokens
    model_server.add(Reply("ok", usage=(1000, 500)), deployment="gpt4")
    llm35, llm4 = model_server.chat_client("gpt35"), model_server.chat_client("gpt4")

    with get_openai_callback() as cb:
        first = llm35.invoke("12345678")  # 2 tokens
        second = llm4.invoke("q")

    assert first.usage_metadata["input_tokens"] == 2 and first.usage_metadata["output_tokens"] == 3
    assert first.response_metadata["model_name"] == "gpt-35-turbo"
    assert second.response_metadata["model_name"] == "gpt-4"
    assert cb.total_tokens == 5 + 1500
    assert cb.successful_requests == 2
    expected = (
        get_openai_token_cost_for_model("gpt-35-turbo", 2)
        + get_openai_token_cost_for_model("gpt-35-turbo", 3, token_type=TokenType.COMPLETION)
        + get_openai_token_cost_for_model("gpt-4", 1000)
        + get_openai_token_cost_for_model("gpt-4", 500, token_type=TokenType.COMPLETION)
    )
    assert cb.total_cost == pytest.approx(expected)
    assert cb.total_cost > 0


def test_model_name_is_settable_per_deployment_and_per_reply(model_server):
    model_server.set_model("gpt35", "gpt-35-turbo-16k")
    model_server.add("a")
    model_server.add(Reply("b", model="gpt-4o"))
    llm = model_server.chat_client()
    assert llm.invoke("q").response_metadata["model_name"] == "gpt-35-turbo-16k"
    assert llm.invoke("q").response_metadata["model_name"] == "gpt-4o"


# -- errors ------------------------------------------------------------------


def test_error_replies_surface_as_the_sdk_errors(model_server):
    model_server.add(Reply.error(500, "backend exploded"))
    model_server.add(Reply.rate_limited())
    model_server.add(Reply.deployment_not_found())
    llm = model_server.chat_client()

    with pytest.raises(openai.InternalServerError, match="backend exploded"):
        llm.invoke("q")
    with pytest.raises(openai.RateLimitError) as limited:
        llm.invoke("q")
    assert limited.value.body["code"] == "429"
    with pytest.raises(openai.NotFoundError) as missing:
        llm.invoke("q")
    assert missing.value.body["code"] == "DeploymentNotFound"


def test_wrong_key_wrong_path_and_missing_api_version_are_refused(model_server):
    with pytest.raises(openai.AuthenticationError):
        model_server.chat_client(api_key="other-key").invoke("q")

    url = model_server.url + "/openai/deployments/gpt35/chat/completions"
    body = {"messages": [{"role": "user", "content": "q"}]}
    headers = {"api-key": "test-key"}
    for target in (url, model_server.url + "/openai/deployments/gpt35/embeddings?api-version=" + API_VERSION):
        answer = requests.post(target, json=body, headers=headers, timeout=5)
        assert answer.status_code == 404
        assert answer.json()["error"]["message"] == "Resource not found"
    assert model_server.requests == []


def test_unscripted_request_fails_loudly_naming_what_was_missing(model_server, capfd):
    model_server.add("for the other deployment", deployment="gpt4")

    expected = "no scripted reply for deployment 'gpt35', schema 'SQLQueryInput'"
    with pytest.raises(openai.BadRequestError, match=expected):
        model_server.chat_client("gpt35").with_structured_output(SQLQueryInput).invoke("q")

    assert [r.schema for r in model_server.unanswered] == ["SQLQueryInput"]
    assert "no scripted reply" in capfd.readouterr().err
    with pytest.raises(AssertionError, match="deployment='gpt4'"):
        model_server.assert_script_used()


def test_a_delayed_reply_runs_into_the_client_time_limit(model_server):
    model_server.add(Reply("late", delay=3))
    model_server.add("on time")
    with pytest.raises(openai.APITimeoutError):
        model_server.chat_client(timeout=0.3).invoke("q")
    assert model_server.chat_client().invoke("q").content == "on time"


# -- script matching ----------------------------------------------------------


def test_rules_match_by_deployment_and_schema_first_match_wins_in_order(model_server):
    model_server.add("four", deployment="gpt4")
    model_server.add({"sql_query": "SELECT 1"}, schema=SQLQueryInput, times=2)
    model_server.add("first")
    model_server.add("second")
    llm35, llm4 = model_server.chat_client("gpt35"), model_server.chat_client("gpt4")
    structured = llm35.with_structured_output(SQLQueryInput)

    assert llm35.invoke("q").content == "first"  # skips the gpt4 rule
    assert structured.invoke("q").sql_query == "SELECT 1"
    assert llm4.invoke("q").content == "four"
    assert llm4.invoke("q").content == "second"  # the gpt4 rule is used up
    assert structured.invoke("q").sql_query == "SELECT 1"
    with pytest.raises(openai.BadRequestError, match="no scripted reply"):
        structured.invoke("q")
    model_server.assert_script_used()


def test_defaults_are_never_used_up_and_the_most_specific_wins(model_server):
    model_server.default("anything")
    model_server.default("gpt4 default", deployment="gpt4")
    model_server.add("scripted", deployment="gpt4")
    llm35, llm4 = model_server.chat_client("gpt35"), model_server.chat_client("gpt4")

    assert [llm4.invoke("q").content for _ in range(3)] == ["scripted", "gpt4 default", "gpt4 default"]
    assert llm35.invoke("q").content == "anything"
    model_server.assert_script_used()


def test_callable_reply_sees_the_recorded_request(model_server):
    model_server.add(lambda req: Reply(f"you said {req.user_text}", model="gpt-4"), times=None)
    llm = model_server.chat_client()
    assert llm.invoke("hello").content == "you said hello"
    assert llm.invoke("bye").response_metadata["model_name"] == "gpt-4"


def test_a_failing_callable_reply_is_reported_to_the_client(model_server):
    def broken(req):
        raise KeyError("no_such_key")

    model_server.add(broken)
    with pytest.raises(openai.InternalServerError, match="no_such_key"):
        model_server.chat_client().invoke("q")


def test_reset_forgets_rules_and_records(model_server):
    model_server.add("x")
    model_server.chat_client().invoke("q")
    model_server.add("never used")
    model_server.reset()
    assert model_server.requests == [] and model_server.pending == []


# -- records -------------------------------------------------------------------


def test_requests_record_the_exact_messages(model_server):
    model_server.add({"relevant_tables": []}, schema=RelevantTablesOutput)
    model_server.add("plain", deployment="gpt4")
    messages = [
        SystemMessage("You are a SQL expert.\nUse dialect: postgresql"),
        HumanMessage("Question: how many orders?"),
        HumanMessage(content=[{"type": "text", "text": "part one"}, {"type": "text", "text": "part two"}]),
    ]
    model_server.chat_client().with_structured_output(RelevantTablesOutput).invoke(messages)
    model_server.chat_client("gpt4").invoke("just text")

    first, second = model_server.requests
    assert first.messages == [
        {"role": "system", "content": "You are a SQL expert.\nUse dialect: postgresql"},
        {"role": "user", "content": "Question: how many orders?"},
        {"role": "user", "content": "part one\npart two"},
    ]
    assert first.system_text == "You are a SQL expert.\nUse dialect: postgresql"
    assert first.user_text == first.human_text == "Question: how many orders?\n\npart one\npart two"
    assert first.headers["api-key"] == "test-key"
    assert second.texts == ["just text"] and second.system_text == ""
    assert second.response["choices"][0]["message"]["content"] == "plain"
    assert model_server.requests_for(deployment="gpt4") == [second]
    assert model_server.requests_for(schema=RelevantTablesOutput) == [first]


def test_concurrent_requests_are_all_answered_and_recorded(model_server):
    model_server.add(lambda req: "echo " + req.user_text, times=None)
    llm = model_server.chat_client()
    answers, errors = {}, []

    def ask(i):
        try:
            answers[i] = llm.invoke(f"question {i}").content
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=ask, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)

    assert errors == []
    assert answers == {i: f"echo question {i}" for i in range(12)}
    assert sorted(r.user_text for r in model_server.requests) == sorted(f"question {i}" for i in range(12))
    assert sorted(r.index for r in model_server.requests) == list(range(12))


# -- clients built from the settings records -----------------------------------


def test_client_built_from_a_settings_record_as_the_graph_builds_it(model_server):
    config = model_server.config_4()
    model_server.add({"sql_query": "SELECT 1"}, schema=SQLQueryInput)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # top_p inside model_kwargs
        llm = AzureChatOpenAI(**vars(config), max_tokens=4096, temperature=0, model_kwargs={"top_p": 0.95})

    with get_openai_callback() as cb:
        assert llm.with_structured_output(SQLQueryInput).invoke("q").sql_query == "SELECT 1"

    (req,) = model_server.requests
    assert req.deployment == "gpt4" and req.api_version == API_VERSION
    assert req.body["max_completion_tokens"] == 4096
    assert "max_tokens" not in req.body
    assert req.body["temperature"] == 0
    assert req.body["top_p"] == 0.95
    assert cb.total_cost > 0  # the record's deployment reports a priced model
    assert model_server.config_35().azure_deployment == "gpt35"
    assert model_server.config_35().max_retries == 0
