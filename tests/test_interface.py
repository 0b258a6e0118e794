"""Every name the three native modules give their callers, present in every build.

A callable's entry is its parameter list, a constant's its type, a class's `type`. Hosts and
tests replace the host services the monitor reads at call time, so those are listed too.

Runs under pytest (the development build) and as a script, which the release check runs
with `--release` in an environment without pytest, where no `_testing` may exist either.
"""
import ast
import importlib
import inspect
import logging
import re
import sys
import types

HOST_SERVICE = callable  # replaceable by the host; its own signature is the host's
MODULE_OR_NONE = (types.ModuleType, type(None))

INTERFACE = {
    "corvane.monitor.monitoring": {
        "MonitorFinding": type,
        "CRITICAL_XIDS": set,
        "_append_finding": "(findings, lock, finding)",
        "_xid_description": "(xid)",
        "NAN_INF_PATTERN": re.Pattern,
        "XID_PATTERN": re.Pattern,
        "ECC_PATTERN": re.Pattern,
        "LOSS_PATTERN": re.Pattern,
        "STEP_PATTERN": re.Pattern,
        "_parse_output_line": "(line, step_times, losses)",
        "LaunchResult": type,
        "run_monitored_command": "(command, config, registry, checkpoint_dir, "
                                 "pre_check_result=None, extra_env=None, wandb_bridge=None)",
        "_command_is_slurm_wrapped": "(command)",
        "_maybe_wrap_srun": "(command, config)",
        "_normalize_pci_address": "(value)",
        "_shell_numeric": "(value)",
        "_build_shell_gpu_snapshot": "()",
        "_shell_pcie_replay_counters": "()",
        "_build_pci_index_map": "()",
        "pynvml": MODULE_OR_NONE,
        "_build_nvml_backend": "()",
        "_collect_nvml_snapshots": "(backend, link_count=18)",
        "_read_gpu_snapshots": "(backend_mode, backend, link_count=18)",
        "_hardware_telemetry_loop": "(config, findings, findings_lock, stop_event, "
                                    "last_output_at_ref, gpu_profile=None, wandb_bridge=None, "
                                    "training_state=None, job_running_ref=None)",
        "THROTTLE_REASON_MASKS": dict,
        "THROTTLE_REASON_TEXT_PATTERNS": tuple,
        "_dmesg_watcher_loop": "(findings, findings_lock, stop_event)",
        "DMESG_XID_PATTERN": re.Pattern,
        "PCIE_AER_PATTERN": re.Pattern,
        "_hook_monitor_loop": "(hook_path, config, findings, findings_lock, stop_event, "
                              "training_state=None)",
        "_coerce_hook_int": "(value, default=None)",
        "_coerce_hook_float": "(value, default=None)",
        "HOOK_PHASES": tuple,
        "MAX_HOOK_PHASES_PER_PAYLOAD": int,
        "MAX_HOOK_PHASE_NAME_CHARS": int,
        "_median": "(values)",
        "_stdev": "(values, mean)",
        "GPUProfile": type,
        "detect_gpu_profile": HOST_SERVICE,
        "parse_duration": HOST_SERVICE,
        "host_snapshot": HOST_SERVICE,
        "detect_gpu_inventory": HOST_SERVICE,
        "pretty_command": HOST_SERVICE,
        "run_shell": HOST_SERVICE,
        "build_cost_config": HOST_SERVICE,
        "display_monitoring_finding": HOST_SERVICE,
        "build_recovery_plan": HOST_SERVICE,
        "execute_recovery": HOST_SERVICE,
        "remediation": types.ModuleType,
    },
    "corvane.trust.baselines": {
        "GPUProfile": type,
        "GPUProfile.to_dict": "()",
        "BASELINES": tuple,
        "_profile": "(name, match_substrings, *, nvlink_expected_bw_gbps, nvlink_link_count, "
                    "nccl_expected_busbw_gbps, pcie_expected_gen, pcie_expected_width, "
                    "fp16_tflops_expected, reference_tflops_expected, memory_bw_expected_gbps, "
                    "has_ecc, has_nvlink, tdp_watts, matmul_size, vendor='nvidia', "
                    "nvlink_warn_ratio=0.7, nvlink_fail_ratio=0.5, nccl_warn_ratio=0.65, "
                    "nccl_fail_ratio=0.4, reference_warn_ratio=0.8, reference_fail_ratio=0.6)",
        "_ratio": "(value, multiplier)",
        "_find_base_profile": "(gpu_name)",
        "detect_gpu_profile": "(raw_gpu_name, config=None)",
        "apply_profile_overrides": "(profile, raw_gpu_name, config=None)",
        "_normalize_override_map": "(config)",
        "_matching_override": "(raw_gpu_name, profile_name, config)",
        "describe_gpu_profile": "(profile, raw_gpu_name=None)",
        "profile_percent_of_expected": "(profile, value)",
        "profile_percent_of_reference": "(profile, value)",
    },
    "corvane.providers.vast": {
        "VastProvider": type,
        "VastProvider.name": str,
        "VastProvider.requires_credentials": bool,
        "VastProvider.default_profile": "()",
        "VastProvider.detect": "()",
        "VastProvider.has_api": "()",
        "VastProvider.supports_provisioning": "()",
        "VastProvider._find_offers": "(spec, api_key, *, limit)",
        "VastProvider._find_cheapest_offer": "(spec, api_key)",
        "VastProvider.provision": "(spec, *, api_key)",
        "VastProvider.provision_candidates": "(spec, *, api_key, count, stagger_seconds=2.0, "
                                             "on_launch=None)",
        "VastProvider._launch_offer": "(offer, spec, api_key, *, on_contract=None)",
        "VastProvider.list_instances": "(api_key)",
        "VastProvider.get_instance": "(instance_id, *, api_key)",
        "VastProvider.terminate": "(instance_id, *, api_key)",
        "VastProvider._attach_ssh_key": "(instance_id, spec, api_key)",
        "VastProvider._parse_instance": "(item)",
        "VAST_API_BASE": str,
        "VAST_GPU_NAME_MAP": dict,
        "_DEFAULT_MIN_RELIABILITY": float,
        "_DEFAULT_MIN_INET_DOWN_MBPS": int,
        "_DEFAULT_MIN_CUDA_VERSION": float,
        "_BUNDLE_SEARCH_LIMIT": int,
        "_spec_env_to_vast_dict": "(env, ssh_public_key)",
        "_build_onstart": "(ssh_public_key)",
        "_SSH_ATTACH_MAX_ATTEMPTS": int,
        "_SSH_ATTACH_RETRYABLE_STATUSES": set,
        "_TERMINATE_MAX_ATTEMPTS": int,
        "_TERMINATE_RETRYABLE_STATUSES": frozenset,
        "ProviderApiError": type,
        "http_json": HOST_SERVICE,
        "http_get_json": HOST_SERVICE,
        "effective_country_codes": HOST_SERVICE,
        "log": logging.Logger,
    },
}


