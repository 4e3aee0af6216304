"""Plumbing shared by the loopback HTTP stand-ins (model and vendor servers).

A stand-in subclasses :class:`LoopbackServer` and implements
``handle(incoming) -> Outgoing``; the base class runs a ``ThreadingHTTPServer``
on 127.0.0.1 with an ephemeral port in a daemon thread, so each request is
served on its own thread and several clients may call at once.

    class Echo(LoopbackServer):
        def handle(self, incoming):
            return Outgoing.json(200, {"path": incoming.path})

    with Echo() as echo:
        requests.get(echo.url + "/x", timeout=5).json()   # {"path": "/x"}
"""

from __future__ import annotations

import json
import sys
import threading
from dataclasses import dataclass, field
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Iterable, Mapping
from urllib.parse import parse_qs, urlsplit


@dataclass
class Incoming:
    """One HTTP request as the handler received it."""

    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]  # names in lower case
    raw_body: bytes

    def query_value(self, name: str) -> str | None:
        values = self.query.get(name)
        return values[-1] if values else None

    def json_body(self) -> Any:
        """The body parsed as JSON; raises ValueError when it is not JSON."""
        return json.loads(self.raw_body.decode("utf-8"))


@dataclass
class Outgoing:
    """What a stand-in sends back: a whole body, or a stream of chunks (SSE)."""

    status: int
    body: bytes = b""
    content_type: str = "application/json"
    headers: dict[str, str] = field(default_factory=dict)
    chunks: Iterable[bytes] | None = None  # streamed, then the connection is closed

    @classmethod
    def json(cls, status: int, payload: Any, headers: Mapping[str, str] | None = None) -> "Outgoing":
        return cls(status, json.dumps(payload).encode("utf-8"), headers=dict(headers or {}))

    @classmethod
    def text(cls, status: int, text: str | bytes, content_type: str = "text/plain; charset=utf-8") -> "Outgoing":
        body = text.encode("utf-8") if isinstance(text, str) else text
        return cls(status, body, content_type=content_type)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as the HTTP clients expect
    timeout = 60  # an idle kept-alive connection frees its thread eventually
    server: "_Server"

    def _serve(self) -> None:
        parts = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        incoming = Incoming(
            method=self.command,
            path=parts.path,
            query=parse_qs(parts.query, keep_blank_values=True),
            headers={k.lower(): v for k, v in self.headers.items()},
            raw_body=raw,
        )
        outgoing = self.server.owner.dispatch(incoming)
        if outgoing is None:  # the stand-in stopped while the request waited
            self.close_connection = True
            return
        try:
            self.send_response(outgoing.status)
            self.send_header("Content-Type", outgoing.content_type)
            for name, value in outgoing.headers.items():
                self.send_header(name, value)
            if outgoing.chunks is None:
                self.send_header("Content-Length", str(len(outgoing.body)))
                self.end_headers()
                self.wfile.write(outgoing.body)
            else:
                self.send_header("Cache-Control", "no-cache")
                self.send_header("Connection", "close")
                self.end_headers()
                for chunk in outgoing.chunks:
                    self.wfile.write(chunk)
                    self.wfile.flush()
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError):
            # The client gave up (e.g. its time limit passed during a delay).
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = _serve

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - base class name
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    owner: "LoopbackServer"


class LoopbackServer:
    """A real HTTP server on 127.0.0.1; subclasses implement :meth:`handle`."""

    label = "stand-in"
    # The address to listen on; a test of what must never leave the machine may
    # choose this machine's own network address instead.
    host = "127.0.0.1"

    def __init__(self) -> None:
        self._httpd: _Server | None = None
        self._thread: threading.Thread | None = None
        # Set to wake every request that is waiting out a scripted delay.
        self._wake = threading.Event()

    # -- life cycle ----------------------------------------------------------
    def start(self) -> "LoopbackServer":
        if self._httpd is not None:
            return self
        self._wake = threading.Event()
        httpd = _Server((self.host, 0), _Handler)
        httpd.owner = self
        self._httpd = httpd
        self._thread = threading.Thread(
            target=httpd.serve_forever, kwargs={"poll_interval": 0.05}, name=self.label, daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        httpd, self._httpd = self._httpd, None
        if httpd is None:
            return
        self._wake.set()
        httpd.shutdown()
        httpd.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError(f"the {self.label} is not running")
        return self._httpd.server_address[1]

    @property
    def url(self) -> str:
        """Base address, without a trailing slash: ``http://127.0.0.1:PORT``."""
        return f"http://{self.host}:{self.port}"

    # -- requests ------------------------------------------------------------
    def wait(self, seconds: float) -> bool:
        """Sleeps for a scripted delay; False when woken early by reset or stop."""
        if seconds <= 0:
            return True
        return not self._wake.wait(seconds)

    def wake_waiting(self) -> None:
        """Ends the delays of requests in flight (their answers are then dropped)."""
        self._wake.set()
        self._wake = threading.Event()

    def dispatch(self, incoming: Incoming) -> Outgoing | None:
        try:
            return self.handle(incoming)
        except Exception as exc:  # a fault in a test's callable reply or in the stand-in
            message = f"{self.label} failed while answering {incoming.method} {incoming.path}: {exc!r}"
            print(message, file=sys.stderr)
            return self.internal_error(message)

    def handle(self, incoming: Incoming) -> Outgoing | None:
        raise NotImplementedError

    def internal_error(self, message: str) -> Outgoing:
        return Outgoing.json(500, {"error": message})


def status_phrase(status: int) -> str:
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return "Error"
