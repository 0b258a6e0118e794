"""The fleet's commands: `corvane jobs`, `corvane trust`, the documents `--json` prints, and
the marketplace adapter that leaves out distrusted machines and prefers trusted ones."""

from __future__ import annotations

import dataclasses
import json
import math
import os
import signal
import sys
import time

from .trust.node_trust import (DISTRUSTED, SEVERITIES, TRUSTED, UNKNOWN, WINDOW_S, node_trust,
                                 trust_by_node)
from .ui.display import shown


def _plain(value):
    """`value` as strict JSON can hold it: NaN and infinities (a diverged loss in a finding's
    details, an odd marketplace price) become null, other values JSON lacks their text."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (str, int)):
        return value
    return str(value)


def print_json(document) -> None:
    """One JSON document on stdout."""
    json.dump(_plain(document), sys.stdout, indent=2, allow_nan=False)
    sys.stdout.write("\n")


# Writes kept while a shared registry was unreachable get this long at the end of a job; a
# registry file that cannot be written (a full disk) is not waited on as long.
REGISTRY_FLUSH_S = float(os.environ.get("CORVANE_REGISTRY_FLUSH_S", "60") or 60)
FILE_FLUSH_S = 5.0


def settle_registry(registry, result, stopped_by, print_summary, journal_dirs=()) -> int:
    """At a job's end: waits a while for the writes the registry did not take yet, puts what
    it still does not take in a journal (replayed when the registry is next opened), prints
    the job's summary and returns how many records are not in the registry."""
    wait = REGISTRY_FLUSH_S if registry.kind == "postgresql" else min(REGISTRY_FLUSH_S,
                                                                      FILE_FLUSH_S)
    lost = registry.flush(wait) if registry.pending_writes else 0
    journal = None
    if lost:
        _, journal = registry.journal_pending(journal_dirs)
    print_summary(result, registry, stopped_by)
    if lost:
        # Said plainly: these records are not in the registry (yet).
        why = f"{registry.path} did not take {lost} record(s) of job {result.job_id}"
        if registry.outage:
            why += f" ({registry.outage})"
        if journal is not None:
            print(shown(f"corvane: the registry {why}: they are kept in {journal} and recorded "
                        "when the registry is next opened"), file=sys.stderr)
        else:
            print(shown(f"corvane: the registry {why}: they were not written, and no journal "
                        "file could be written either"), file=sys.stderr)
    return lost


def vast_trust(args, open_registry, cli_error):
    """The registry (None when there is none yet) and each known machine's trust state, for
    `vast offers` and `vast launch`."""
    from .trust.registry import RegistryError, is_database_url, registry_location

    where = args.registry if args.registry is not None else registry_location()
    if not is_database_url(where) and not os.path.lexists(where) and args.vast_command != "launch":
        return None, {}
    registry = open_registry(where, create=True)
    try:
        return registry, trust_by_node(registry)
    except RegistryError as exc:
        raise cli_error(f"{exc}; no machine's trust can be told, so nothing was searched or "
                        "rented") from None


def _when(ts) -> str:
    return "-" if ts is None else time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts))


def _duration(seconds) -> str:
    if seconds is None:
        return "-"
    seconds = int(round(seconds))
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}h{m:02d}m{s:02d}s" if h else (f"{m}m{s:02d}s" if m else f"{s}s")


def _counts_text(counts: dict) -> str:
    return " ".join(f"{counts.get(s, 0)}{s[0]}" for s in SEVERITIES)


def _job_document(job: dict, counts: dict, now: float) -> dict:
    nodes = job.get("node_ids") or []
    if not nodes and isinstance(job.get("metadata"), dict) and job["metadata"].get("node_id"):
        nodes = [job["metadata"]["node_id"]]
    end = job.get("finished_at")
    duration = (end if end is not None else now) - job["started_at"]
    return {"job_id": job["job_id"], "status": job["status"], "nodes": [str(n) for n in nodes],
            "started_at": job["started_at"], "finished_at": end,
            "duration_s": round(max(duration, 0.0), 3),
            "findings": {s: counts.get(s, 0) for s in SEVERITIES},
            "command": job["command"]}


