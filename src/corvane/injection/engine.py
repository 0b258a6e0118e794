"""Rewrites GPU snapshots by rules, so the monitor's reactions can be rehearsed.

Rules are read from the JSON file named by $CORVANE_INJECT_RULES (re-read when it changes),
either a list of rules or {"gpus": [...], "rules": [...]}. Each rule:

    {"gpu": 0, "set": {"temperature_c": 97}}          replace values
    {"gpu": 0, "set": {"remap_pending": true}}        GPU state (remaps, fabric, link width)
    {"gpu": "*", "add": {"ecc_uncorrected": 1}}       add per poll (counters that rise)
    {"gpu": 1, "lost": true}                          report the GPU as lost
    {"gpu": 2, "remove": true}                        the GPU vanishes from the list
    {"gpu": 0, "xid": 79}                             the driver reports Xid 79, once
    {"kernel_line": "Out of memory: Killed process 4242 (python) total-vm:..."}
                                                      the kernel prints this line, once
                                                      (an SXid, an OOM kill, a PCIe AER report)
    "after_polls": N                                  (any rule) start after N polls

"gpus" declares synthetic GPUs, used only where the node has no real telemetry (no NVML,
no nvidia-smi), so a rehearsal runs on any machine:

    {"name": "NVIDIA H100 80GB HBM3", "pci_bus_id": "00000000:3B:00.0",
     "readings": {"temperature_c": 45, "util_gpu": 95, ...}}

A GPU's index is its position in the list; its readings start every poll before the rules
apply. Unknown keys, snapshot fields that do not exist and rules for GPUs that do not exist
are errors.

Every snapshot injection supplied or changed carries "injected": the list of the fields
concerned; the monitor marks the findings it draws from such a snapshot "injected": true.
Xid rules queue (gpu index, xid) once when they become due; whoever watches the driver's
events takes them with `pending_xid_events()`. Kernel lines queue once per rule, taken with
`pending_kernel_lines()`.

The monitor calls the engine only while $CORVANE_INJECT is on (and, where
$CORVANE_INJECT_NODES lists node ids, only on those nodes). A rules file that cannot be
used is logged once and injection stays off until the file changes; `load_rules()` raises
instead, for a check before a job starts.
"""

from __future__ import annotations

import copy
import logging
import math
import os
import threading
from dataclasses import dataclass, field

from ..config import NestingError, loads_bounded

RULES_ENV = "CORVANE_INJECT_RULES"
SWITCH_ENV = "CORVANE_INJECT"
NODES_ENV = "CORVANE_INJECT_NODES"
log = logging.getLogger(__name__)

RULE_KEYS = ("gpu", "set", "add", "lost", "remove", "xid", "kernel_line", "after_polls")
MAX_LINE = 4096
GPU_KEYS = ("name", "pci_bus_id", "readings")
# The snapshot fields a rule may set or a synthetic GPU may declare, in snapshot order.
NUMBER_FIELDS = ("temperature_c", "util_gpu", "memory_used_mb", "memory_total_mb",
                 "power_draw_w", "power_limit_w")
COUNTER_FIELDS = ("throttle_reasons", "ecc_corrected", "ecc_uncorrected", "pcie_replay")
# GPU state NVML reports: flags, levels (fabric state and status, PCIe link width and
# generation, NVLink links up) and the NVLink links down.
FLAG_FIELDS = ("remap_pending", "remap_failure", "retired_pages_pending", "persistence_mode",
               "ecc_mode")
LEVEL_FIELDS = ("fabric_state", "fabric_status", "pcie_width", "pcie_width_max", "pcie_gen",
                "pcie_gen_max", "nvlink_links_up")
READING_FIELDS = (*NUMBER_FIELDS, "throttle_reasons_text", *COUNTER_FIELDS, "nvlink_errors",
                  *FLAG_FIELDS, *LEVEL_FIELDS, "nvlink_links_down")
# Counters and Xid codes as the driver reports them, and as the monitor keeps them.
MAX_COUNT = 2**63 - 1
MAX_XID = 2**31 - 1


class InjectionRuleError(ValueError):
    pass


def injection_enabled(environ=os.environ) -> bool:
    """Whether $CORVANE_INJECT switches injection on (as the monitor reads it at each poll).

    $CORVANE_INJECT_NODES, a comma-separated list of node ids, limits it to those nodes: a
    rehearsal of several nodes (a job's monitor and the agents on its other nodes share one
    environment) can make one node's GPU fail."""
    if environ.get(SWITCH_ENV, "").strip().lower() not in ("1", "true", "yes", "on"):
        return False
    nodes = [n.strip() for n in environ.get(NODES_ENV, "").split(",") if n.strip()]
    if not nodes:
        return True
    from ..provision.environment import node_identity

    return node_identity() in nodes