def parameters(fn) -> str:
    """A callable's parameter list as `inspect` prints it, without `self`."""
    try:
        text = str(inspect.signature(fn))
    except (TypeError, ValueError):  # a nanobind function: read its signature line
        line, _, defaults = fn.__nb_signature__[0]  # defaults are written \0, \1, ...
        line = re.sub(r"\\(\d+)", lambda d: repr(defaults[int(d[1])]), line)
        args = ast.parse(line + ": pass").body[0].args
        for a in args.posonlyargs + args.args + args.kwonlyargs:
            a.annotation = None
        text = f"({ast.unparse(args)})"
    return re.sub(r"^\(self(, )?", "(", text)


def problems(release: bool = False) -> list:
    found = []
    for module_name, names in INTERFACE.items():
        module = importlib.import_module(module_name)
        if release and hasattr(module, "_testing"):
            found.append(f"{module_name}._testing exists in a release build")
        for name, expected in names.items():
            where = f"{module_name}.{name}"
            obj = module
            try:
                for part in name.split("."):
                    if isinstance(obj, type) and part not in vars(obj):  # not inherited
                        raise AttributeError(part)
                    obj = getattr(obj, part)
            except AttributeError:
                found.append(f"{where} is missing")
                continue
            if isinstance(expected, str):
                if not callable(obj):
                    found.append(f"{where} is not callable")
                elif parameters(obj) != expected:
                    found.append(f"{where}{parameters(obj)} should be {where}{expected}")
            elif expected is type or expected is HOST_SERVICE:
                if not (isinstance(obj, type) if expected is type else callable(obj)):
                    found.append(f"{where} is not a {'class' if expected is type else 'callable'}")
            elif not isinstance(obj, expected):
                found.append(f"{where} is a {type(obj).__name__}, not {expected}")
    return found


def test_every_specified_name_is_on_its_module():
    assert problems() == []


if __name__ == "__main__":
    wrong = problems(release="--release" in sys.argv)
    total = sum(len(names) for names in INTERFACE.values())
    print("\n".join(wrong) or f"interface: all {total} names present")
    sys.exit(1 if wrong else 0)