def cmd_jobs(args, registry, table) -> int:
    now = time.time()
    counts = registry.finding_counts()
    jobs = [_job_document(j, counts.get(j["job_id"], {}), now)
            for j in registry.jobs(limit=args.limit, status=args.status)]
    if args.json:
        print_json({"registry": str(registry.path), "jobs": jobs})
        return 0
    if not jobs:
        print(shown(f"no jobs recorded in {registry.path}"
                    + (f" with status {args.status}" if args.status else "")))
        return 0
    table([(j["job_id"], j["status"], ",".join(j["nodes"]) or "-", _when(j["started_at"]),
            _duration(j["duration_s"]), _counts_text(j["findings"])) for j in jobs],
          ("JOB", "STATUS", "NODES", "STARTED", "DURATION", "FINDINGS (C/W/I)"))
    return 0


def _trust_document(entry: dict) -> dict:
    return {"node": entry["node"], "state": entry["state"], "set_by_hand": entry["set_by_hand"],
            "reason": entry["reason"], "jobs": entry["jobs"],
            "findings": {s: entry["findings"].get(s, 0) for s in SEVERITIES},
            "last_critical_hardware": entry["last_critical_hardware"],
            "injected_left_out": entry["injected_left_out"]}


def cmd_trust(args, registry, table) -> int:
    if args.trust_command in ("block", "allow", "clear"):
        state = {"block": DISTRUSTED, "allow": TRUSTED, "clear": None}[args.trust_command]
        registry.set_node_trust(args.node, state, getattr(args, "reason", None))
        if registry.flush(10):
            print(shown(f"corvane: the registry {registry.path} is unreachable; node {args.node} "
                        "was not changed"), file=sys.stderr)
            return 1
        entry = trust_by_node(registry).get(str(args.node))
        if args.json:
            print_json({"registry": str(registry.path), "node": str(args.node),
                        "action": args.trust_command,
                        "trust": None if entry is None else _trust_document(entry)})
        elif entry is None:  # cleared, and nothing else recorded about it
            print(shown(f"node {args.node}: nothing recorded (trusted until a hardware finding)"))
        else:
            print(shown(f"node {args.node}: {entry['state']} ({entry['reason']})"))
        return 0
    entries = [_trust_document(e) for e in node_trust(registry)]
    if args.json:
        print_json({"registry": str(registry.path), "window_days": WINDOW_S // 86400,
                    "nodes": entries})
        return 0
    if not entries:
        print(shown(f"no nodes recorded in {registry.path}"))
        return 0

    def last(e):
        c = e["last_critical_hardware"]
        return "-" if c is None else f"{_when(c['at'])} {c['event_type']}: {c['summary']}"

    table([(e["node"], e["state"] + (" (by hand)" if e["set_by_hand"] else ""), e["jobs"],
            _counts_text(e["findings"]), last(e)) for e in entries],
          ("NODE", "STATE", "JOBS", "FINDINGS (C/W/I)", "LAST CRITICAL HARDWARE FINDING"))
    injected = sum(e["injected_left_out"] for e in entries)
    if injected:
        print(f"{injected} hardware finding{'s' if injected != 1 else ''} made by fault "
              "injection (rehearsals) left out of the states")
    return 0


def findings_document(job: dict, events: list, recovery: list) -> dict:
    return {"job": {"job_id": job["job_id"], "status": job["status"], "command": job["command"],
                    "nodes": job.get("node_ids") or [], "started_at": job["started_at"],
                    "finished_at": job.get("finished_at")},
            "findings": [{"recorded_at": e["recorded_at"], "node": e["node_id"],
                          "event_type": e["event_type"], "severity": e["severity"],
                          "summary": e["summary"], "details": e["details"],
                          "occurrences": e.get("occurrences") or 1,
                          "last_seen": e.get("last_seen") or e["recorded_at"]} for e in events],
            "recovery": [{"recorded_at": r["recorded_at"], "mode": r["mode"],
                          "status": r["status"], "summary": r["summary"], "plan": r["plan"]}
                         for r in recovery]}


def marketplace_gpu(name: str | None) -> tuple[str | None, str | None]:
    """A marketplace spelling (H100_SXM, rtx_4090) -> (its key in the marketplace's GPU name
    table, the GPU's name there); (None, None) for a name the table does not hold."""
    if not name:
        return None, None
    from .providers.vast import VAST_GPU_NAME_MAP

    folded = name.strip().upper().replace(" ", "_").replace("-", "_")
    for key, shown_name in VAST_GPU_NAME_MAP.items():
        if key.upper() == folded:
            return key, shown_name
    return None, None


