"""The commands that read the registry and the baselines: `corvane jobs`, `trust`,
`profile` and `config`."""

from __future__ import annotations

import argparse
import json
import sys

from .cli_common import (_JSON_OPTION, _REGISTRY_OPTION, JOB_STATUSES, _at_least_one, _registry,
                         _shown, _table)
from .config import load_config

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


def _cmd_config(args) -> int:
    config = load_config(args.config)
    if args.format == "toml":
        from .config import to_toml

        sys.stdout.write(to_toml(config))
    else:
        sys.stdout.write(json.dumps(config, indent=2) + "\n")
    return 0


def add_parsers(sub) -> None:
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


def add_config_parser(sub) -> None:
    p = sub.add_parser("config", help="print the effective configuration")
    p.add_argument("--config", help="TOML or JSON file merged over the defaults")
    p.add_argument("--format", choices=("json", "toml"), default="json",
                   help="json (default), or toml: a file --config reads back as it is")
    p.set_defaults(func=_cmd_config)
