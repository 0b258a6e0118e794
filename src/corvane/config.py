"""The configuration: built-in defaults, optionally merged with a TOML or JSON file."""

from __future__ import annotations

import copy
import json
import os
import tomllib
from pathlib import Path

DEFAULT_CONFIG: dict = {
    "monitor": {
        "poll_interval": "5s",
        "hang_detection_timeout": "5m",
        "hang_detection_grace": "15s",
        "structural_monitoring": True,
        "rank_divergence_threshold": 2.0,
        "rank_straggler_threshold": 0.1,
        "nvlink": {"crc_rate_per_sec_critical": 100, "error_rate_per_min_critical": 10},
        "pcie": {"replay_rate_per_min_critical": 8},
    },
    "thermal": {"warn": 85, "critical": 95},
    "ecc": {"sbe_rate_warn": 10},
    # "gpu_type" is left out on purpose: without it the registry records "UNKNOWN" and
    # the GPU is taken from the driver's inventory.
    "cluster": {
        "scheduler": "none",
        "slurm": {
            "partition": "gpu",
            "gpus_per_node": 0,
            "account": "",
            "qos": "",
            "constraint": "",
            "extra_args": [],
        },
        "baselines": {},
    },
    # "confirm" runs the plan, simulated unless "live_execute" is true; any other mode only
    # records the plan.
    "recovery": {"enabled": True, "mode": "confirm", "live_execute": False},
    "cost": {"gpu_count": 1},
}


class ConfigError(ValueError):
    pass


def _merge(base: dict, override: dict) -> dict:
    out = copy.deepcopy(base)
    for key, value in override.items():
        if isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = _merge(out[key], value)
        else:
            out[key] = copy.deepcopy(value)
    return out


def load_config(path: str | os.PathLike | None = None) -> dict:
    """Defaults, overridden key by key by the file at `path` (.toml or .json) when given."""
    if path is None:
        return copy.deepcopy(DEFAULT_CONFIG)
    file = Path(path)
    try:
        raw = file.read_bytes()
    except OSError as exc:
        raise ConfigError(f"cannot read configuration {file}: {exc.strerror or exc}") from None
    try:
        if file.suffix.lower() == ".json":
            data = json.loads(raw)
        else:
            data = tomllib.loads(raw.decode("utf-8"))
    except (ValueError, UnicodeDecodeError) as exc:
        raise ConfigError(f"invalid configuration {file}: {exc}") from None
    if not isinstance(data, dict):
        raise ConfigError(f"invalid configuration {file}: the top level must be a table")
    return _merge(DEFAULT_CONFIG, data)
