"""Chat model stand-in: a loopback HTTP server answering from a script.

The real ``AzureChatOpenAI`` client (langchain-openai over the openai SDK)
talks to it over HTTP exactly as it talks to Azure:
``POST /openai/deployments/{deployment}/chat/completions?api-version=...``.
The real ``ChatOpenAI`` talks to it as to OpenAI or a local OpenAI-compatible
server (Ollama, vLLM, ...): ``POST /v1/chat/completions`` with the model name
in the body; ``openai_url`` is its base address and ``openai_settings(model)``
an ``OpenAIChatSettings`` aimed at it.  On that path the model name takes the
place of the deployment (for rules, records and the reported model name).
Nothing inside Python is patched.

Servers that lack a feature are played with ``supports``, a set reset to
``{"json_schema", "json_object", "tool_choice"}`` before every test: a request
asking for a feature left out gets HTTP 400 naming it, as such servers answer
(LM Studio refuses ``json_object``, older llama.cpp builds ``json_schema``,
vLLM without its tool parser ``tool_choice``).  Refused requests are recorded
(``status`` 400) and use up no rule.

Use the ``model_server`` fixture (reset before every test)::

    def test_picks_tables(model_server):
        model_server.add({"relevant_tables": ["orders"]}, schema="RelevantTablesOutput")
        model_server.add("There are 3 orders.", deployment="gpt35")
        llm = model_server.chat_client("gpt35")              # a real AzureChatOpenAI
        out = llm.with_structured_output(RelevantTablesOutput).invoke("which tables?")
        assert out.relevant_tables == ["orders"]
        assert llm.invoke("answer").content == "There are 3 orders."
        (req,) = model_server.requests_for(schema="RelevantTablesOutput")
        assert req.user_text == "which tables?"
        model_server.assert_script_used()                    # every rule was asked for

Settings records for the code under test: ``model_server.config_35()`` and
``model_server.config_4()`` give ``AzureOpenAIChat35`` / ``AzureOpenAIChat4``
aimed at deployments "gpt35" and "gpt4" of the stand-in.

The script
----------
``add(reply, deployment=None, schema=None, times=1)`` appends a rule.  A rule
matches a request by deployment name and/or by the structured-output record
asked for (``schema``: the ``json_schema`` name of ``response_format``, or the
tool/function name; a pydantic class may be given for its name); a rule with
neither matches anything.  The first matching rule in the order of ``add``
answers and uses up one of its ``times`` (``times=None``: never used up), so a
script of unselected rules is answered strictly in order.
``default(reply, deployment=None, schema=None)`` adds a reply that is never used
up; defaults are consulted only when no rule matches, the most specific first.
A request that nothing answers gets HTTP 400 whose message names the
deployment and schema lacking a reply (also printed to stderr and kept in
``unanswered``), so the test fails loudly instead of hanging.

A reply is one of:

- ``dict`` / ``list`` / pydantic model instance: JSON content for a
  ``json_schema`` request, the arguments of a tool call for a request that
  offers tools, JSON content otherwise;
- ``str``: plain content, sent as it is (also for a ``json_schema`` request,
  so malformed JSON can be sent);
- a callable ``(RecordedRequest) -> reply``;
- ``Reply(...)`` for special cases: ``Reply.error(429, "slow down")`` (Azure
  error body), ``Reply("late", delay=3)``, ``Reply(stall=True)`` (the status,
  headers and the first bytes of the body, then silence until ``reset``: a
  model that stops answering mid-reply), ``Reply(x, model="gpt-4o")``,
  ``Reply(x, usage=(100, 20))``, ``Reply(refusal="I can't")``,
  ``Reply("", finish_reason="content_filter")``,
  ``Reply(tool_calls=[("SQLQueryInput", {"sql_query": "SELECT 1"})])``,
  ``Reply(raw="<html>oops</html>")`` (body sent as is).

Usage and model name
--------------------
Every answer reports token usage (prompt / completion / total) and a model
name.  By default ``prompt_tokens = count_tokens(all message texts joined)``
and ``completion_tokens = count_tokens(the reply's content or tool
arguments)``, with ``count_tokens(text) = max(1, ceil(len(text) / 4))``.  The
model name is "gpt-35-turbo" unless set per deployment (``set_model``);
deployment "gpt4" (and the deployment of ``config_4``) reports "gpt-4".  Both
are priced by ``get_openai_callback``, so measured costs are non-zero.

Refusals
--------
An unknown path, a method other than POST or a missing/ill-formed
``api-version`` gets 404 "Resource not found"; a request without the
``api-key`` header "test-key" gets 401 (``model_server.api_key = None`` accepts
any key); a body that is not JSON or has no messages gets 400.  None of these
is recorded.

Records
-------
``requests`` is a snapshot list of :class:`RecordedRequest` (every accepted
request, in arrival order); ``requests_for(deployment=...,
schema=...)`` filters it.  A record has ``deployment``, ``api_version``,
``headers``, ``body`` (parsed JSON), ``messages`` ([{"role", "content"}] with
content flattened to text), ``schema``, ``tools``, ``response`` (the JSON
answer sent) and the helpers ``system_text``, ``user_text`` (= ``human_text``),
``texts``, ``tool_names`` and ``response_schema``.

What the client sends
---------------------
An ``AzureChatOpenAI`` built as the graph builds it (the settings record's
attributes plus ``max_tokens=4096, temperature=0, model_kwargs={"top_p":
0.95}``) sends ``{"model": null, "stream": false, "messages": [...],
"max_completion_tokens": 4096, "temperature": 0.0, "top_p": 0.95}`` plus
``response_format`` ({"type": "json_schema", "json_schema": {"name", "schema",
"strict": true}}) for ``with_structured_output(Record)``, or ``tools`` and a
forced ``tool_choice`` for ``method="function_calling"``.  ``top_p`` inside
``model_kwargs`` is moved to the request's top level with a UserWarning.
``.stream()`` sends ``"stream": true`` with ``"stream_options":
{"include_usage": true}``.
"""

