"""The `corvane` command."""

from __future__ import annotations

import argparse
import json
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
