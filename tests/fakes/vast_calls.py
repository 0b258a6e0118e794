"""Every marketplace adapter operation that reads an answer, and what a valid result of each
looks like: shared by the answer sweep in the tests and the fuzz harness."""

from __future__ import annotations

import re

from corvane.providers.base import InstanceRef, ProvisionResult

OPERATIONS = ("offers", "launch", "hedge", "list", "get", "attach", "terminate")
CONTRACT_ID = re.compile(r"[A-Za-z0-9._-]{1,64}")


def call(provider, op, spec, key, instance_id):
    """Run one operation as the host calls it."""
    return {
        "offers": lambda: provider._find_offers(spec, key, limit=5),
        "launch": lambda: provider.provision(spec, api_key=key),
        "hedge": lambda: provider.provision_candidates(spec, api_key=key, count=3,
                                                       stagger_seconds=0),
        "list": lambda: provider.list_instances(key),
        "get": lambda: provider.get_instance(instance_id, api_key=key),
        "attach": lambda: provider._attach_ssh_key(instance_id, spec, key),
        "terminate": lambda: provider.terminate(instance_id, api_key=key),
    }[op]()


def check_instance(ref) -> None:
    assert isinstance(ref, InstanceRef) and ref.provider == "vast", ref
    for text in (ref.instance_id, ref.name, ref.gpu_type, ref.status, ref.ssh_host, ref.region):
        text.encode("utf-8")  # real text: no lone surrogates
    assert ref.gpu_count >= 1 and isinstance(ref.ssh_port, int), ref


def check_launched(result) -> None:
    assert isinstance(result, ProvisionResult), result
    assert CONTRACT_ID.fullmatch(result.instance_id) and isinstance(result.raw, dict), result


def check_result(op, result) -> None:
    """Raise AssertionError unless `result` is a valid result of operation `op`."""
    if op == "offers":
        assert all(isinstance(o, dict) and o.get("id") is not None for o in result), result
    elif op == "launch":
        check_launched(result)
    elif op == "hedge":
        assert result
        for r in result:
            check_launched(r)
    elif op == "list":
        for ref in result:
            check_instance(ref)
    elif op in ("get", "parse"):
        check_instance(result)
    elif op == "attach":
        assert result in (True, False), result
    else:
        assert result is None, result