from __future__ import annotations

import itertools
import json
import math
import re
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Iterator, Mapping, Sequence

from support.loopback import Incoming, LoopbackServer, Outgoing, status_phrase

API_VERSION = "2024-10-21"
TEST_API_KEY = "test-key"
DEFAULT_MODEL = "gpt-35-turbo"
STRONG_MODEL = "gpt-4"
DEPLOYMENT_35 = "gpt35"
DEPLOYMENT_4 = "gpt4"
CLIENT_TIMEOUT = 10.0

_PATH = re.compile(r"^/openai/deployments/([^/]+)/chat/completions/?$")
_OPENAI_PATH = re.compile(r"^/v1/chat/completions/?$")
ALL_FEATURES = frozenset({"json_schema", "json_object", "tool_choice"})
_API_VERSION = re.compile(r"^\d{4}-\d{2}-\d{2}(-preview)?$")
_STREAM_PIECE = 16  # characters of content per streamed chunk


def count_tokens(text: str) -> int:
    """The stand-in's token count of a text: one token per 4 characters, at least 1."""
    return max(1, math.ceil(len(text) / 4))


def _schema_name(schema: Any) -> str | None:
    if schema is None or isinstance(schema, str):
        return schema
    name = getattr(schema, "__name__", None)
    if name is None:
        raise TypeError(f"schema must be a name or a class, not {type(schema).__name__}")
    return name


def _flatten(content: Any) -> str:
    """Message content as text: a string as is, text parts joined by newlines."""
    if content is None:
        return ""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        texts = []
        for part in content:
            if isinstance(part, str):
                texts.append(part)
            elif isinstance(part, dict) and isinstance(part.get("text"), str):
                texts.append(part["text"])
        return "\n".join(texts)
    return json.dumps(content)


