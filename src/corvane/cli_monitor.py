"""The commands that watch: `corvane monitor`, `corvane agent` and `corvane findings`."""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import signal
import sys
import threading

from .cli_common import _JSON_OPTION, _REGISTRY_OPTION, CliError, _registry, _shown
from .config import load_config
from .metrics.prometheus import add_prometheus_arguments

def _cmd_findings(args) -> int:
    registry = _registry(args.registry, create=False)
    job_id = args.job
    if job_id is None:
        jobs = registry.jobs(limit=1)
        if not jobs:
            if args.json:
                from .fleet_cli import print_json

                print_json({"job": None, "findings": [], "recovery": []})
                return 0
            print(f"no jobs recorded in {_shown(registry.path, None)}")
            return 0
        job_id = jobs[0]["job_id"]
    job = registry.job(job_id)
    if job is None:
        print(f"corvane: no job {_shown(repr(job_id))} in {_shown(registry.path, None)}",
              file=sys.stderr)
        return 1
    if args.json:
        from .fleet_cli import findings_document, print_json

        print_json(findings_document(job, registry.events(job_id),
                                     registry.recovery_events(job_id)))
        return 0
    # Recorded as they came: shown escaped.
    print(_shown(f"job {job['job_id']}  status={job['status']}  command: {job['command']}", None))
    events = registry.events(job_id)
    if not events:
        print("  no findings")
    # A job over several nodes says where each finding was seen.
    several = len({ev.get("node_id") for ev in events}) > 1 or len(job.get("node_ids") or []) > 1
    width = max([len(str(ev.get("node_id"))) for ev in events] + [4]) if several else 0
    for ev in events:
        seen = ev.get("occurrences") or 1
        node = f"{ev.get('node_id')!s:<{width}} " if several else ""
        print(_shown(f"  {ev['severity']:<8} {ev['event_type']:<24} {node}{seen:>4}x  "
                     f"{ev['summary']}", None))
    for rec in registry.recovery_events(job_id):
        print(_shown(f"  recovery {rec['status']} ({rec['mode']}): {rec['summary']}", None))
    return 0


# The status of a hung job that corvane ended (as `timeout` reports a command it ended).
HUNG_JOB_STATUS = 124


def _exit_status(returncode: int) -> int:
    # A child ended by signal N reports -N; shells report that as 128 + N.
    return returncode if returncode >= 0 else 128 - returncode


def _print_summary(result, registry, stopped_by=None) -> None:
    print(f"\n[corvane] job {result.job_id} exited with status {result.returncode}; "
          f"{len(result.findings)} finding(s)")
    if stopped_by is not None:
        print(f"[corvane] stopped on {signal.Signals(stopped_by).name}")
    dropped = getattr(result, "output_lines_dropped", 0)
    if dropped:
        print(f"[corvane] output: the last {len(result.output_lines)} lines kept, {dropped} older "
              "ones not kept (all were shown and parsed; see monitor.max_output_lines)")
    if result.findings:
        counts = getattr(result, "finding_counts", None) or [1] * len(result.findings)
        rows = [(f.severity, f.event_type) for f in result.findings]
        # Findings from other nodes (an agent's, a rank's) say where: every row then does.
        nodes = [getattr(f, "node_id", None) for f in result.findings]
        if any(n is not None for n in nodes):
            from .provision.environment import node_identity

            rows = [row + (node_identity() if n is None else n,) for row, n in zip(rows, nodes)]
        rows = [[_shown(v, None) for v in row] for row in rows]
        widths = [max(len(head), *(len(row[i]) for row in rows))
                  for i, head in enumerate(("SEVERITY", "EVENT", "NODE")[:len(rows[0])])]
        heads = ("SEVERITY", "EVENT", "NODE")[:len(widths)]

        def cells(row) -> str:
            return "  ".join(f"{v:<{w}}" for v, w in zip(row, widths))

        print(f"  {cells(heads)}  {'SEEN':>5}  SUMMARY")
        for row, f, n in zip(rows, result.findings, counts):
            print(f"  {cells(row)}  {n:>4}x  {_shown(f.summary, None)}")
    if result.recovery is not None:
        print(_shown(f"[corvane] recovery {result.recovery.status}: {result.recovery.summary}",
                     None))
    from .trust.registry import RegistryError

    try:
        planned = [r for r in registry.recovery_events(result.job_id) if r["status"] == "planned"]
    except RegistryError as exc:  # the job's own status still decides the exit status
        print(f"[corvane] recovery: not known ({exc})")
        planned = None
    if planned:
        latest = {r["node_id"]: r for r in planned}  # each node's latest plan
        for rec in latest.values():
            print(_shown(f"[corvane] recovery planned (not executed): {rec['summary']}", None))
    elif planned is not None and result.recovery is None:
        print("[corvane] recovery: not triggered")
    where = ""
    if os.environ.get("CORVANE_REGISTRY") is None:
        where = f" --registry {shlex.quote(_absolute_registry(registry.path))}"
    print(_shown(f"[corvane] details: {_own_command()} findings --job {result.job_id}{where}",
                 None))


