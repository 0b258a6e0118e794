"""Coverage-guided fuzzing of the marketplace adapter's answer handling, without HTTP.

The module's request functions (`http_json`, `http_get_json`) are replaced by ones that hand
back fuzzed JSON-like values, or raise ProviderApiError with a fuzzed status, and every
operation that reads an answer is run on them. Any exception other than ProviderApiError, or
the documented ValueError of get_instance ("... not found"), is a finding; so is an error
message that spans lines or shows the API key, or a result with an unusable identifier.

    pip install atheris        # development only
    python fuzz/fuzz_vast_answers.py -max_total_time=60 [corpus_dir]
"""

from __future__ import annotations

import json
import logging
import sys
import time
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from fakes.vast_calls import OPERATIONS, call, check_result  # noqa: E402

with atheris.instrument_imports():
    from corvane.providers import vast
    from corvane.providers._http import ProviderApiError, one_line
    from corvane.providers.base import ProvisionSpec

KEY = "sk-fuzz-secret-0123456789"
INSTANCE = "28731904"
MAX_DEPTH = 5
OFFER_KEYS = ["id", "machine_id", "dph_total", "inet_down", "reliability", "geolocation"]
ANSWER_KEYS = ["offers", "instances", "success", "msg", "new_contract", "contract", "label",
               "gpu_name", "num_gpus", "actual_status", "intended_status", "ssh_host",
               "ssh_port", "country", "error"] + OFFER_KEYS
SPEC = ProvisionSpec(gpu_type="RTX_4090", gpu_count=1, ssh_public_key="ssh-ed25519 AAAA a@b\nk2",
                     provider_hints=(("vast_preferred_machine_ids", [3, "7"]),))
P = vast.VastProvider()


def value(fdp: atheris.FuzzedDataProvider, depth: int = 0):
    """One JSON-like value: what a decoded answer can hold, lone surrogates and non-finite
    numbers included."""
    kind = fdp.ConsumeIntInRange(0, 9 if depth < MAX_DEPTH else 6)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-5, 50)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 64))  # up to 2**512
    if kind == 4:
        return fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeFloat()
    if kind in (5, 6):
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 7:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    keys = OFFER_KEYS if kind == 8 else ANSWER_KEYS
    out = {}
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        key = fdp.PickValueInList(keys) if fdp.ConsumeBool() else fdp.ConsumeUnicode(3)
        out[key] = value(fdp, depth + 1)
    return out


def answer(fdp: atheris.FuzzedDataProvider):
    """What one request gives: a value built field by field, the decoding of fuzzed JSON text,
    or a request failure."""
    mode = fdp.ConsumeIntInRange(0, 4)
    if mode == 0:
        text = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 200))
        try:
            return json.loads(text)
        except (ValueError, RecursionError):
            return None
    if mode == 1:
        status = fdp.PickValueInList([None, 200, 400, 401, 404, 409, 410, 429, 500, 503])
        # As the host's request functions raise it: one line.
        return ProviderApiError("vast", status, one_line(fdp.ConsumeUnicode(20)))
    return value(fdp)


def install(fdp: atheris.FuzzedDataProvider) -> None:
    answers = [answer(fdp) for _ in range(fdp.ConsumeIntInRange(1, 6))]
    calls = iter(range(1_000_000))

    def respond(*args, **kwargs):
        got = answers[min(next(calls), len(answers) - 1)]
        if isinstance(got, BaseException):
            raise got
        return got

    vast.http_json = respond
    vast.http_get_json = respond


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    op = fdp.PickValueInList([*OPERATIONS, "parse"])  # parse: _parse_instance on one item
    install(fdp)
    try:
        if op == "parse":
            item = value(fdp, MAX_DEPTH - 2)
            if not isinstance(item, dict):
                return
            result = vast.VastProvider._parse_instance(item)
        else:
            result = call(P, op, SPEC, KEY, INSTANCE)
    except ProviderApiError as exc:
        text = str(exc)
        if "\n" in text or KEY in text:
            raise AssertionError(f"bad error message: {text!r}") from exc
        return
    except ValueError as exc:
        if op == "get" and str(exc) == f"Vast.ai instance {INSTANCE} not found":
            return
        raise
    check_result(op, result)


def main() -> None:
    time.sleep = lambda seconds: None  # retries back off through the host's sleep
    logging.getLogger("corvane.providers.vast").disabled = True
    # The adapter is native code; coverage comes from the Python it calls and from this
    # harness (which answer shapes and outcomes were reached).
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