@dataclass
class RecordedRequest:
    """One chat-completions request as the stand-in received it."""

    index: int
    deployment: str
    api_version: str | None
    headers: dict[str, str]
    body: dict[str, Any]
    messages: list[dict[str, str]]
    schema: str | None
    tools: list[dict[str, Any]]
    received_at: float
    response: dict[str, Any] | None = None  # the JSON answer (None for errors and streams)
    status: int | None = None
    protocol: str = "azure"  # or "openai" (/v1/chat/completions)

    @property
    def response_format(self) -> str | None:
        """The response_format type asked for ("json_schema", "json_object"), or None."""
        fmt = self.body.get("response_format")
        return fmt.get("type") if isinstance(fmt, dict) else None

    @property
    def texts(self) -> list[str]:
        """Every message's content, in order."""
        return [m["content"] for m in self.messages]

    def _joined(self, role: str) -> str:
        return "\n\n".join(m["content"] for m in self.messages if m["role"] == role)

    @property
    def system_text(self) -> str:
        """The system messages' contents (joined by a blank line when several)."""
        return self._joined("system")

    @property
    def user_text(self) -> str:
        """The user messages' contents (joined by a blank line when several)."""
        return self._joined("user")

    human_text = user_text

    @property
    def roles(self) -> list[str]:
        return [m["role"] for m in self.messages]

    @property
    def tool_names(self) -> list[str]:
        return [t.get("function", {}).get("name") for t in self.tools if isinstance(t, dict)]

    @property
    def response_schema(self) -> dict[str, Any] | None:
        """The JSON schema the model was asked to fill (json_schema or tool parameters)."""
        fmt = self.body.get("response_format")
        if isinstance(fmt, dict) and fmt.get("type") == "json_schema":
            return fmt.get("json_schema", {}).get("schema")
        for tool in self.tools:
            fn = tool.get("function", {}) if isinstance(tool, dict) else {}
            if fn.get("name") == self.schema:
                return fn.get("parameters")
        return None

    @property
    def stream(self) -> bool:
        return bool(self.body.get("stream"))

    @property
    def prompt_text(self) -> str:
        """All message texts joined by newlines (what the prompt token count is made from)."""
        return "\n".join(self.texts)


@dataclass
class Reply:
    """A scripted answer with options beyond plain content.

    ``content``: dict / list / pydantic instance / str / None, as for ``add``.
    ``status``: an HTTP status of 400 or more sends an Azure-shaped error body
    {"error": {"code", "message", ...}} (``message`` and ``code`` override the
    defaults).  ``delay``: seconds to wait before answering.  ``model``: model
    name reported.  ``usage``: (prompt, completion) or a mapping with
    prompt_tokens / completion_tokens (total is their sum unless given).
    ``finish_reason``, ``refusal``, ``tool_calls`` ([(name, args)], args a
    mapping or a raw text), ``headers`` (extra response headers), ``raw``
    (response body sent as is, with ``status``).
    """

    content: Any = None
    status: int = 200
    message: str | None = None
    code: str | None = None
    delay: float = 0.0
    model: str | None = None
    usage: tuple[int, int] | Mapping[str, int] | None = None
    finish_reason: str | None = None
    refusal: str | None = None
    tool_calls: Sequence[tuple[str, Any]] | None = None
    headers: Mapping[str, str] | None = None
    raw: str | bytes | None = None
    stall: bool = False

    @classmethod
    def error(cls, status: int, message: str | None = None, code: str | None = None, **kw: Any) -> "Reply":
        """An Azure-shaped error answer with this HTTP status."""
        return cls(status=status, message=message, code=code, **kw)

    @classmethod
    def rate_limited(cls, retry_after: int = 1) -> "Reply":
        return cls(
            status=429,
            code="429",
            message=f"Requests to the ChatCompletions_Create Operation have exceeded call rate limit. "
            f"Please retry after {retry_after} second.",
            headers={"Retry-After": str(retry_after)},
        )

    @classmethod
    def deployment_not_found(cls) -> "Reply":
        return cls(
            status=404,
            code="DeploymentNotFound",
            message="The API deployment for this resource does not exist. If you created the deployment "
            "within the last 5 minutes, please wait a moment and try again.",
        )


