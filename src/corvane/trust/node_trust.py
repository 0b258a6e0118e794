"""Which machines to trust, from what the registry recorded about them.

A node's state comes from its hardware findings of the last seven days: a CRITICAL one about
the machine (an Xid the driver calls critical, a double-bit ECC error, a GPU lost, PCIe or
NVLink errors past their critical rate) makes it "distrusted", a WARN hardware finding makes
it "suspect", and otherwise it is "trusted". Findings about the job (NaN, hangs, stalls,
stragglers, a full disk) say nothing about the machine and do not count, nor do findings a
rehearsal's fault injection made ("injected": true in their details). A finding that the
fault catalogue classed (its details' "class") counts only when the class is one of the
machine's own: hardware, memory, interconnect or network; an Xid the job caused, a job's
CUDA out-of-memory or a host OOM kill never does. A state set by hand
wins: "distrusted" stays until allowed again, "trusted" forgives the findings recorded before
it was set.
"""

from __future__ import annotations

import json
import time

TRUSTED, SUSPECT, DISTRUSTED, UNKNOWN = "trusted", "suspect", "distrusted", "unknown"
WINDOW_S = 7 * 24 * 3600

# Findings whose CRITICAL severity means the machine itself failed.
CRITICAL_HARDWARE = frozenset({"xid_critical", "ecc_dbe", "metric_disappearance", "pcie_replay",
                               "nvlink_errors"})
# Findings about the machine; at WARN (or a CRITICAL of these) the machine is suspect.
HARDWARE = CRITICAL_HARDWARE | frozenset({"pcie_aer", "ecc_sbe_rate", "thermal_warning",
                                          "clock_throttle", "power_anomaly"})
SEVERITIES = ("CRITICAL", "WARN", "INFO")
# Fault classes that speak of the machine, and the findings that carry only classed faults.
MACHINE_CLASSES = frozenset({"hardware", "memory", "interconnect", "network"})
CLASSED = frozenset({"job_error", "nvswitch_sxid", "row_remap_pending", "row_remap_failure",
                     "retired_pages_pending", "gpu_fabric_incomplete", "pcie_link_degraded",
                     "nvlink_link_down", "ib_port_down", "ib_port_degraded", "ib_port_errors"})
# About the machine but no failed part (a hot room, a power cap): suspect even when CRITICAL.
SUSPECT_AT_MOST = HARDWARE - CRITICAL_HARDWARE


def _job_nodes(job: dict) -> list[str]:
    nodes = job.get("node_ids")
    if isinstance(nodes, list) and nodes:
        return [str(n) for n in nodes]
    metadata = job.get("metadata")
    if isinstance(metadata, dict) and metadata.get("node_id") is not None:
        return [str(metadata["node_id"])]
    return []


def _fault_class(event: dict) -> str | None:
    try:
        details = json.loads(event.get("details") or "{}")
    except ValueError:
        return None
    fault_class = details.get("class") if isinstance(details, dict) else None
    return fault_class if isinstance(fault_class, str) else None


def _verdict(event: dict) -> str | None:
    fault_class = _fault_class(event)
    if fault_class is not None:
        if fault_class not in MACHINE_CLASSES:
            return None
    elif event["event_type"] not in HARDWARE:
        return None
    if event["severity"] == "CRITICAL" and event["event_type"] not in SUSPECT_AT_MOST:
        return DISTRUSTED
    if event["severity"] in ("CRITICAL", "WARN"):
        return SUSPECT
    return None


def node_trust(registry, now: float | None = None) -> list[dict]:
    """Every node the registry knows, with its state and the evidence for it, by node id."""
    now = time.time() if now is None else now
    since = now - WINDOW_S
    overrides = registry.node_trust_overrides()
    nodes: dict[str, dict] = {}

    def node(node_id) -> dict:
        key = str(node_id)
        if key not in nodes:
            nodes[key] = {"node": key, "state": TRUSTED, "set_by_hand": False, "jobs": 0,
                          "findings": dict.fromkeys(SEVERITIES, 0),
                          "last_critical_hardware": None, "injected_left_out": 0,
                          "reason": "no hardware findings "
                          "in the last 7 days"}
        return nodes[key]

    for row in registry.nodes():
        node(row["node_id"])
    for row in registry.instances():
        if row["machine_id"] is not None:
            node(row["machine_id"])
    for job in registry.jobs(limit=None):
        for n in set(_job_nodes(job)):
            node(n)["jobs"] += 1
    for node_id, counts in registry.finding_counts_by_node().items():
        entry = node(node_id)
        for sev, n in counts.items():
            entry["findings"][sev] = entry["findings"].get(sev, 0) + n
    worst: dict[str, tuple[int, dict]] = {}
    rank = {SUSPECT: 1, DISTRUSTED: 2}
    for ev in registry.events_of_types(HARDWARE | CLASSED):
        if ev["node_id"] is None:
            continue
        entry = node(ev["node_id"])
        if ev.get("injected"):
            entry["injected_left_out"] += 1
            continue
        verdict = _verdict(ev)
        if verdict == DISTRUSTED:
            entry["last_critical_hardware"] = {"at": ev["recorded_at"],
                                               "event_type": ev["event_type"],
                                               "summary": ev["summary"], "job_id": ev["job_id"]}
        override = overrides.get(entry["node"])
        forgiven = override is not None and ev["recorded_at"] < override["set_at"]
        if verdict is None or ev["recorded_at"] < since or forgiven:
            continue
        if rank[verdict] >= worst.get(entry["node"], (0, None))[0]:
            worst[entry["node"]] = (rank[verdict], ev)
    for node_id, override in overrides.items():
        node(node_id)
    for key, entry in nodes.items():
        override = overrides.get(key)
        if override is not None and override["state"] == DISTRUSTED:
            entry.update(state=DISTRUSTED, set_by_hand=True,
                         reason="blocked by hand" + (f": {override['reason']}"
                                                     if override.get("reason") else ""))
            continue
        if key in worst:
            level, ev = worst[key]
            entry["state"] = DISTRUSTED if level == 2 else SUSPECT
            entry["reason"] = f"{ev['severity']} {ev['event_type']}: {ev['summary']}"
        elif override is not None:
            entry.update(set_by_hand=True, reason="allowed by hand")
    return sorted(nodes.values(), key=lambda e: e["node"])


def trust_by_node(registry, now: float | None = None) -> dict[str, dict]:
    return {e["node"]: e for e in node_trust(registry, now)}
