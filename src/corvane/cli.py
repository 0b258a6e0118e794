"""corvane runs machine-learning training on rented GPU machines, watches the job and the
hardware while it runs, and remembers which machines failed, so that the next job runs on
one that didn't."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import shlex
import shutil
import signal
import sys
import threading

from . import __version__
from .config import ConfigError, load_config
from .metrics.prometheus import add_prometheus_arguments


class CliError(Exception):
    """A failure the command reports as one line, with its exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def _registry(path, create: bool = True, journal_dirs=()):
    from .trust.registry import RegistryError, TrustRegistry, is_database_url, registry_location

    where = path if path is not None else registry_location()
    try:
        return TrustRegistry(where, create=create, journal_dirs=journal_dirs)
    except RegistryError as exc:
        if not create and not is_database_url(where) and not os.path.lexists(where):
            raise CliError(f"no registry at {where}: no job has been recorded there") from None
        raise CliError(str(exc)) from None


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
    for ev in events:
        seen = ev.get("occurrences") or 1
        print(_shown(f"  {ev['severity']:<8} {ev['event_type']:<24} {seen:>4}x  {ev['summary']}",
                     None))
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
        rows = [(_shown(f.severity, None), _shown(f.event_type, None), _shown(f.summary, None))
                for f in result.findings]
        width = max(len(event) for _, event, _ in rows)
        print(f"  {'SEVERITY':<8}  {'EVENT':<{width}}  {'SEEN':>5}  SUMMARY")
        for (severity, event, summary), n in zip(rows, counts):
            print(f"  {severity:<8}  {event:<{width}}  {n:>4}x  {summary}")
    if result.recovery is not None:
        print(_shown(f"[corvane] recovery {result.recovery.status}: {result.recovery.summary}",
                     None))
    else:
        from .trust.registry import RegistryError

        try:
            planned = [r for r in registry.recovery_events(result.job_id)
                       if r["status"] == "planned"]
        except RegistryError as exc:  # the job's own status still decides the exit status
            print(f"[corvane] recovery: not known ({exc})")
            planned = None
        if planned is None:
            pass
        elif planned:
            print(_shown(f"[corvane] recovery planned (not executed): {planned[-1]['summary']}",
                         None))
        else:
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


def _cmd_profile(args) -> int:
    from .fleet_cli import resolve_gpu_profile
    from .trust.baselines import describe_gpu_profile

    if args.list:
        from .fleet_cli import cmd_profile_list

        return cmd_profile_list(args)
    config = load_config(args.config) if args.config else None
    name = args.name
    if name is None:
        from .provision.environment import detect_gpu_inventory

        inventory = detect_gpu_inventory()
        name = inventory[0].name if inventory else None
    profile, looked_up, fallback = resolve_gpu_profile(name, config)
    if looked_up != name:  # a marketplace spelling
        looked_up = f"{name} = {looked_up}"
    if args.json:
        from .fleet_cli import print_json, profile_document

        print_json({"gpu_name": name, "looked_up_as": looked_up,
                    "profile": profile_document(profile), "generic_fallback": fallback is not None,
                    "summary": describe_gpu_profile(profile, looked_up)})
        return 0
    print(_shown(describe_gpu_profile(profile, looked_up), None))  # the driver's name for the GPU
    if fallback:
        print(_shown(f"corvane: {fallback}", None), file=sys.stderr)
    return 0


def _cmd_jobs(args) -> int:
    from .fleet_cli import cmd_jobs

    return cmd_jobs(args, _registry(args.registry, create=False), _table)


def _cmd_trust(args) -> int:
    from .fleet_cli import cmd_trust

    return cmd_trust(args, _registry(args.registry, create=args.trust_command is not None),
                     _table)


def _vast_key() -> str | None:
    key = os.environ.get("VAST_API_KEY", "").strip()
    if not key:
        print("corvane: set VAST_API_KEY to your marketplace API key", file=sys.stderr)
        return None
    return key


def _shown(value, limit: int | None = 120) -> str:
    """A value from outside (the marketplace, the registry) made safe to print on one line:
    control characters, terminal escapes and lone surrogates written as escapes, at most
    `limit` characters."""
    from .ui.display import shown

    out = shown(value)
    return out if limit is None or len(out) <= limit else out[:limit] + "..."