def resolve_gpu_profile(name: str | None, config=None):
    """The baseline profile for a driver's or a marketplace's GPU name, the name it was looked
    up by and, when it fell back to the generic profile, a line saying so."""
    from .trust.baselines import detect_gpu_profile

    _, market_name = marketplace_gpu(name)
    looked_up = market_name or name
    profile = detect_gpu_profile(looked_up, config)
    note = None
    if name and profile.name == "generic":
        note = (f"no baseline profile matches {name!r}; the generic profile stands in "
                "(corvane profile --list shows the known ones)")
    return profile, looked_up, note


def profile_document(profile) -> dict:
    return dict(profile.to_dict())


def cmd_profile_list(args) -> int:
    from .trust.baselines import BASELINES

    profiles = [profile_document(p) for p in BASELINES]
    if args.json:
        print_json({"profiles": profiles})
        return 0
    # Lookup takes the first profile, in this order, with a fragment found in the name.
    width = max(len("PROFILE"), *(len(p["name"]) for p in profiles))
    print(f"{'PROFILE':<{width}}  MATCHES (in lookup order; the first match wins)")
    for p in profiles:
        print(f"{p['name']:<{width}}  {', '.join(p.get('match_substrings') or ()) or '-'}")
    return 0


# -- the marketplace, steered by trust ------------------------------------------------------


def trust_steered_provider(states: dict[str, dict]):
    """A marketplace adapter whose searches leave out distrusted machines and rank trusted
    ones first, and whose instances carry CORVANE_NODE_ID (their machine id), so that a
    monitor running there records its findings under that machine."""
    from .providers.vast import VastProvider

    distrusted = {n for n, e in states.items() if e["state"] == DISTRUSTED}
    # Machines that ran jobs without hardware trouble, those with the most jobs first.
    preferred = [n for n, e in sorted(states.items(), key=lambda kv: -kv[1]["jobs"])
                 if e["state"] == TRUSTED and e["jobs"] > 0]
    preferred_ids = []
    for n in preferred:
        try:
            preferred_ids.append(int(n))
        except ValueError:
            continue  # not a marketplace machine

    class TrustSteeredVast(VastProvider):
        def _find_offers(self, spec, api_key, *, limit):
            if preferred_ids:
                spec = dataclasses.replace(spec, provider_hints=tuple(spec.provider_hints) + (
                    ("vast_preferred_machine_ids", list(preferred_ids)),))
            offers = super()._find_offers(spec, api_key, limit=int(limit) + len(distrusted))
            return [o for o in offers if str(o.get("machine_id")) not in distrusted]

        def _launch_offer(self, offer, spec, api_key, *, on_contract=None):
            machine = offer.get("machine_id") if isinstance(offer, dict) else None
            if machine is not None and not any(k == "CORVANE_NODE_ID" for k, _ in spec.env):
                spec = dataclasses.replace(
                    spec, env=tuple(spec.env) + (("CORVANE_NODE_ID", str(machine)),))
            return super()._launch_offer(offer, spec, api_key, on_contract=on_contract)

    return TrustSteeredVast()


def offer_trust(states: dict[str, dict], offer: dict) -> str:
    entry = states.get(str(offer.get("machine_id")))
    return entry["state"] if entry is not None else UNKNOWN


def offer_document(offer: dict, trust: str) -> dict:
    return {"id": offer.get("id"), "machine_id": offer.get("machine_id"),
            "gpu_name": offer.get("gpu_name"), "num_gpus": offer.get("num_gpus"),
            "price_per_hour": offer.get("dph_total"), "reliability": offer.get("reliability"),
            "location": offer.get("geolocation"), "trust": trust}


def instance_document(ref) -> dict:
    return {"id": ref.instance_id, "status": ref.status, "gpu_type": ref.gpu_type,
            "gpu_count": ref.gpu_count, "ssh_host": ref.ssh_host, "ssh_port": ref.ssh_port,
            "region": ref.region, "label": ref.name,
            "machine_id": ref.raw.get("machine_id") if isinstance(ref.raw, dict) else None}
