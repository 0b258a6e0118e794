"""`corvane vast`: search, rent, list and remove marketplace instances."""

from __future__ import annotations

import contextlib
import logging
import os
import sys
import threading

from .cli_common import (_JSON_OPTION, _REGISTRY_OPTION, CliError, _at_least_one, _one_line_usage,
                         _positive_float, _registry, _shown, _table)

def _vast_key() -> str | None:
    key = os.environ.get("VAST_API_KEY", "").strip()
    if not key:
        print("corvane: set VAST_API_KEY to your marketplace API key", file=sys.stderr)
        return None
    return key


def _vast_fail(message: str) -> None:
    # Not cut short: the line may end in the ids of rented instances.
    print(f"corvane: {_shown(message, None)}", file=sys.stderr)


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


_VAST_EXIT = ("exit status: 0 done; 1 a marketplace request, a termination or a launch failed "
              "(instances rented before the failure are listed with the command that removes "
              "them); 2 usage error or VAST_API_KEY unset")


def add_parsers(sub) -> None:
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