def _is_number(value) -> bool:
    return not isinstance(value, bool) and isinstance(value, (int, float))


def _finite_number(value) -> bool:
    try:
        return _is_number(value) and math.isfinite(value)
    except OverflowError:  # an int too large for a float
        return False


def _is_count(value) -> bool:
    return not isinstance(value, bool) and isinstance(value, int)


def _check_nvlink(where: str, value) -> None:
    if not isinstance(value, dict):
        raise InjectionRuleError(f"{where}: \"nvlink_errors\" must be an object of links")
    for link, counters in value.items():
        try:
            int(link)
        except ValueError:
            raise InjectionRuleError(f"{where}: NVLink link {link!r} is not a number") from None
        if not isinstance(counters, dict) or not all(_is_count(v) and abs(v) <= MAX_COUNT
                                                     for v in counters.values()):
            raise InjectionRuleError(f"{where}: NVLink link {link} must map counters to integers")


def _check_readings(where: str, readings) -> None:
    if not isinstance(readings, dict):
        raise InjectionRuleError(f"{where} must be an object")
    for name, value in readings.items():
        if name not in READING_FIELDS:
            raise InjectionRuleError(f"{where}: unknown snapshot field {name!r} "
                                     f"(known: {', '.join(READING_FIELDS)})")
        if name == "nvlink_errors":
            _check_nvlink(where, value)
        elif value is None:
            continue
        elif name == "throttle_reasons_text":
            if not isinstance(value, str):
                raise InjectionRuleError(f"{where}: {name!r} must be a text")
        elif name == "nvlink_links_down":
            if not (isinstance(value, list) and all(_is_count(v) and 0 <= v < 64 for v in value)):
                raise InjectionRuleError(f"{where}: {name!r} must be a list of link numbers")
        elif name in FLAG_FIELDS:
            if not isinstance(value, bool):
                raise InjectionRuleError(f"{where}: {name!r} must be true, false or null")
        elif not (_is_count(value) and abs(value) <= MAX_COUNT
                  if name in COUNTER_FIELDS + LEVEL_FIELDS else _finite_number(value)):
            kind = "an integer" if name in COUNTER_FIELDS + LEVEL_FIELDS else "a number"
            raise InjectionRuleError(f"{where}: {name!r} must be {kind} or null")


def _unknown_keys(where: str, obj: dict, known) -> None:
    unknown = [k for k in obj if k not in known]
    if unknown:
        raise InjectionRuleError(f"{where}: unknown key {unknown[0]!r} (known: {', '.join(known)})")


def _validate_gpus(gpus) -> list[dict]:
    if not isinstance(gpus, list):
        raise InjectionRuleError("\"gpus\" must be a list")
    for i, gpu in enumerate(gpus):
        where = f"gpu {i}"
        if not isinstance(gpu, dict):
            raise InjectionRuleError(f"{where} is not an object")
        _unknown_keys(where, gpu, GPU_KEYS)
        for key in ("name", "pci_bus_id"):
            if not isinstance(gpu.get(key, ""), str):
                raise InjectionRuleError(f"{where}: \"{key}\" must be a text")
        _check_readings(f"{where} \"readings\"", gpu.get("readings", {}))
    return gpus


