"""JSON over HTTP for provider adapters, with errors that never carry credentials."""

from __future__ import annotations

import json
import socket
import urllib.error
import urllib.request

DEFAULT_TIMEOUT_S = 30.0
_MAX_ERROR_BODY = 2000


class ProviderApiError(RuntimeError):
    """A provider request failed; `status` is the HTTP status, None when none came back."""

    def __init__(self, provider: str, status: int | None, message: str):
        super().__init__(provider, status, message)
        self.provider = provider
        self.status = status
        self.message = message

    def __str__(self) -> str:
        where = f"HTTP {self.status}" if self.status is not None else "no HTTP response"
        return f"{self.provider} API error ({where}): {self.message}"


def _request(url: str, method: str, headers: dict | None, data: bytes | None, provider: str,
             timeout: float):
    req_headers = {"Accept": "application/json"}
    if data is not None:
        req_headers["Content-Type"] = "application/json"
    req_headers.update(headers or {})
    request = urllib.request.Request(url, data=data, method=method, headers=req_headers)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            payload = response.read()
            status = response.status
    except urllib.error.HTTPError as exc:
        try:
            text = exc.read(_MAX_ERROR_BODY).decode("utf-8", "replace").strip()
        except (OSError, ValueError):
            text = ""
        finally:
            exc.close()
        raise ProviderApiError(provider, exc.code, text or str(exc.reason)) from None
    except (urllib.error.URLError, socket.timeout, ConnectionError, OSError) as exc:
        reason = getattr(exc, "reason", exc)
        raise ProviderApiError(provider, None, f"{method} request failed: {reason}") from None
    if not payload.strip():
        return None
    try:
        return json.loads(payload)
    except ValueError:
        snippet = payload[:200].decode("utf-8", "replace")
        raise ProviderApiError(provider, status, f"invalid JSON answer: {snippet!r}") from None


def http_json(url: str, *, method: str = "POST", headers: dict | None = None, body=None,
              provider: str = "", timeout: float = DEFAULT_TIMEOUT_S):
    """Send one request with a JSON body; the decoded JSON answer (None when empty)."""
    data = json.dumps(body).encode("utf-8") if body is not None else None
    return _request(url, method, headers, data, provider, timeout)


def http_get_json(url: str, *, headers: dict | None = None, provider: str = "",
                  timeout: float = DEFAULT_TIMEOUT_S):
    """GET one URL; the decoded JSON answer (None when empty)."""
    return _request(url, "GET", headers, None, provider, timeout)
