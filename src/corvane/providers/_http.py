"""JSON over HTTP for provider adapters, with errors that never carry credentials.

Every failure, whatever the server sent or did, is a ProviderApiError with a one-line
message: transport errors, malformed HTTP, answers that are not JSON, too large or nested
too deeply, and requests that cannot be sent as given.
"""

from __future__ import annotations

import http.client
import json
import re
import socket
import urllib.error
import urllib.parse
import urllib.request

DEFAULT_TIMEOUT_S = 30.0
_MAX_ERROR_BODY = 2000
# Provider answers are a few kilobytes to a few hundred; anything far larger is refused
# instead of read into memory.
MAX_ANSWER_BYTES = 32 * 1024 * 1024
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]+")


class ProviderApiError(RuntimeError):
    """A provider request failed; `status` is the HTTP status, None when none came back."""

    def __init__(self, provider: str, status: int | None, message: str):
        super().__init__(provider, status, message)
        self.provider = provider
        self.status = status
        self.message = message

    def __str__(self) -> str:
        if self.status is None:
            return f"{self.provider} API error: {self.message}"
        return f"{self.provider} API error (HTTP {self.status}): {self.message}"


def one_line(text: str, limit: int = 500) -> str:
    """`text` on one line (control characters and line breaks become a space), at most
    about `limit` characters."""
    flat = _CONTROL.sub(" ", text).strip()
    return flat if len(flat) <= limit else flat[:limit] + "..."


def secret_forms(secret: str) -> list[str]:
    """`secret` as a server may echo it: as it is, JSON-escaped (ASCII or not) and
    URL-encoded; longest first, so that no form is left half replaced."""
    url = {"errors": "surrogatepass"}  # a key that is not valid text is still searched for
    forms = {secret, json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1],
             urllib.parse.quote(secret, safe="", **url),
             urllib.parse.quote_plus(secret, safe="", **url), urllib.parse.quote(secret, **url)}
    return sorted((f for f in forms if f), key=len, reverse=True)


def _secrets(headers: dict | None) -> list[str]:
    out = []
    for value in (headers or {}).values():
        if not isinstance(value, str):
            continue
        token = value.split(" ", 1)[1] if value.startswith("Bearer ") else value
        if token.strip():
            out += secret_forms(token)
    return sorted(set(out), key=len, reverse=True)


def _redact(text: str, headers: dict | None) -> str:
    """An error text with every request header value (an API key), however short, taken
    out in every form it may be echoed in: a server may echo the credential it refused."""
    for secret in _secrets(headers):
        text = text.replace(secret, "<api key>")
    return text


def _read_answer(response):
    """The answer's bytes; None when it is larger than MAX_ANSWER_BYTES, or the number of
    bytes received when the connection closed before the announced length."""
    chunks, total = [], 0
    while True:
        chunk = response.read(64 * 1024)
        if not chunk:
            break
        total += len(chunk)
        if total > MAX_ANSWER_BYTES:
            return None
        chunks.append(chunk)
    if response.length:  # bytes still announced by Content-Length
        return total
    return b"".join(chunks)


def _request(url: str, method: str, headers: dict | None, data: bytes | None, provider: str,
             timeout: float):
    req_headers = {"Accept": "application/json"}
    if data is not None:
        req_headers["Content-Type"] = "application/json"
    req_headers.update(headers or {})

    def fail(status, message):
        return ProviderApiError(provider, status, one_line(_redact(message, headers)))

    try:
        request = urllib.request.Request(url, data=data, method=method, headers=req_headers)
        with urllib.request.urlopen(request, timeout=timeout) as response:
            status = response.status
            payload = _read_answer(response)
    except urllib.error.HTTPError as exc:
        try:
            text = exc.read(_MAX_ERROR_BODY).decode("utf-8", "replace").strip()
        except (OSError, ValueError, http.client.HTTPException):
            text = ""
        finally:
            exc.close()
        raise fail(exc.code, text or str(exc.reason)) from None
    except (urllib.error.URLError, OSError) as exc:  # socket.timeout and ConnectionError too
        reason = getattr(exc, "reason", exc)
        raise fail(None, f"{method} request failed: {reason}") from None
    except (ValueError, http.client.InvalidURL) as exc:
        # The request itself cannot be sent (a header value with a line break or outside
        # Latin-1, a URL with spaces): the text would quote the header, so it is not shown.
        raise fail(None, f"{method} request could not be sent: invalid URL or header "
                         f"({type(exc).__name__})") from None
    except http.client.HTTPException as exc:  # a malformed answer: status line, length, headers
        raise fail(None, f"{method} request failed: malformed HTTP answer "
                         f"({type(exc).__name__})") from None
    if payload is None:
        raise fail(status, f"answer larger than {MAX_ANSWER_BYTES} bytes")
    if not isinstance(payload, bytes):
        raise fail(status, f"answer cut short: the connection closed after {payload} bytes")
    if not payload.strip():
        return None
    try:
        return json.loads(payload)
    except (ValueError, RecursionError) as exc:
        snippet = payload[:200].decode("utf-8", "replace")
        why = "nested too deeply" if isinstance(exc, RecursionError) else "invalid JSON answer"
        raise fail(status, f"{why}: {snippet!r}") from None


def http_json(url: str, *, method: str = "POST", headers: dict | None = None, body=None,
              provider: str = "", timeout: float = DEFAULT_TIMEOUT_S):
    """Send one request with a JSON body; the decoded JSON answer (None when empty)."""
    data = json.dumps(body).encode("utf-8") if body is not None else None
    return _request(url, method, headers, data, provider, timeout)


def http_get_json(url: str, *, headers: dict | None = None, provider: str = "",
                  timeout: float = DEFAULT_TIMEOUT_S):
    """GET one URL; the decoded JSON answer (None when empty)."""
    return _request(url, "GET", headers, None, provider, timeout)