def _vast_fail(message: str) -> None:
    # Not cut short: the line may end in the ids of rented instances.
    print(f"corvane: {_shown(message, None)}", file=sys.stderr)


def _table(rows, headers) -> None:
    rows = [[_shown(x) for x in row] for row in rows]
    widths = [max(len(x) for x in col) for col in zip(headers, *rows)]
    for row in [headers, *rows]:
        print("  ".join(x.ljust(w) for x, w in zip(row, widths)).rstrip())


def _describe(exc) -> str:
    if getattr(exc, "status", None) == 401:
        return "the marketplace refused the API key (HTTP 401); check VAST_API_KEY"
    return str(exc)


class _VastLog(logging.Handler):
    """Takes the adapter's log records while a vast command runs: warnings are shown as one
    line each, failed launch slots are kept for the command's own report (the host's
    default handler would print their tracebacks)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.failed_slots: list[str] = []

    def emit(self, record):
        if record.exc_info and record.exc_info[1] is not None:
            why = _shown(_describe(record.exc_info[1]), 1000)
            if record.msg == "vast hedged candidate launch failed":
                self.failed_slots.append(why)
                return
            _vast_fail(f"{_shown(record.getMessage(), 1000)}: {why}")
        else:
            _vast_fail(_shown(record.getMessage(), 1000))


@contextlib.contextmanager
def _vast_log():
    log = logging.getLogger("corvane.providers.vast")
    handler, propagate = _VastLog(), log.propagate
    log.addHandler(handler)
    log.propagate = False
    try:
        yield handler
    finally:
        log.removeHandler(handler)
        log.propagate = propagate


def _vast_launch(provider, args, key, handler, registry) -> int:
    from .providers._http import ProviderApiError
    from .providers.base import ProvisionSpec

    pubkey = None
    if args.ssh_key:
        try:
            with open(os.path.expanduser(args.ssh_key), encoding="utf-8") as fh:
                pubkey = fh.read().strip()
        except (OSError, ValueError) as exc:
            _vast_fail(f"cannot read --ssh-key {args.ssh_key}: {exc}")
            return 1
    spec = ProvisionSpec(gpu_type=args.gpu, gpu_count=args.count, image=args.image,
                         ssh_public_key=pubkey, container_disk_gb=args.disk,
                         region=args.region, name=args.name)
    # Every contract is noted the moment it exists, so that whatever fails afterwards (key
    # attachment, a sibling slot, an interrupt) the rented instances are still reported.
    rented = {}
    lock = threading.Lock()

    def on_launch(result):
        with lock:
            rented.setdefault(result.instance_id, result)
        try:
            registry.record_instance(provider="vast", instance_id=result.instance_id,
                                     machine_id=result.raw.get("machine_id"), gpu_type=args.gpu,
                                     price_per_hour=result.raw.get("dph_total"),
                                     details={"label": args.name, "gpu_count": args.count})
        except Exception as exc:  # noqa: BLE001 - the instance is reported all the same
            _vast_fail(f"instance {result.instance_id} was not recorded in the registry: "
                       f"{_shown(exc, 300)}")

    error, status = None, 0
    try:
        if args.hedge > 1:
            provider.provision_candidates(spec, api_key=key, count=args.hedge, on_launch=on_launch)
        else:
            offer = provider._find_cheapest_offer(spec, key)
            if offer is None:
                raise ProviderApiError("vast", None, f"no offers matched {args.gpu} x{args.count}")
            provider._launch_offer(offer, spec, key, on_contract=on_launch)
    except KeyboardInterrupt:
        error, status = "interrupted", 130
    except Exception as exc:  # noqa: BLE001 - reported below with what was rented
        error, status = _shown(_describe(exc), 1000), 1
    with lock:
        results = list(rented.values())
    if registry.pending_writes and registry.flush(10):
        _vast_fail(f"the registry {registry.path} is unreachable: the launched instances are "
                   "not recorded in it")
    for r in results:
        print(f"launched instance {_shown(r.instance_id)} on machine "
              f"{_shown(r.raw.get('machine_id'))} at ${_shown(r.raw.get('dph_total'))}/h")
    failed = handler.failed_slots
    if failed and error is None:
        error, status = (f"{len(failed)} of {len(failed) + len(results)} launches failed: "
                         f"{failed[0]}"), 1
    elif failed:
        error = f"{error} (first failure: {failed[0]})"
    ids = " ".join(_shown(r.instance_id) for r in results)
    if error is None:
        if 1 < len(results) < args.hedge:
            print(f"only {len(results)} distinct machines matched; {len(results)} of "
                  f"{args.hedge} launched")
        if len(results) > 1:
            print(f"keep one and remove the others with: corvane vast rm ID ... (of {ids})")
        return 0
    if results:
        _vast_fail(f"launch failed: {error}; {len(results)} rented instance(s) are running and "
                   f"cost money until removed: corvane vast rm {ids}")
    else:
        _vast_fail(f"launch failed: {error}; no instance was rented")
    return status


def _vast_rm(provider, ids, key) -> int:
    from .providers._http import ProviderApiError

    failed = 0
    for instance_id in ids:
        try:
            provider._terminate_existing(instance_id, api_key=key)
        except ProviderApiError as exc:
            failed += 1
            if exc.status == 404:
                _vast_fail(f"instance {instance_id} not found (HTTP 404): nothing was terminated")
            else:
                _vast_fail(f"instance {instance_id} was not terminated: {_describe(exc)}")
        else:
            print(f"terminated instance {_shown(instance_id)}")
    return 1 if failed else 0


def _cmd_vast(args) -> int:
    from .providers._http import ProviderApiError
    from .providers.vast import VastProvider

    if args.vast_command is None:
        args.vast_parser.print_help(sys.stderr)
        return 2
    key = _vast_key()
    if key is None:
        return 2
    provider = VastProvider()
    registry, states = None, {}
    if args.vast_command in ("offers", "launch"):
        from .fleet_cli import marketplace_gpu, trust_steered_provider, vast_trust

        known, _ = marketplace_gpu(args.gpu)
        if known is None:
            print(_shown(f"corvane: {args.gpu} is not in the marketplace's GPU name table; "
                         "it is sent as typed", None), file=sys.stderr)
        else:
            args.gpu = known

        registry, states = vast_trust(args, _registry, CliError)
        provider = trust_steered_provider(states)
    with _vast_log() as handler:
        try:
            if args.vast_command == "offers":
                from .fleet_cli import offer_document, offer_trust, print_json
                from .providers.base import ProvisionSpec

                spec = ProvisionSpec(gpu_type=args.gpu, gpu_count=args.count, region=args.region)
                # The marketplace may answer with more offers than asked for.
                offers = provider._find_offers(spec, key, limit=args.limit)[:args.limit]
                if args.json:
                    print_json({"offers": [offer_document(o, offer_trust(states, o))
                                           for o in offers]})
                    return 0
                _table([(o.get("id"), o.get("machine_id"), o.get("gpu_name"), o.get("dph_total"),
                         o.get("reliability"), o.get("geolocation"), offer_trust(states, o))
                        for o in offers],
                       ("ID", "MACHINE", "GPU", "$/H", "RELIABILITY", "LOCATION", "TRUST"))
                if not offers:
                    print("no offers matched")
            elif args.vast_command == "launch":
                return _vast_launch(provider, args, key, handler, registry)
            elif args.vast_command == "ls":
                refs = provider.list_instances(key)
                if args.json:
                    from .fleet_cli import instance_document, print_json

                    print_json({"instances": [instance_document(r) for r in refs]})
                    return 0
                _table([(r.instance_id, r.status, r.gpu_type, r.gpu_count,
                         f"{r.ssh_host}:{r.ssh_port}", r.region, r.name) for r in refs],
                       ("ID", "STATUS", "GPU", "N", "SSH", "REGION", "LABEL"))
            elif args.vast_command == "rm":
                return _vast_rm(provider, args.instance_ids, key)
        except KeyboardInterrupt:
            _vast_fail("interrupted")
            return 130
        except (ProviderApiError, ValueError, OSError) as exc:
            _vast_fail(_describe(exc))
            return 1
        except Exception as exc:  # noqa: BLE001 - one line, never a traceback
            _vast_fail(f"unexpected error: {type(exc).__name__}: {_shown(exc, 500)}")
            return 1
    return 0


def _cmd_config(args) -> int:
    config = load_config(args.config)
    if args.format == "toml":
        from .config import to_toml

        sys.stdout.write(to_toml(config))
    else:
        sys.stdout.write(json.dumps(config, indent=2) + "\n")
    return 0


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


_VAST_EXIT = ("exit status: 0 done; 1 a marketplace request, a termination or a launch failed "
              "(instances rented before the failure are listed with the command that removes "
              "them); 2 usage error or VAST_API_KEY unset")


def _at_least_one(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _one_line_usage(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    """Usage errors of `parser` as one line on stderr, exit status 2."""

    def error(message):
        parser.exit(2, f"{parser.prog}: error: {_shown(message, 500)} "
                       f"(see {parser.prog} --help)\n")

    parser.error = error
    return parser


JOB_STATUSES = ("running", "completed", "failed", "interrupted", "lost")
_REGISTRY_OPTION = ("registry file or postgresql:// URL (default: $CORVANE_REGISTRY, else a file "
                    "in the user's state directory)")
_JSON_OPTION = "print one JSON document (keys described in the README)"
_REGISTRY_HELP = """\
The registry (jobs, findings, node trust) is a SQLite file by default; --registry or
$CORVANE_REGISTRY may name another file or a PostgreSQL database shared by many machines
(postgresql://USER@HOST/DB, or postgresql:///DB?host=/run/postgresql for a local socket).
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvane", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=_REGISTRY_HELP)
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, title="commands",
                                metavar="COMMAND")

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

    p = sub.add_parser("jobs", help="list recorded jobs, newest first")
    p.add_argument("--limit", type=_at_least_one, default=20,
                   help="show at most this many jobs (default 20)")
    p.add_argument("--status", choices=JOB_STATUSES, help="only jobs with this status")
    p.add_argument("--registry", help=_REGISTRY_OPTION)
    p.add_argument("--json", action="store_true", help=_JSON_OPTION)
    p.set_defaults(func=_cmd_jobs)

    p = sub.add_parser("trust", help="which machines to trust, from their hardware findings",
                       description="Lists every node with its jobs, findings and trust state: "
                                   "distrusted after a CRITICAL hardware finding in the last 7 "
                                   "days, suspect after a WARN one, trusted otherwise. "
                                   "`vast offers` and `vast launch` leave out distrusted "
                                   "machines and try trusted ones first.")
    p.add_argument("--registry", help=_REGISTRY_OPTION)
    p.add_argument("--json", action="store_true", help=_JSON_OPTION)
    tsub = p.add_subparsers(dest="trust_command", metavar="ACTION")
    q = tsub.add_parser("block", help="distrust a node by hand until it is allowed again")
    q.add_argument("node", help="node id (for marketplace machines, the machine id)")
    q.add_argument("--reason", help="why, kept with the state")
    q.add_argument("--registry", default=argparse.SUPPRESS, help=_REGISTRY_OPTION)
    q = tsub.add_parser("allow", help="trust a node by hand; findings recorded before now are "
                                      "forgiven, later ones count")
    q.add_argument("node", help="node id (for marketplace machines, the machine id)")
    q.add_argument("--reason", help="why, kept with the state")
    q.add_argument("--registry", default=argparse.SUPPRESS, help=_REGISTRY_OPTION)
    q = tsub.add_parser("clear", help="drop the state set by hand; the findings decide again")
    q.add_argument("node", help="node id")
    q.add_argument("--registry", default=argparse.SUPPRESS, help=_REGISTRY_OPTION)
    for q in tsub.choices.values():  # options before or after the action alike
        q.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                       help=_JSON_OPTION)
    p.set_defaults(func=_cmd_trust)

    p = sub.add_parser("profile", help="expected performance of a GPU model")
    p.add_argument("name", nargs="?", help="GPU name as a driver or provider reports it "
                                           "(default: the GPU detected on this machine)")
    p.add_argument("--config", help="configuration whose cluster.baselines overrides apply")
    p.add_argument("--list", action="store_true", help="list the known GPU profiles")
    p.add_argument("--json", action="store_true", help=_JSON_OPTION)
    p.set_defaults(func=_cmd_profile)

    p = _one_line_usage(sub.add_parser(
        "vast", help="the Vast.ai marketplace (needs VAST_API_KEY)", epilog=_VAST_EXIT,
        description="Search, rent, list and remove Vast.ai instances with the API key in "
                    "VAST_API_KEY."))
    # Without a command, `corvane vast` prints its help (what the commands are) and exits 2.
    vsub = p.add_subparsers(dest="vast_command", metavar="COMMAND")
    p.set_defaults(vast_parser=p)
    q = _one_line_usage(vsub.add_parser("offers", help="search and rank offers",
                                        epilog=_VAST_EXIT))
    q.add_argument("--gpu", required=True, help="GPU type, e.g. RTX_4090 or H100_SXM")
    q.add_argument("--count", type=_at_least_one, default=1, help="GPUs per instance (default 1)")
    q.add_argument("--region", help="region or country codes, e.g. eu or US,CA")
    q.add_argument("--limit", type=_at_least_one, default=20,
                   help="show at most this many offers (default 20)")
    q.add_argument("--registry", help=_REGISTRY_OPTION + "; its distrusted machines are left "
                                                         "out, trusted ones come first")
    q.add_argument("--json", action="store_true", help=_JSON_OPTION)
    q = _one_line_usage(vsub.add_parser(
        "launch", help="rent an instance (or several with --hedge)", epilog=_VAST_EXIT))
    q.add_argument("--gpu", required=True, help="GPU type, e.g. RTX_4090 or H100_SXM")
    q.add_argument("--count", type=_at_least_one, default=1, help="GPUs per instance (default 1)")
    q.add_argument("--image", default="pytorch/pytorch:latest",
                   help="container image (default pytorch/pytorch:latest)")
    q.add_argument("--ssh-key", help="public key file to install for root")
    q.add_argument("--disk", type=_positive_float, default=50,
                   help="container disk, GB (default 50)")
    q.add_argument("--region", help="region or country codes, e.g. eu or US,CA")
    q.add_argument("--name", help="instance label (default corvane-GPU-COUNT)")
    q.add_argument("--hedge", type=_at_least_one, default=1,
                   help="rent on this many distinct machines at once; keep one, remove the rest "
                        "(default 1)")
    q.add_argument("--registry", help=_REGISTRY_OPTION + "; distrusted machines are never "
                                                         "rented, and the instance is recorded")
    q = _one_line_usage(vsub.add_parser("ls", help="list your instances", epilog=_VAST_EXIT))
    q.add_argument("--json", action="store_true", help=_JSON_OPTION)
    q = _one_line_usage(vsub.add_parser("rm", help="terminate instances", epilog=_VAST_EXIT))
    q.add_argument("instance_ids", nargs="+", metavar="ID", help="instance id (several allowed)")
    p.set_defaults(func=_cmd_vast)

    p = sub.add_parser("config", help="print the effective configuration")
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.add_argument("--format", choices=("json", "toml"), default="json",
                   help="json (default), or toml: a file --config reads back as it is")
    p.set_defaults(func=_cmd_config)
    return parser


