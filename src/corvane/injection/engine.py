"""Rewrites GPU snapshots by rules, so the monitor's reactions can be rehearsed.

Rules are read from the JSON file named by $CORVANE_INJECT_RULES (re-read when it changes),
either a list of rules or {"rules": [...]}. Each rule:

    {"gpu": 0, "set": {"temperature_c": 97}}          replace values
    {"gpu": "*", "add": {"ecc_uncorrected": 1}}       add per poll (counters that rise)
    {"gpu": 1, "lost": true}                          report the GPU as lost
    {"gpu": 2, "remove": true}                        the GPU vanishes from the list
    "after_polls": N                                  (any rule) start after N polls

The monitor calls `intercept_gpu_snapshots` only while $CORVANE_INJECT is on.
"""

from __future__ import annotations

import copy
import json
import logging
import os
import threading

RULES_ENV = "CORVANE_INJECT_RULES"
log = logging.getLogger(__name__)


class InjectionRuleError(ValueError):
    pass


def _validate(rules) -> list[dict]:
    if isinstance(rules, dict):
        rules = rules.get("rules", [])
    if not isinstance(rules, list):
        raise InjectionRuleError("injection rules must be a list or {\"rules\": [...]}")
    for i, rule in enumerate(rules):
        if not isinstance(rule, dict):
            raise InjectionRuleError(f"rule {i} is not an object")
        gpu = rule.get("gpu", "*")
        if gpu != "*" and (isinstance(gpu, bool) or not isinstance(gpu, int)):
            raise InjectionRuleError(f"rule {i}: \"gpu\" must be an index or \"*\"")
        for key in ("set", "add"):
            if key in rule and not isinstance(rule[key], dict):
                raise InjectionRuleError(f"rule {i}: \"{key}\" must be an object")
        for name, value in rule.get("add", {}).items():
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise InjectionRuleError(f"rule {i}: \"add\" value of {name!r} must be a number")
    return rules


class InjectionEngine:
    def __init__(self, rules: list | dict | None = None, path: str | None = None):
        self._lock = threading.Lock()
        self._fixed = _validate(rules) if rules is not None else None
        self._path = path
        self._loaded: tuple[str, float, list] | None = None
        self._polls = 0
        self._added: dict[tuple[int, int, str], float] = {}

    def _rules(self) -> list[dict]:
        if self._fixed is not None:
            return self._fixed
        path = self._path or os.environ.get(RULES_ENV)
        if not path:
            return []
        try:
            mtime = os.stat(path).st_mtime
        except OSError as exc:
            raise InjectionRuleError(f"cannot read injection rules {path}: {exc}") from exc
        if self._loaded is None or self._loaded[:2] != (path, mtime):
            with open(path, encoding="utf-8") as fh:
                try:
                    rules = _validate(json.load(fh))
                except json.JSONDecodeError as exc:
                    raise InjectionRuleError(f"injection rules {path}: {exc}") from exc
            self._loaded = (path, mtime, rules)
        return self._loaded[2]

    def intercept_gpu_snapshots(self, snapshots):
        """The snapshot list with the rules applied (the input itself is left untouched)."""
        with self._lock:
            rules = self._rules()
            self._polls += 1
            if not rules:
                return snapshots
            out = []
            for snap in snapshots:
                snap = copy.deepcopy(snap)
                keep = True
                for number, rule in enumerate(rules):
                    if self._polls <= int(rule.get("after_polls", 0)):
                        continue
                    gpu = rule.get("gpu", "*")
                    if gpu != "*" and snap.get("index") != gpu:
                        continue
                    if rule.get("remove"):
                        keep = False
                        break
                    if rule.get("lost"):
                        snap = {"index": snap.get("index"), "pci_bus_id": snap.get("pci_bus_id"),
                                "nvlink_errors": {}, "gpu_lost": True}
                        break  # a lost GPU reports nothing else
                    snap.update(rule.get("set", {}))
                    for name, step in rule.get("add", {}).items():
                        key = (number, snap.get("index"), name)
                        self._added[key] = self._added.get(key, 0) + step
                        snap[name] = (snap.get(name) or 0) + self._added[key]
                if keep:
                    out.append(snap)
            return out


engine = InjectionEngine()