@dataclass
class Rule:
    """One scripted entry; ``requests`` lists the requests it answered."""

    reply: Any
    deployment: str | None
    schema: str | None
    times: int | None  # None: never used up
    is_default: bool = False
    requests: list[RecordedRequest] = field(default_factory=list)

    @property
    def remaining(self) -> int | None:
        return None if self.times is None else self.times - len(self.requests)

    @property
    def used_up(self) -> bool:
        return self.times is not None and len(self.requests) >= self.times

    @property
    def specificity(self) -> int:
        return (self.deployment is not None) + (self.schema is not None)

    def matches(self, req: RecordedRequest) -> bool:
        if self.deployment is not None and self.deployment != req.deployment:
            return False
        if self.schema is not None and self.schema != req.schema and self.schema not in req.tool_names:
            return False
        return True

    def describe(self) -> str:
        what = f"deployment={self.deployment!r}, schema={self.schema!r}"
        left = "unlimited" if self.times is None else f"{self.remaining} left"
        return f"{'default' if self.is_default else 'rule'}({what}, {left})"


class _Unanswerable(Exception):
    """A scripted reply that cannot be turned into an answer for this request."""


class ModelServer(LoopbackServer):
    """The Azure OpenAI chat stand-in (see the module docstring)."""

    label = "model stand-in"

    def __init__(self, api_key: str | None = TEST_API_KEY) -> None:
        super().__init__()
        # Requests must carry this key in the "api-key" header; None accepts any key.
        self.api_key = api_key
        # On the OpenAI path: "Authorization: Bearer <key>" must carry this key; None accepts any
        # (local servers ignore the key).
        self.openai_api_key: str | None = None
        self.supports: set[str] = set(ALL_FEATURES)
        self._lock = threading.Lock()
        self._rules: list[Rule] = []
        self._defaults: list[Rule] = []
        self._requests: list[RecordedRequest] = []
        self._unanswered: list[RecordedRequest] = []
        self._models: dict[str, str] = {}
        self._ids = itertools.count(1)

    # -- script --------------------------------------------------------------
    def add(self, reply: Any, deployment: str | None = None, schema: Any = None, times: int | None = 1) -> Rule:
        """Appends a rule; see the module docstring.  Returns the rule."""
        if times is not None and times < 1:
            raise ValueError("times must be 1 or more, or None for a rule that is never used up")
        rule = Rule(reply, deployment, _schema_name(schema), times)
        with self._lock:
            self._rules.append(rule)
        return rule

    def default(self, reply: Any, deployment: str | None = None, schema: Any = None) -> Rule:
        """A reply used whenever no rule matches; never used up."""
        rule = Rule(reply, deployment, _schema_name(schema), None, is_default=True)
        with self._lock:
            self._defaults.append(rule)
            self._defaults.sort(key=lambda r: -r.specificity)  # stable: FIFO among equals
        return rule

    def set_model(self, deployment: str, model: str) -> None:
        """The model name that answers from ``deployment`` report."""
        with self._lock:
            self._models[deployment] = model

    def model_for(self, deployment: str, protocol: str = "azure") -> str:
        with self._lock:
            if deployment in self._models:
                return self._models[deployment]
        if protocol == "openai":
            return deployment  # OpenAI-compatible servers report the model asked for
        return STRONG_MODEL if deployment == DEPLOYMENT_4 else DEFAULT_MODEL

    def reset(self) -> None:
        """Forgets rules, defaults, model names and records; ends pending delays."""
        self.wake_waiting()
        with self._lock:
            self._rules.clear()
            self._defaults.clear()
            self._requests.clear()
            self._unanswered.clear()
            self._models.clear()
            self.openai_api_key = None
            self.supports = set(ALL_FEATURES)

    @property
    def pending(self) -> list[Rule]:
        """Rules (not defaults) with uses left."""
        with self._lock:
            return [r for r in self._rules if not r.used_up]

    def assert_script_used(self) -> None:
        """Fails when a rule with a fixed count was not used up."""
        left = [r for r in self.pending if r.times is not None]
        assert not left, "scripted replies never requested: " + ", ".join(r.describe() for r in left)

    # -- records -------------------------------------------------------------
    @property
    def requests(self) -> list[RecordedRequest]:
        """Every request received so far, in arrival order (a snapshot)."""
        with self._lock:
            return list(self._requests)

    @property
    def unanswered(self) -> list[RecordedRequest]:
        """Requests that no rule or default answered."""
        with self._lock:
            return list(self._unanswered)

    def requests_for(self, deployment: str | None = None, schema: Any = None) -> list[RecordedRequest]:
        name = _schema_name(schema)
        return [
            r
            for r in self.requests
            if (deployment is None or r.deployment == deployment)
            and (name is None or r.schema == name or name in r.tool_names)
        ]

    # -- clients and settings ------------------------------------------------
    def _settings(self, cls_name: str, deployment: str, **overrides: Any) -> Any:
        from zorvanai import settings

        values = dict(
            azure_deployment=deployment,
            azure_endpoint=self.url,
            api_key=self.api_key or TEST_API_KEY,
            api_version=API_VERSION,
            timeout=CLIENT_TIMEOUT,
            max_retries=0,
        )
        values.update(overrides)
        return getattr(settings, cls_name)(**values)

    def config_35(self, deployment: str = DEPLOYMENT_35, **overrides: Any) -> Any:
        """An ``AzureOpenAIChat35`` aimed at ``deployment`` of this stand-in."""
        return self._settings("AzureOpenAIChat35", deployment, **overrides)

    def config_4(self, deployment: str = DEPLOYMENT_4, **overrides: Any) -> Any:
        """An ``AzureOpenAIChat4`` aimed at ``deployment``; it reports model "gpt-4" unless set otherwise."""
        with self._lock:
            self._models.setdefault(deployment, STRONG_MODEL)
        return self._settings("AzureOpenAIChat4", deployment, **overrides)

    def client_kwargs(self, deployment: str = DEPLOYMENT_35) -> dict[str, Any]:
        """Keyword arguments of an ``AzureChatOpenAI`` aimed at ``deployment``."""
        return dict(
            azure_deployment=deployment,
            azure_endpoint=self.url,
            api_key=self.api_key or TEST_API_KEY,
            api_version=API_VERSION,
            timeout=CLIENT_TIMEOUT,
            max_retries=0,
        )

    @property
    def openai_url(self) -> str:
        """Base address of the OpenAI-compatible path: ``http://127.0.0.1:PORT/v1``."""
        return self.url + "/v1"

    def openai_settings(self, model: str = "llama3.1", **overrides: Any) -> Any:
        """An ``OpenAIChatSettings`` for ``model`` on the OpenAI-compatible path (no key)."""
        from zorvanai import settings

        values = dict(model=model, base_url=self.openai_url, api_key=None, timeout=CLIENT_TIMEOUT, max_retries=0)
        values.update(overrides)
        return settings.OpenAIChatSettings(**values)

    def chat_client(self, deployment: str = DEPLOYMENT_35, **kw: Any) -> Any:
        """A real ``AzureChatOpenAI`` aimed at ``deployment`` (keywords override the defaults)."""
        from langchain_openai import AzureChatOpenAI

        return AzureChatOpenAI(**{**self.client_kwargs(deployment), **kw})

    # -- serving -------------------------------------------------------------
    def internal_error(self, message: str) -> Outgoing:
        return _azure_error(500, "StandInError", message)

    def handle(self, incoming: Incoming) -> Outgoing | None:
        if incoming.method == "POST" and _OPENAI_PATH.match(incoming.path):
            return self._handle_openai(incoming)
        match = _PATH.match(incoming.path)
        if match is None or incoming.method != "POST":
            return _azure_error(404, "404", "Resource not found")
        version = incoming.query_value("api-version")
        if not version or not _API_VERSION.match(version):
            return _azure_error(404, "404", "Resource not found")
        if self.api_key is not None and incoming.headers.get("api-key") != self.api_key:
            return _azure_error(
                401,
                "401",
                "Access denied due to invalid subscription key or wrong API endpoint. Make sure to provide a "
                "valid key for an active subscription and use a correct regional API endpoint for your resource.",
            )
        body = self._body(incoming)
        if isinstance(body, Outgoing):
            return body
        return self._serve(self._record(match.group(1), version, incoming.headers, body))

    def _handle_openai(self, incoming: Incoming) -> Outgoing | None:
        key = self.openai_api_key
        if key is not None and incoming.headers.get("authorization") != f"Bearer {key}":
            return _azure_error(401, "invalid_api_key", "Incorrect API key provided.", kind="invalid_request_error")
        body = self._body(incoming)
        if isinstance(body, Outgoing):
            return body
        model = body.get("model")
        if not isinstance(model, str) or not model:
            return _azure_error(400, None, "you must provide a model parameter", kind="invalid_request_error")
        req = self._record(model, None, incoming.headers, body, protocol="openai")
        refused = self._unsupported(req)
        if refused is not None:
            req.status = 400
            return refused
        return self._serve(req)

    def _unsupported(self, req: RecordedRequest) -> Outgoing | None:
        wanted = req.response_format
        for feature in ("json_schema", "json_object"):
            if wanted == feature and feature not in self.supports:
                return _azure_error(400, None, f"response_format type '{feature}' is not supported by this server",
                                    kind="invalid_request_error", param="response_format")
        if "tool_choice" in req.body and "tool_choice" not in self.supports:
            return _azure_error(400, None, "tool_choice is not supported by this server",
                                kind="invalid_request_error", param="tool_choice")
        return None

    def _body(self, incoming: Incoming) -> dict | Outgoing:
        try:
            body = incoming.json_body()
        except ValueError:
            return _azure_error(
                400, None, "We could not parse the JSON body of your request.", kind="invalid_request_error"
            )
        if not isinstance(body, dict) or not isinstance(body.get("messages"), list) or not body["messages"]:
            return _azure_error(
                400, None, "'messages' is a required property", kind="invalid_request_error", param="messages"
            )
        return body

    def _serve(self, req: RecordedRequest) -> Outgoing | None:
        rule = self._choose(req)
        if rule is None:
            return self._unscripted(req)
        try:
            reply = _resolve(rule.reply, req)
            out = self._answer(req, rule, reply)
        except _Unanswerable as exc:
            message = f"model stand-in: {exc}"
            print(message, file=sys.stderr)
            req.status = 500
            return _azure_error(500, "StandInScriptError", message)
        req.status = out.status if out is not None else None
        return out

    def _record(self, deployment: str, version: str | None, headers: dict[str, str], body: dict,
                protocol: str = "azure") -> RecordedRequest:
        messages = [
            {"role": str(m.get("role")), "content": _flatten(m.get("content"))}
            for m in body["messages"]
            if isinstance(m, dict)
        ]
        tools = [t for t in body.get("tools") or [] if isinstance(t, dict)]
        with self._lock:
            req = RecordedRequest(
                index=len(self._requests),
                deployment=deployment,
                api_version=version,
                headers=dict(headers),
                body=body,
                messages=messages,
                schema=_requested_schema(body, tools),
                tools=tools,
                received_at=time.time(),
                protocol=protocol,
            )
            self._requests.append(req)
        return req

    def _choose(self, req: RecordedRequest) -> Rule | None:
        with self._lock:
            for rule in itertools.chain(self._rules, self._defaults):
                if not rule.used_up and rule.matches(req):
                    rule.requests.append(req)
                    return rule
        return None

    def _unscripted(self, req: RecordedRequest) -> Outgoing:
        left = [r.describe() for r in self.pending]
        message = (
            f"model stand-in: no scripted reply for deployment {req.deployment!r}, schema {req.schema!r} "
            f"(request #{req.index}); rules left: {', '.join(left) if left else 'none'}"
        )
        print(message, file=sys.stderr)
        with self._lock:
            self._unanswered.append(req)
        req.status = 400
        return _azure_error(400, "NoScriptedReply", message)

    def _answer(self, req: RecordedRequest, rule: Rule, reply: Any) -> Outgoing | None:
        opts = reply if isinstance(reply, Reply) else Reply(reply)
        if not self.wait(opts.delay):
            return None
        if opts.raw is not None:
            return Outgoing.text(opts.status, opts.raw, content_type="text/html; charset=utf-8")
        if opts.stall:
            return Outgoing(200, content_type="application/json", chunks=self._stalled())
        if opts.status >= 400:
            extra = {"Retry-After": "0"} if opts.status == 429 else {}
            out = _azure_error(opts.status, opts.code or str(opts.status), opts.message or status_phrase(opts.status))
            out.headers.update({**extra, **(opts.headers or {})})
            return out

        content, tool_calls = _content_and_calls(req, rule, opts)
        model = opts.model or self.model_for(req.deployment, req.protocol)
        usage = _usage(req, content, tool_calls, opts.usage)
        finish = opts.finish_reason or ("tool_calls" if tool_calls else "stop")
        completion_id = f"chatcmpl-standin-{next(self._ids)}"
        created = int(time.time())
        headers = {"apim-request-id": completion_id, **(opts.headers or {})}
        if req.stream:
            include_usage = bool((req.body.get("stream_options") or {}).get("include_usage"))
            chunks = _sse_chunks(
                completion_id, created, model, content, tool_calls, opts.refusal, finish, usage, include_usage
            )
            return Outgoing(200, content_type="text/event-stream", headers=headers, chunks=chunks)

        message: dict[str, Any] = {"role": "assistant", "content": content, "refusal": opts.refusal}
        if tool_calls:
            message["tool_calls"] = tool_calls
        response = {
            "id": completion_id,
            "object": "chat.completion",
            "created": created,
            "model": model,
            "system_fingerprint": "fp_standin",
            "prompt_filter_results": [{"prompt_index": 0, "content_filter_results": {}}],
            "choices": [
                {
                    "index": 0,
                    "finish_reason": finish,
                    "logprobs": None,
                    "message": message,
                    "content_filter_results": {},
                }
            ],
            "usage": usage,
        }
        req.response = response
        return Outgoing.json(200, response, headers=headers)


    def _stalled(self) -> Iterator[bytes]:
        wake = self._wake
        yield b'{"id": "chatcmpl-standin", "object": "chat.'
        wake.wait()  # silence until reset or stop


