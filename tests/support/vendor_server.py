"""Vendor service stand-in: a loopback HTTP server for the vendor's API.

The API (base address in the environment variable ``ZORVAN_API_URL``, no
trailing slash; every path is appended to it as is):

- ``GET {base}/zorvan/azure-openais/`` (no authentication) answers 200 with
  the JSON list of chat deployment records
  ``{"model", "deployment_name", "azure_endpoint", "api_key", "api_version"}``;
  "model" is "GPT-3.5" for the lighter deployment and begins with "GPT-4" for
  the stronger one.
- ``GET {base}/zorvan/openai-settings/`` with ``Authorization: Bearer <account
  key>`` answers 200 with the account's OpenAI settings
  ``{"model_name", "temperature", "api_key"}`` (any key may be absent).
- ``POST {base}/zorvan/usage/`` with ``Authorization: Bearer <account key>`` and
  the JSON body ``{"question": str, "total_tokens": int, "total_cost": float | "unknown"}``
  answers 201 ``{"status": "recorded"}``; an ill-typed body answers 400.
- The two keyed paths answer 401 ``{"detail": ...}`` when the Authorization
  header is missing or not ``Bearer <key>``; other paths answer 404, other
  methods 405.

Use the ``vendor_server`` fixture (reset before every test), or
``vendor_env``, which also sets ``ZORVAN_API_URL`` to the stand-in::

    def test_creates_agent(vendor_env, model_server):
        vendor_env.serve_deployments_for(model_server)   # "GPT-3.5" + "GPT-4" records
        ...
        assert vendor_env.usage_reports == [UsageReport("acct", "how many?", 34, 6.45e-05)]

    def test_vendor_down(vendor_server):
        vendor_server.respond(DEPLOYMENTS_PATH, status=502, body="<html>Bad gateway</html>")
        vendor_server.respond(USAGE_PATH, delay=5)        # for time-limit tests

Scripting: ``deployments`` (list, default empty) and ``openai_settings``
(mapping, default empty) are plain attributes.  ``respond(path, status=None,
json=..., body=..., delay=0, times=None)`` overrides what one path answers:
``delay`` seconds are waited first, then ``json`` is sent as JSON or ``body``
as text (e.g. not JSON at all) with ``status`` (default 200); with neither, a
status of 400 or more sends {"detail": "<reason phrase>"}, and otherwise the
normal answer is sent (with ``status`` if given).  ``times`` limits how many
requests the override answers (None: until ``reset``); overrides of one path
are used in the order given.
``accepted_keys`` (None: any key) restricts the account keys the keyed paths
accept; an unknown key answers 401.

Records: ``requests`` (every request: ``method``, ``path``, ``headers``,
``body``, ``account_key``) and ``usage_reports`` (the accepted usage reports as
:class:`UsageReport`).  The package sends its usage reports in the background;
both records first wait for the reports of this process that are still on
their way (``zorvanai.api.wait_for_usage_reports``), so a test reads them
after the fact, never while one is in flight.
"""

from __future__ import annotations

import copy
import sys
import threading
from dataclasses import dataclass
from typing import Any, Iterable, Mapping

from support.loopback import Incoming, LoopbackServer, Outgoing, status_phrase
from support.model_server import API_VERSION, DEPLOYMENT_4, DEPLOYMENT_35, TEST_API_KEY, ModelServer

DEPLOYMENTS_PATH = "/zorvan/azure-openais/"
SETTINGS_PATH = "/zorvan/openai-settings/"
USAGE_PATH = "/zorvan/usage/"
ENV_VAR = "ZORVAN_API_URL"

_METHODS = {DEPLOYMENTS_PATH: "GET", SETTINGS_PATH: "GET", USAGE_PATH: "POST"}
_KEYED = {SETTINGS_PATH, USAGE_PATH}
_MISSING = object()


@dataclass(frozen=True)
class UsageReport:
    """One usage report the vendor accepted."""

    account_key: str
    question: str
    total_tokens: int
    total_cost: float | str  # "unknown" when a model has no price


