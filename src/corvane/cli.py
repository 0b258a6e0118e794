"""The `corvane` command."""

from __future__ import annotations

import argparse
import json
import os
import sys

from . import __version__
from .config import ConfigError, load_config


def _registry(path):
    from .trust.registry import TrustRegistry

    return TrustRegistry(path)


def _cmd_findings(args) -> int:
    registry = _registry(args.registry)
    job_id = args.job
    if job_id is None:
        jobs = registry.jobs(limit=1)
        if not jobs:
            print(f"no jobs recorded in {registry.path}")
            return 0
        job_id = jobs[0]["job_id"]
    job = registry.job(job_id)
    if job is None:
        print(f"corvane: no job {job_id!r} in {registry.path}", file=sys.stderr)
        return 1
    print(f"job {job['job_id']}  status={job['status']}  command: {job['command']}")
    events = registry.events(job_id)
    if not events:
        print("  no findings")
    for ev in events:
        print(f"  {ev['severity']:<8} {ev['event_type']:<24} {ev['summary']}")
    for rec in registry.recovery_events(job_id):
        print(f"  recovery {rec['status']} ({rec['mode']}): {rec['summary']}")
    return 0


def _exit_status(returncode: int) -> int:
    # A child ended by signal N reports -N; shells report that as 128 + N.
    return returncode if returncode >= 0 else 128 - returncode


def _print_summary(result, registry) -> None:
    print(f"\n[corvane] job {result.job_id} exited with status {result.returncode}; "
          f"{len(result.findings)} finding(s)")
    if result.findings:
        width = max(len(str(f.event_type)) for f in result.findings)
        print(f"  {'SEVERITY':<8}  {'EVENT':<{width}}  SUMMARY")
        for f in result.findings:
            print(f"  {f.severity:<8}  {f.event_type:<{width}}  {f.summary}")
    if result.recovery is not None:
        print(f"[corvane] recovery {result.recovery.status}: {result.recovery.summary}")
    else:
        planned = [r for r in registry.recovery_events(result.job_id) if r["status"] == "planned"]
        if planned:
            print(f"[corvane] recovery planned (not executed): {planned[-1]['summary']}")
        else:
            print("[corvane] recovery: not triggered")
    print(f"[corvane] details: corvane findings --job {result.job_id}"
          + (f" --registry {registry.path}" if os.environ.get("CORVANE_REGISTRY") is None else ""))


def _cmd_monitor(args) -> int:
    from .monitor.monitoring import run_monitored_command

    command = list(args.job_command)
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        print("corvane: monitor needs a command after --", file=sys.stderr)
        return 2
    config = load_config(args.config)
    registry = _registry(args.registry)
    bridge = None
    if args.metrics_file:
        from .tracking import MetricsFileBridge

        bridge = MetricsFileBridge(args.metrics_file)
    try:
        result = run_monitored_command(command, config, registry, args.checkpoint_dir,
                                       wandb_bridge=bridge)
    except KeyboardInterrupt:
        print("\n[corvane] interrupted; the job's end was recorded as interrupted",
              file=sys.stderr)
        return 130
    except FileNotFoundError as exc:
        print(f"corvane: cannot start {command[0]!r}: {exc.strerror}", file=sys.stderr)
        return 127
    finally:
        if bridge is not None:
            bridge.close()
    _print_summary(result, registry)
    return _exit_status(result.returncode)


def _cmd_profile(args) -> int:
    from .trust.baselines import describe_gpu_profile, detect_gpu_profile

    config = load_config(args.config) if args.config else None
    name = args.name
    if name is None:
        from .provision.environment import detect_gpu_inventory

        inventory = detect_gpu_inventory()
        name = inventory[0].name if inventory else None
    print(describe_gpu_profile(detect_gpu_profile(name, config), name))
    return 0


def _cmd_config(args) -> int:
    print(json.dumps(load_config(args.config), indent=2))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvane", description=__doc__)
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("monitor", help="run a training command under watch",
                       usage="corvane monitor [options] -- COMMAND [ARGS...]")
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.add_argument("--checkpoint-dir", default=os.environ.get("CORVANE_CHECKPOINT_DIR",
                                                              "checkpoints"),
                   help="where the hook file lives and recovery looks for checkpoints "
                        "(default: ./checkpoints)")
    p.add_argument("--metrics-file", help="append findings and GPU metrics as JSON lines")
    p.add_argument("--registry", help="registry file (default: $CORVANE_REGISTRY or the "
                                      "user's state directory)")
    p.add_argument("job_command", nargs=argparse.REMAINDER, help="the command, after --")
    p.set_defaults(func=_cmd_monitor)

    p = sub.add_parser("findings", help="show what the registry recorded for a job")
    p.add_argument("--job", help="job id (default: the latest job)")
    p.add_argument("--registry", help="registry file (default: $CORVANE_REGISTRY or the "
                                      "user's state directory)")
    p.set_defaults(func=_cmd_findings)

    p = sub.add_parser("profile", help="expected performance of a GPU model")
    p.add_argument("name", nargs="?", help="GPU name as a driver or provider reports it "
                                           "(default: the GPU detected on this machine)")
    p.add_argument("--config", help="configuration whose cluster.baselines overrides apply")
    p.set_defaults(func=_cmd_profile)

    p = sub.add_parser("config", help="print the effective configuration")
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.set_defaults(func=_cmd_config)
    return parser


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except ConfigError as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