def _requested_schema(body: dict, tools: list[dict]) -> str | None:
    fmt = body.get("response_format")
    if isinstance(fmt, dict) and fmt.get("type") == "json_schema":
        name = (fmt.get("json_schema") or {}).get("name")
        return name if isinstance(name, str) else None
    choice = body.get("tool_choice")
    if isinstance(choice, dict):
        name = (choice.get("function") or {}).get("name")
        if isinstance(name, str):
            return name
    names = [t.get("function", {}).get("name") for t in tools]
    return names[0] if len(names) == 1 else None


def _resolve(reply: Any, req: RecordedRequest) -> Any:
    # A callable may answer with any reply form, including another callable's result.
    for _ in range(10):
        if callable(reply) and not isinstance(reply, type):
            reply = reply(req)
        else:
            return reply
    raise _Unanswerable("callable replies nested more than 10 deep")


def _as_json_value(value: Any) -> Any:
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return dump(mode="json")
    return value


def _content_and_calls(req: RecordedRequest, rule: Rule, opts: Reply) -> tuple[str | None, list[dict] | None]:
    if opts.tool_calls is not None:
        calls = [
            _tool_call(i, name, args if isinstance(args, str) else json.dumps(_as_json_value(args)))
            for i, (name, args) in enumerate(opts.tool_calls)
        ]
        return (opts.content if isinstance(opts.content, str) else None), calls
    value = _as_json_value(opts.content)
    if value is None:
        return (None if opts.refusal else ""), None
    if isinstance(value, str):
        return value, None
    if not isinstance(value, (dict, list)):
        raise _Unanswerable(f"cannot send a reply of type {type(opts.content).__name__}")
    text = json.dumps(value, ensure_ascii=False)
    asks_json_schema = (req.body.get("response_format") or {}).get("type") == "json_schema"
    if req.tools and not asks_json_schema:
        name = rule.schema if rule.schema in req.tool_names else req.schema
        if name is None:
            raise _Unanswerable(
                f"a structured reply for request #{req.index} offering tools {req.tool_names} needs a tool name: "
                "pass schema= to add() or use Reply(tool_calls=[(name, args)])"
            )
        return None, [_tool_call(0, name, text)]
    return text, None