@dataclass
class VendorRequest:
    """One request as the vendor stand-in received it."""

    method: str
    path: str
    headers: dict[str, str]  # names in lower case
    body: Any  # parsed JSON, the raw text when not JSON, None when empty
    account_key: str | None  # from a well-formed "Authorization: Bearer <key>"
    status: int | None = None


@dataclass
class _Override:
    status: int | None
    payload: Any
    body: str | bytes | None
    delay: float
    times: int | None
    used: int = 0


class VendorServer(LoopbackServer):
    """The vendor service stand-in (see the module docstring)."""

    label = "vendor stand-in"

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        self.deployments: list[dict[str, Any]] = []
        self.openai_settings: dict[str, Any] = {}
        self.accepted_keys: set[str] | None = None
        self._overrides: dict[str, list[_Override]] = {}
        self._requests: list[VendorRequest] = []
        self._reports: list[UsageReport] = []

    # -- script --------------------------------------------------------------
    def respond(
        self,
        path: str,
        status: int | None = None,
        json: Any = _MISSING,  # noqa: A002 - reads naturally at the call site
        body: str | bytes | None = None,
        delay: float = 0.0,
        times: int | None = None,
    ) -> None:
        """Overrides the answer of ``path`` (see the module docstring); later calls queue behind earlier ones."""
        if path not in _METHODS:
            raise ValueError(f"unknown vendor path {path!r}; one of {sorted(_METHODS)}")
        if json is not _MISSING and body is not None:
            raise ValueError("give json or body, not both")
        with self._lock:
            self._overrides.setdefault(path, []).append(_Override(status, json, body, delay, times))

    def serve_deployments_for(
        self,
        model_server: ModelServer,
        gpt35: str = DEPLOYMENT_35,
        gpt4: str = DEPLOYMENT_4,
        gpt4_model: str = "GPT-4",
    ) -> list[dict[str, Any]]:
        """Lists the two deployments of ``model_server`` ("GPT-3.5" and ``gpt4_model``); returns the records."""
        key = model_server.api_key or TEST_API_KEY
        records = [
            deployment_record("GPT-3.5", gpt35, model_server.url, key),
            deployment_record(gpt4_model, gpt4, model_server.url, key),
        ]
        self.deployments = records
        return copy.deepcopy(records)

    def reset(self) -> None:
        """Back to an empty deployment list and settings; forgets overrides and records."""
        self.wake_waiting()
        with self._lock:
            self.deployments = []
            self.openai_settings = {}
            self.accepted_keys = None
            self._overrides.clear()
            self._requests.clear()
            self._reports.clear()

    # -- records -------------------------------------------------------------
    @property
    def requests(self) -> list[VendorRequest]:
        _settle_usage_reports()
        with self._lock:
            return list(self._requests)

    def requests_to(self, path: str) -> list[VendorRequest]:
        return [r for r in self.requests if r.path == path]

    @property
    def usage_reports(self) -> list[UsageReport]:
        _settle_usage_reports()
        with self._lock:
            return list(self._reports)

    # -- serving -------------------------------------------------------------
    def handle(self, incoming: Incoming) -> Outgoing | None:
        req = self._record(incoming)
        out = self._answer(incoming, req)
        req.status = None if out is None else out.status
        return out

    def _record(self, incoming: Incoming) -> VendorRequest:
        body: Any = None
        if incoming.raw_body:
            try:
                body = incoming.json_body()
            except ValueError:
                body = incoming.raw_body.decode("utf-8", errors="replace")
        req = VendorRequest(
            method=incoming.method,
            path=incoming.path,
            headers=dict(incoming.headers),
            body=body,
            account_key=_bearer(incoming.headers.get("authorization")),
        )
        with self._lock:
            self._requests.append(req)
        return req

    def _take_override(self, path: str) -> _Override | None:
        with self._lock:
            queue = self._overrides.get(path, [])
            while queue:
                first = queue[0]
                if first.times is not None and first.used >= first.times:
                    queue.pop(0)
                    continue
                first.used += 1
                return first
        return None

    def _answer(self, incoming: Incoming, req: VendorRequest) -> Outgoing | None:
        path = incoming.path
        if path not in _METHODS:
            return Outgoing.json(404, {"detail": "Not found."})
        if incoming.method != _METHODS[path]:
            return Outgoing.json(405, {"detail": f'Method "{incoming.method}" not allowed.'})
        override = self._take_override(path)
        if override is not None:
            if not self.wait(override.delay):
                return None
            if override.body is not None:
                return Outgoing.text(override.status or 200, override.body)
            if override.payload is not _MISSING:
                return Outgoing.json(override.status or 200, override.payload)
            if override.status is not None and override.status >= 400:
                return Outgoing.json(override.status, {"detail": status_phrase(override.status)})
        if path in _KEYED:
            refusal = self._check_key(incoming, req)
            if refusal is not None:
                return refusal
        status = override.status if override is not None else None
        if path == DEPLOYMENTS_PATH:
            with self._lock:
                payload = copy.deepcopy(self.deployments)
            return Outgoing.json(status or 200, payload)
        if path == SETTINGS_PATH:
            with self._lock:
                payload = copy.deepcopy(self.openai_settings)
            return Outgoing.json(status or 200, payload)
        return self._usage(req, status)

    def _check_key(self, incoming: Incoming, req: VendorRequest) -> Outgoing | None:
        if "authorization" not in incoming.headers:
            return Outgoing.json(401, {"detail": "Authentication credentials were not provided."})
        if req.account_key is None:
            return Outgoing.json(401, {"detail": "Invalid token header. Expected 'Bearer <key>'."})
        if self.accepted_keys is not None and req.account_key not in self.accepted_keys:
            return Outgoing.json(401, {"detail": "Invalid token."})
        return None

    def _usage(self, req: VendorRequest, status: int | None) -> Outgoing:
        problems = _usage_problems(req.body)
        if problems:
            return Outgoing.json(400, problems)
        body = req.body
        if status is None or status < 300:
            with self._lock:
                cost = body["total_cost"]
                report = UsageReport(
                    req.account_key or "", body["question"], body["total_tokens"],
                    cost if isinstance(cost, str) else float(cost)
                )
                self._reports.append(report)
        return Outgoing.json(status or 201, {"status": "recorded"})


