import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from corvane.providers._http import ProviderApiError, http_get_json, http_json
from corvane.providers.base import Provider, ProvisionResult, ProvisionSpec
from corvane.providers.region import effective_country_codes

SECRET = "sk-very-secret"


class Handler(BaseHTTPRequestHandler):
    seen = []

    def log_message(self, *args):
        pass

    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        Handler.seen.append((self.command, self.path, dict(self.headers), body))
        if self.path.startswith("/fail"):
            self.send_response(int(self.path.rsplit("/", 1)[1]))
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.wfile.write(b"slow down")
        elif self.path == "/drop":
            self.close_connection = True
            self.connection.close()
        elif self.path == "/notjson":
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"<html>")
        elif self.path == "/empty":
            self.send_response(200)
            self.end_headers()
        else:
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(json.dumps({"echo": json.loads(body) if body else None,
                                         "method": self.command}).encode())

    do_GET = do_POST = do_PUT = do_DELETE = _answer


@pytest.fixture
def server():
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    Handler.seen = []
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()


def test_json_round_trip(server):
    headers = {"Authorization": f"Bearer {SECRET}"}
    assert http_json(f"{server}/x", method="PUT", headers=headers, body={"a": [1]},
                     provider="vast") == {"echo": {"a": [1]}, "method": "PUT"}
    assert http_get_json(f"{server}/y", headers=headers, provider="vast")["method"] == "GET"
    method, path, sent, body = Handler.seen[0]
    assert sent["Authorization"] == f"Bearer {SECRET}" and sent["Content-Type"] == "application/json"
    assert http_get_json(f"{server}/empty", provider="vast") is None


@pytest.mark.parametrize("path, status", [("/fail/429", 429), ("/fail/503", 503), ("/drop", None),
                                          ("/notjson", 200)])
def test_failures_carry_status_and_never_the_key(server, path, status):
    with pytest.raises(ProviderApiError) as info:
        http_get_json(f"{server}{path}", headers={"Authorization": f"Bearer {SECRET}"},
                      provider="vast")
    err = info.value
    assert err.status == status and err.provider == "vast"
    assert SECRET not in str(err) and SECRET not in repr(err)
    if status == 429:
        assert "slow down" in str(err)


def test_unreachable_host_has_no_status():
    with pytest.raises(ProviderApiError) as info:
        http_get_json("http://127.0.0.1:9/", provider="vast", timeout=2)
    assert info.value.status is None


def test_records_and_base_class():
    raw = {"a": 1}
    result = ProvisionResult(provider="vast", instance_id="1", status="running", raw=raw)
    raw["b"] = 2
    assert result.raw is raw
    spec = ProvisionSpec(gpu_type="RTX_4090", images={"vast": "img:vast"})
    assert spec.image_for("vast") == "img:vast" and spec.image_for("other") == spec.image
    provider = Provider()
    assert not provider.has_api() and provider.default_profile().ssh_user == "root"
    with pytest.raises(NotImplementedError):
        provider.list_instances("key")


@pytest.mark.parametrize("geo, codes", [
    (None, None), ("", None), ("any", None), ("us", ("US",)), ("US, ca", ("CA", "US")),
    (["uk", "de"], ("DE", "GB")), ("north-america", ("CA", "MX", "US")),
])
def test_country_codes(geo, codes):
    assert effective_country_codes(request_geography=geo) == codes


def test_unknown_region_is_an_error():
    with pytest.raises(ValueError, match="atlantis"):
        effective_country_codes("atlantis")