def _own_command() -> str:
    """How to run this corvane again from a new shell: its plain name when PATH finds this
    very program, else its full path (a venv that is not activated)."""
    me = os.path.realpath(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    found = shutil.which("corvane")
    if me and os.path.basename(me) == "corvane" and not (found and os.path.realpath(found) == me):
        return shlex.quote(me)
    return "corvane"


def _absolute_registry(path) -> str:
    path = os.fspath(path) if isinstance(path, os.PathLike) else str(path)
    return path if "://" in path else os.path.abspath(path)


def _start_failure(exc: OSError, command: list) -> CliError:
    """The exit status of a job that could not start: 127 not found, 126 not runnable."""
    target = os.fspath(exc.filename) if exc.filename is not None else None
    reason = exc.strerror or str(exc)
    if target is not None and (target == command[0] or os.path.basename(target) == "srun"):
        status = 127 if isinstance(exc, FileNotFoundError) else 126
        return CliError(f"cannot run {target!r}: {reason}", status)
    return CliError(f"cannot start the job: {target + ': ' if target else ''}{reason}")


def _gpus_here() -> int | None:
    """How many GPUs this node's driver lists (0: none); None when the tool did not answer."""
    from .provision.environment import detect_gpu_inventory

    inventory = detect_gpu_inventory()
    if inventory or inventory.no_answer:
        return len(inventory) or None
    from .monitor import monitoring

    nvml = getattr(monitoring, "pynvml", None)
    try:
        nvml.nvmlInit()
        try:
            return int(nvml.nvmlDeviceGetCount())
        finally:
            nvml.nvmlShutdown()
    except Exception:  # noqa: BLE001 - no NVML (or no binding): no GPU it knows of
        return 0


def _check_injection_rules() -> None:
    """With fault injection on, rules that cannot be used stop the command before the job."""
    from .injection.engine import RULES_ENV, InjectionRuleError, engine, injection_enabled

    if not injection_enabled():
        return
    if not os.environ.get(RULES_ENV):
        raise CliError(f"fault injection is on (CORVANE_INJECT) but {RULES_ENV} names no "
                       "rules file", 2)
    try:
        rules = engine.load_rules()
        if any(rule.get("gpu", "*") != "*" for rule in rules.rules):
            # Real GPUs take the rules where they answer; the declared ones stand in where
            # none does.
            count = _gpus_here()
            if count is not None:
                engine.check_gpu_count(rules, count or len(rules.gpus))
    except InjectionRuleError as exc:
        raise CliError("fault injection: " + " ".join(str(exc).splitlines()), 2) from None


_STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


def _prometheus_exporter(args, stream=None):
    """The Prometheus exporter the options ask for, serving already, or None."""
    from .metrics.prometheus import ExporterError, exporter_from_args
    from .provision.environment import node_identity

    try:
        exporter = exporter_from_args(args, node_identity())
    except ExporterError as exc:
        raise CliError(str(exc), exc.status) from None
    if exporter is not None and exporter.url is not None:
        print(f"[corvane] Prometheus metrics at {exporter.url}", file=stream or sys.stdout,
              flush=True)
    return exporter


def _with_prometheus(args, bridge):
    """The metrics bridge, fanned out to a Prometheus exporter if the options ask for one."""
    from .tracking import FanOutBridge

    try:
        exporter = _prometheus_exporter(args)
    except CliError:
        if bridge is not None:
            bridge.close()
        raise
    if exporter is None:
        return bridge
    return exporter if bridge is None else FanOutBridge([bridge, exporter])


def _cmd_monitor(args) -> int:
    from .monitor import monitoring
    from .tracking import FanOutBridge, MetricsFileBridge, RegistryHeartbeat

    command = list(args.job_command)
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        raise CliError("monitor needs a command after --", 2)
    config = load_config(args.config)
    _check_injection_rules()
    from .agent_step import unwatched_nodes_line

    unwatched = unwatched_nodes_line(config)
    if unwatched:
        print(unwatched, flush=True)
    # A journal a run left in this checkpoint directory (its registry was full) is replayed.
    registry = _registry(args.registry, journal_dirs=[args.checkpoint_dir])
    bridge = None
    if args.metrics_file:
        try:
            bridge = MetricsFileBridge(args.metrics_file)
        except OSError as exc:
            raise CliError(f"cannot write the metrics file {args.metrics_file}: "
                           f"{exc.strerror or exc}") from None
    bridge = _with_prometheus(args, bridge)
    # The job's heartbeat in the registry, so that a monitor that dies leaves its job lost.
    bridge = FanOutBridge([bridge, RegistryHeartbeat(registry)])
    # A supervisor's SIGTERM, a closed terminal's SIGHUP and Ctrl-C all go to the job, which
    # gets "monitor" -> "stop_grace" to finish; a second signal kills it at once.
    received: list[int] = []

    def on_signal(signum, _frame):
        received.append(signum)
        monitoring.request_stop(signum)

    previous = {}
    if threading.current_thread() is threading.main_thread():
        previous = {s: signal.signal(s, on_signal) for s in _STOP_SIGNALS}
    try:
        result = monitoring.run_monitored_command(command, config, registry,
                                                  args.checkpoint_dir, wandb_bridge=bridge)
    except KeyboardInterrupt:
        print("\n[corvane] interrupted; the job's end was recorded as interrupted",
              file=sys.stderr)
        return 130
    except OSError as exc:
        raise _start_failure(exc, command) from None
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
        if bridge is not None:
            bridge.close()
    from .fleet_cli import settle_registry

    lost = settle_registry(registry, result, received[0] if received else None, _print_summary,
                           [args.checkpoint_dir])
    if received:
        return 128 + received[0]
    if getattr(result, "stopped_for", None) == "hang":
        return HUNG_JOB_STATUS
    status = _exit_status(result.returncode)
    return 1 if lost and status == 0 else status


def _cmd_agent(args) -> int:
    from .agent import command

    # Standard output carries the findings: the exporter's address goes to standard error.
    return command(args, load_config, _registry, _check_injection_rules,
                   lambda a: _prometheus_exporter(a, sys.stderr))


MONITOR_EXIT_STATUSES = """\
exit status:
  N      the job's own exit status (0 when it succeeded)
  1      corvane failed at run time (registry, metrics file, Prometheus port or
         textfile, checkpoint directory, ...), or the job succeeded but some of its
         records are not in the registry (a line on stderr says where they wait)
  2      usage or configuration error; nothing was started
  126    the command is not executable (or is a directory)
  124    the job hung (no progress beyond the hang timeout) and corvane ended it
         (monitor.on_hang = "stop"); a batch script can requeue it on this status
  127    the command was not found
  128+N  the job was ended by signal N, or corvane received signal N (SIGTERM, SIGHUP,
         SIGINT) and passed it on to the job
  130    Ctrl-C (SIGINT)
"""


def add_parsers(sub) -> None:
    p = sub.add_parser("monitor", help="run a training command under watch",
                       usage="corvane monitor [options] -- COMMAND [ARGS...]",
                       formatter_class=argparse.RawDescriptionHelpFormatter,
                       epilog=MONITOR_EXIT_STATUSES)
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.add_argument("--checkpoint-dir", default=os.environ.get("CORVANE_CHECKPOINT_DIR",
                                                              "checkpoints"),
                   help="where the hook file lives and recovery looks for checkpoints "
                        "(default: ./checkpoints)")
    p.add_argument("--metrics-file", help="append findings and GPU metrics as JSON lines")
    p.add_argument("--registry", help=_REGISTRY_OPTION)
    add_prometheus_arguments(p)
    p.add_argument("job_command", nargs=argparse.REMAINDER, help="the command, after --")
    p.set_defaults(func=_cmd_monitor)

    p = sub.add_parser("agent", help="watch this node without a job, one finding per line",
                       description="Watches this node (GPU telemetry and events, the kernel "
                                   "log, GPU inventory, disk) until SIGTERM or SIGINT and prints "
                                   "each finding as a JSON line: node, time, event_type, "
                                   "severity, summary, details. A job's monitor runs it on the "
                                   "other nodes of a Slurm allocation.")
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.add_argument("--format", choices=("json", "text"), default="json",
                   help="json: one JSON object per line (default); text: readable lines")
    p.add_argument("--stdin-eof", action="store_true",
                   help="also stop when standard input closes")
    p.add_argument("--job-running", action="store_true",
                   help="a job is using this node's GPUs (idle GPUs are then a finding)")
    p.add_argument("--registry", help="record the findings in this registry, as a job of "
                                      "kind agent")
    add_prometheus_arguments(p)
    p.set_defaults(func=_cmd_agent)

    p = sub.add_parser("findings", help="show what the registry recorded for a job")
    p.add_argument("--job", help="job id (default: the latest job)")
    p.add_argument("--registry", help=_REGISTRY_OPTION)
    p.add_argument("--json", action="store_true", help=_JSON_OPTION)
    p.set_defaults(func=_cmd_findings)