def _validate_rule(i: int, rule, gpu_count: int | None) -> None:
    where = f"rule {i}"
    if not isinstance(rule, dict):
        raise InjectionRuleError(f"{where} is not an object")
    _unknown_keys(where, rule, RULE_KEYS)
    gpu = rule.get("gpu", "*")
    if gpu != "*" and (not _is_count(gpu) or gpu < 0):
        raise InjectionRuleError(f"{where}: \"gpu\" must be an index or \"*\"")
    if gpu != "*" and gpu_count is not None and gpu >= gpu_count:
        raise InjectionRuleError(f"{where}: GPU {gpu} does not exist "
                                 f"(the rules declare {gpu_count} GPU(s))")
    if not any(key in rule for key in ("set", "add", "lost", "remove", "xid", "kernel_line")):
        raise InjectionRuleError(f"{where} changes nothing (give set, add, lost, remove, xid or "
                                 "kernel_line)")
    line = rule.get("kernel_line", "")
    if not (isinstance(line, str) and len(line) <= MAX_LINE and "\n" not in line):
        raise InjectionRuleError(f"{where}: \"kernel_line\" must be one line of text, up to "
                                 f"{MAX_LINE} characters")
    if "set" in rule:
        _check_readings(f"{where} \"set\"", rule["set"])
    if "add" in rule:
        if not isinstance(rule["add"], dict):
            raise InjectionRuleError(f"{where}: \"add\" must be an object")
        for name, value in rule["add"].items():
            if name not in NUMBER_FIELDS + COUNTER_FIELDS or name == "throttle_reasons":
                raise InjectionRuleError(f"{where}: \"add\" cannot change {name!r}")
            if not (_is_count(value) and abs(value) <= MAX_COUNT if name in COUNTER_FIELDS
                    else _finite_number(value)):
                raise InjectionRuleError(f"{where}: \"add\" value of {name!r} must be a number")
    for key in ("lost", "remove"):
        if not isinstance(rule.get(key, False), bool):
            raise InjectionRuleError(f"{where}: \"{key}\" must be true or false")
    if "xid" in rule and (not _is_count(rule["xid"]) or not 0 < rule["xid"] <= MAX_XID):
        raise InjectionRuleError(f"{where}: \"xid\" must be a positive integer up to {MAX_XID}")
    after = rule.get("after_polls", 0)
    if not _is_count(after) or not 0 <= after <= MAX_COUNT:
        raise InjectionRuleError(f"{where}: \"after_polls\" must be a non-negative integer up "
                                 f"to {MAX_COUNT}")


@dataclass(frozen=True)
class RuleSet:
    rules: list = field(default_factory=list)
    gpus: list = field(default_factory=list)


def _validate(data) -> RuleSet:
    gpus = []
    rules = data
    if isinstance(data, dict):
        _unknown_keys("injection rules", data, ("gpus", "rules"))
        gpus = _validate_gpus(data.get("gpus", []))
        rules = data.get("rules", [])
    if not isinstance(rules, list):
        raise InjectionRuleError("injection rules must be a list or {\"rules\": [...]}")
    for i, rule in enumerate(rules):
        _validate_rule(i, rule, len(gpus) if gpus else None)
    return RuleSet(rules, gpus)


def _readings(values: dict) -> dict:
    """Values as telemetry gives them: measurements as floats, the rest as written."""
    return {k: float(v) if k in NUMBER_FIELDS and v is not None else copy.deepcopy(v)
            for k, v in values.items()}


def _normalize_pci(value: str) -> str:
    from corvane.monitor import monitoring

    return monitoring._normalize_pci_address(value)


