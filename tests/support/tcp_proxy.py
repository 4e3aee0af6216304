"""A loopback TCP proxy in front of a database server that can go silent.

    with SilentProxy("127.0.0.1", 5432, trigger=b"zorvan-silence") as proxy:
        url = db.url().replace(f":{db.port}/", f":{proxy.port}/")
        ...

Bytes pass both ways until a client sends a chunk that contains `trigger`:
that chunk still reaches the server, but from then on nothing more is passed
in either direction, while every socket stays open, as with a server or a
network that stops answering. `silenced` is set when that happens.
"""

from __future__ import annotations

import selectors
import socket
import threading


class SilentProxy:
    def __init__(self, host: str, port: int, trigger: bytes):
        self._target = (host, port)
        self._trigger = trigger
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.silenced = threading.Event()
        self._stop = threading.Event()
        self._sockets: list[socket.socket] = []
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self) -> "SilentProxy":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join(timeout=10)
        for sock in self._sockets + [self._listener]:
            sock.close()

    def _serve(self) -> None:
        selector = selectors.DefaultSelector()
        selector.register(self._listener, selectors.EVENT_READ)
        peers: dict[socket.socket, socket.socket] = {}
        while not self._stop.is_set():
            for key, _ in selector.select(timeout=0.1):
                sock = key.fileobj
                if sock is self._listener:
                    client, _ = self._listener.accept()
                    server = socket.create_connection(self._target)
                    self._sockets += [client, server]
                    peers[client], peers[server] = server, client
                    selector.register(client, selectors.EVENT_READ, "client")
                    selector.register(server, selectors.EVENT_READ, "server")
                    continue
                data = sock.recv(65536)
                if not data:
                    selector.unregister(sock)
                    continue
                if self.silenced.is_set():
                    continue  # swallowed: the peer waits for ever
                if key.data == "client" and self._trigger in data:
                    self.silenced.set()
                peers[sock].sendall(data)
        selector.close()