def _tool_call(index: int, name: str, arguments: str) -> dict[str, Any]:
    return {"id": f"call_standin_{index}", "type": "function", "function": {"name": name, "arguments": arguments}}


def _usage(req: RecordedRequest, content: str | None, calls: list[dict] | None, given: Any) -> dict[str, int]:
    if given is None:
        produced = (content or "") + "".join(c["function"]["arguments"] for c in calls or [])
        prompt, completion, total = count_tokens(req.prompt_text), count_tokens(produced), None
    elif isinstance(given, Mapping):
        prompt, completion = int(given.get("prompt_tokens", 0)), int(given.get("completion_tokens", 0))
        total = given.get("total_tokens")
    else:
        prompt, completion = (int(n) for n in given)
        total = None
    return {
        "prompt_tokens": prompt,
        "completion_tokens": completion,
        "total_tokens": int(total) if total is not None else prompt + completion,
    }


def _sse_chunks(
    completion_id: str,
    created: int,
    model: str,
    content: str | None,
    tool_calls: list[dict] | None,
    refusal: str | None,
    finish: str,
    usage: dict[str, int],
    include_usage: bool,
) -> Iterator[bytes]:
    def chunk(delta: dict | None, finish_reason: str | None = None, with_usage: bool = False) -> bytes:
        payload: dict[str, Any] = {
            "id": completion_id,
            "object": "chat.completion.chunk",
            "created": created,
            "model": model,
            "system_fingerprint": "fp_standin",
            "choices": []
            if delta is None
            else [{"index": 0, "delta": delta, "finish_reason": finish_reason, "logprobs": None}],
        }
        if include_usage:
            payload["usage"] = usage if with_usage else None
        return b"data: " + json.dumps(payload).encode("utf-8") + b"\n\n"

    yield chunk({"role": "assistant", "content": "", "refusal": None})
    text = content or ""
    for start in range(0, len(text), _STREAM_PIECE):
        yield chunk({"content": text[start : start + _STREAM_PIECE]})
    if refusal:
        yield chunk({"refusal": refusal})
    for i, call in enumerate(tool_calls or []):
        yield chunk({"tool_calls": [{"index": i, **call}]})
    yield chunk({}, finish)
    if include_usage:
        yield chunk(None, with_usage=True)
    yield b"data: [DONE]\n\n"


def _azure_error(
    status: int, code: str | None, message: str, kind: str | None = None, param: str | None = None
) -> Outgoing:
    return Outgoing.json(
        status, {"error": {"code": code, "message": message, "type": kind, "param": param, "status": status}}
    )