def _settle_usage_reports() -> None:
    """Waits for this process's usage reports that are still on their way."""
    api = sys.modules.get("zorvanai.api")
    if api is not None:
        api.wait_for_usage_reports()


def deployment_record(model: str, deployment: str, endpoint: str, api_key: str = TEST_API_KEY,
                      api_version: str = API_VERSION) -> dict[str, Any]:
    """One element of the deployment list."""
    return {
        "model": model,
        "deployment_name": deployment,
        "azure_endpoint": endpoint,
        "api_key": api_key,
        "api_version": api_version,
    }


def _bearer(header: str | None) -> str | None:
    if not header:
        return None
    scheme, _, key = header.partition(" ")
    key = key.strip()
    if scheme != "Bearer" or not key or " " in key:
        return None
    return key


def _usage_problems(body: Any) -> dict[str, list[str]]:
    if not isinstance(body, Mapping):
        return {"non_field_errors": ["Expected a JSON object."]}
    problems: dict[str, list[str]] = {}
    checks: Iterable[tuple[str, Any, str]] = (
        ("question", lambda v: isinstance(v, str), "A text is required."),
        ("total_tokens", lambda v: isinstance(v, int) and not isinstance(v, bool) and v >= 0,
         "A whole number of 0 or more is required."),
        ("total_cost", lambda v: v == "unknown" or (isinstance(v, (int, float)) and not isinstance(v, bool)
                                                    and v >= 0),
         'A number of 0 or more, or "unknown", is required.'),
    )
    for name, valid, message in checks:
        if name not in body:
            problems[name] = ["This field is required."]
        elif not valid(body[name]):
            problems[name] = [message]
    return problems