class _ShownLog(logging.StreamHandler):
    """The package's warnings on stderr, as the host's last-resort handler shows them, with
    what they quote from outside (a hook line, a tool's answer, a file name) escaped."""

    @property
    def stream(self):
        return sys.stderr  # looked up at each record, as the last-resort handler does

    @stream.setter
    def stream(self, _value):
        pass

    def format(self, record):
        from .ui.display import shown

        return shown(super().format(record))


def _show_logs_escaped() -> None:
    log = logging.getLogger("corvane")
    if not any(isinstance(h, _ShownLog) for h in log.handlers):
        handler = _ShownLog()
        handler.setLevel(logging.WARNING)
        log.addHandler(handler)


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    _show_logs_escaped()
    try:
        return args.func(args)
    except ConfigError as exc:
        # One line, whatever the file's name or a parser's message holds.
        print("corvane: " + _shown(" ".join(str(exc).splitlines()), None), file=sys.stderr)
        return 2
    except CliError as exc:
        print(f"corvane: {_shown(exc, None)}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # The reader went away (`corvane findings | head -1`): end quietly, as Unix tools do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as exc:  # noqa: BLE001 - every failure is one line
        if os.environ.get("CORVANE_DEBUG"):
            raise
        text = str(exc).splitlines()[0] if str(exc) else ""
        print(f"corvane: {type(exc).__name__}{': ' + _shown(text, None) if text else ''} "
              "(set CORVANE_DEBUG=1 for the traceback)", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