class InjectionEngine:
    def __init__(self, rules: list | dict | None = None, path: str | None = None):
        self._lock = threading.Lock()
        self._fixed = _validate(rules) if rules is not None else None
        self._path = path
        self._loaded: tuple | None = None
        self._polls = 0
        self._added: dict[tuple[int, int, str], float] = {}
        self._checked: RuleSet | None = None  # the rule set whose GPU indexes were checked
        self._reported: str | None = None  # the last rules error logged
        self._xids_due: list[tuple[int, int]] = []
        self._xids_fired: set[tuple[int, int]] = set()
        self._lines_due: list[str] = []
        self._lines_fired: set[int] = set()

    def _rules(self) -> RuleSet:
        if self._fixed is not None:
            return self._fixed
        path = self._path or os.environ.get(RULES_ENV)
        if not path:
            return RuleSet()
        try:
            st = os.stat(path)
            stamp = (path, st.st_mtime_ns, st.st_size)
            if self._loaded is None or self._loaded[0] != stamp:
                with open(path, encoding="utf-8") as fh:
                    text = fh.read()
                self._loaded = (stamp, _validate(loads_bounded(text)))
        except OSError as exc:
            raise InjectionRuleError(f"cannot read injection rules {path}: "
                                     f"{exc.strerror or exc}") from exc
        except (InjectionRuleError, NestingError) as exc:
            raise InjectionRuleError(f"injection rules {path}: {exc}") from exc
        except (ValueError, UnicodeDecodeError) as exc:
            raise InjectionRuleError(f"injection rules {path} are not JSON: {exc}") from exc
        return self._loaded[1]

    def load_rules(self) -> RuleSet:
        """The rules now in force; InjectionRuleError when the file cannot be used."""
        with self._lock:
            return self._rules()

    @staticmethod
    def check_gpu_count(rules: RuleSet, count: int) -> None:
        """InjectionRuleError for a rule naming a GPU index that `count` GPUs do not have."""
        for number, rule in enumerate(rules.rules):
            gpu = rule.get("gpu", "*")
            if gpu != "*" and gpu >= count:
                here = (f"{count} GPU(s) here" if count
                        else "no GPU is detected here and the rules declare none")
                raise InjectionRuleError(f"rule {number}: GPU {gpu} does not exist ({here})")

    def _usable_rules(self) -> RuleSet | None:
        """The rules, or None (logged once per distinct error) when they cannot be used."""
        try:
            rules = self._rules()
        except InjectionRuleError as exc:
            self._report(exc)
            return None
        return rules

    def _report(self, exc: InjectionRuleError) -> None:
        if str(exc) != self._reported:
            self._reported = str(exc)
            log.error("fault injection off: %s", exc)

    def synthetic_snapshots(self) -> list[dict]:
        """One snapshot per declared synthetic GPU, from its base readings (fresh copies)."""
        with self._lock:
            rules = self._usable_rules()
            if rules is None:
                return []
            out = []
            for index, gpu in enumerate(rules.gpus):
                readings = _readings(gpu.get("readings", {}))
                snap = {"index": index, "pci_bus_id": _normalize_pci(gpu.get("pci_bus_id", ""))}
                snap.update({k: readings.get(k) for k in READING_FIELDS if k != "nvlink_errors"})
                snap["nvlink_errors"] = readings.get("nvlink_errors", {})
                snap["injected"] = list(snap)
                out.append(snap)
            return out

    def synthetic_gpu_names(self) -> list[str]:
        with self._lock:
            rules = self._usable_rules()
            return [] if rules is None else [g.get("name", "") for g in rules.gpus]

    def _check_indexes(self, rules: RuleSet, snapshots) -> None:
        if self._checked is rules or not snapshots:
            return
        present = {snap.get("index") for snap in snapshots}
        for number, rule in enumerate(rules.rules):
            gpu = rule.get("gpu", "*")
            if gpu != "*" and gpu not in present:
                shown = ", ".join(str(i) for i in sorted(i for i in present if _is_count(i)))
                raise InjectionRuleError(f"rule {number}: GPU {gpu} does not exist "
                                         f"(GPUs here: {shown})")
        self._checked = rules

    def intercept_gpu_snapshots(self, snapshots):
        """The snapshot list with the rules applied (the input itself is left untouched)."""
        with self._lock:
            rules = self._usable_rules()
            if rules is not None:
                try:
                    self._check_indexes(rules, snapshots)
                    self._reported = None  # usable again: a later error is logged anew
                except InjectionRuleError as exc:
                    self._report(exc)
                    rules = None
            self._polls += 1
            if not rules or not rules.rules:
                return snapshots
            return [snap for snap in (self._apply(rules.rules, s) for s in snapshots)
                    if snap is not None]

    def _apply(self, rules: list[dict], snap: dict) -> dict | None:
        index = snap.get("index")
        active = [(number, rule) for number, rule in enumerate(rules)
                  if self._polls > rule.get("after_polls", 0)
                  and rule.get("gpu", "*") in ("*", index)]
        # An Xid is reported even for a GPU that a rule also removes or loses.
        for number, rule in active:
            if "xid" in rule and (number, index) not in self._xids_fired:
                self._xids_fired.add((number, index))
                self._xids_due.append((index, rule["xid"]))
            if "kernel_line" in rule and number not in self._lines_fired:
                self._lines_fired.add(number)
                self._lines_due.append(rule["kernel_line"])
        snap = copy.deepcopy(snap)
        changed = list(snap.get("injected") or [])
        for number, rule in active:
            if rule.get("remove"):
                return None
            if rule.get("lost"):
                # A lost GPU reports nothing else.
                return {"index": index, "pci_bus_id": snap.get("pci_bus_id"),
                        "nvlink_errors": {}, "gpu_lost": True, "injected": ["gpu_lost"]}
            snap.update(_readings(rule.get("set", {})))
            for name, step in rule.get("add", {}).items():
                key = (number, index, name)
                self._added[key] = self._added.get(key, 0) + step
                value = (snap.get(name) or 0) + self._added[key]
                snap[name] = float(value) if name in NUMBER_FIELDS else value
            changed += [k for k in (*rule.get("set", {}), *rule.get("add", {})) if k not in changed]
        if changed:
            snap["injected"] = changed
        return snap

    def pending_kernel_lines(self) -> list[str]:
        """The injected kernel lines that came due and were not taken yet; each comes once."""
        with self._lock:
            due, self._lines_due = self._lines_due, []
            return due

    def pending_xid_events(self) -> list[tuple[int, int]]:
        """The (gpu index, xid) pairs that came due and were not taken yet; each comes once."""
        with self._lock:
            due, self._xids_due = self._xids_due, []
            return due


engine = InjectionEngine()
