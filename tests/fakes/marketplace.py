"""A local stand-in for the GPU marketplace's HTTP API, for tests.

Serves the endpoints the adapter uses with the marketplace's answer shapes, records every
request, and can be scripted to fail: an HTTP status (JSON, plain-text or raw-byte body) for
the next N requests to a path, a dropped connection, bytes that are not HTTP at all, or a
slow answer.
"""

from __future__ import annotations

import itertools
import json
import re
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


@dataclass
class Request:
    method: str
    path: str
    headers: dict
    body: object
    at: float


@dataclass
class Failure:
    path_re: str
    status: int | None  # None: close the connection without an answer
    body: object = None  # str and bytes are sent as they are, anything else as JSON
    content_type: str = "application/json"
    remaining: int = 1
    raw: bytes | None = None  # sent instead of an HTTP answer, then the connection closes


class Marketplace:
    def __init__(self):
        self.offers: list = []
        self.instances: dict[str, dict] = {}
        self.requests: list[Request] = []
        self.failures: list[Failure] = []
        self.delays: dict[str, float] = {}  # path regex -> seconds before answering
        self.launch_answer = None  # overrides the launch answer when set
        self.v0_listing_gone = False
        self._contracts = itertools.count(28731904)
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._server.daemon_threads = True
        # A short poll interval lets stop() return at once.
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.02,),
                                        daemon=True)

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}/api/v0"

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()

    def fail(self, path_re, status, body=None, times=1, content_type="application/json"):
        self.failures.append(Failure(path_re, status, body, content_type, times))

    def answer(self, path_re, body, times=1):
        """Answer the next `times` requests to a path with status 200 and `body`."""
        self.fail(path_re, 200, body, times)

    def garble(self, path_re, raw, times=1):
        """Send `raw` bytes instead of an HTTP answer to the next `times` requests."""
        self.failures.append(Failure(path_re, 200, None, "", times, raw))

    def requests_to(self, path_re, method=None):
        return [r for r in self.requests if re.search(path_re, r.path)
                and (method is None or r.method == method)]

    def _route(self, method, path, body):
        if method == "POST" and path == "/api/v0/bundles/":
            return 200, {"success": True, "offers": self.offers}
        m = re.fullmatch(r"/api/v0/asks/(\d+)/", path)
        if method == "PUT" and m:
            if self.launch_answer is not None:
                return 200, self.launch_answer
            contract = next(self._contracts)
            self.instances[str(contract)] = {"id": contract, "actual_status": None,
                                             "intended_status": "running",
                                             "label": (body or {}).get("label")}
            return 200, {"success": True, "new_contract": contract}
        if method == "GET" and path in ("/api/v0/instances/", "/api/v1/instances/"):
            if path.startswith("/api/v0") and self.v0_listing_gone:
                return 410, {"success": False, "error": "deprecated_endpoint",
                             "msg": "This endpoint is deprecated. Use /api/v1/instances/ instead."}
            return 200, {"instances_found": len(self.instances),
                         "instances": list(self.instances.values())}
        m = re.fullmatch(r"/api/v0/instances/([^/]+)/", path)
        if method == "GET" and m:
            inst = self.instances.get(m.group(1))
            return (200, {"instances": inst}) if inst else (200, {"instances": None})
        if method == "DELETE" and m:
            if self.instances.pop(m.group(1), None) is None:
                return 404, {"success": False, "error": "no_such_instance", "msg": "not found"}
            return 200, {"success": True, "msg": "Instance destroyed successfully"}
        m = re.fullmatch(r"/api/v0/instances/([^/]+)/ssh/", path)
        if method == "POST" and m:
            return 200, {"success": True, "msg": "SSH key attached successfully"}
        return 404, {"success": False, "error": "not_found", "msg": path}

    def _handler(self):
        market = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length) if length else b""
                try:
                    body = json.loads(raw) if raw else None
                except ValueError:
                    body = raw.decode("utf-8", "replace")
                path = self.path
                with market._lock:
                    market.requests.append(Request(self.command, path, dict(self.headers), body,
                                                   time.monotonic()))
                    failure = next((f for f in market.failures
                                    if f.remaining > 0 and re.search(f.path_re, path)), None)
                    if failure:
                        failure.remaining -= 1
                    delay = next((s for p, s in market.delays.items() if re.search(p, path)), 0)
                if delay:
                    time.sleep(delay)
                if failure and (failure.status is None or failure.raw is not None):
                    self.close_connection = True
                    if failure.raw is not None:
                        self.wfile.write(failure.raw)
                        self.wfile.flush()
                    self.connection.shutdown(2)
                    return
                if failure:
                    status, payload, ctype = failure.status, failure.body, failure.content_type
                else:
                    with market._lock:
                        status, payload = market._route(self.command, path, body)
                    ctype = "application/json"
                if isinstance(payload, bytes):
                    data = payload
                elif isinstance(payload, str):
                    data = payload.encode("utf-8", "surrogatepass")
                else:
                    data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = do_PUT = do_DELETE = _serve

        return Handler
