"""The configuration: built-in defaults, optionally merged with a TOML or JSON file.

The merged configuration is checked once, by `validate_config`, before anything starts: a
bad value is a `ConfigError` naming its dotted key, and an unknown key is a warning.
"""

from __future__ import annotations

import copy
import difflib
import json
import math
import numbers
import os
import re
import sys
import threading
import tomllib
from collections.abc import Callable, Mapping
from pathlib import Path

DEFAULT_CONFIG: dict = {
    "monitor": {
        "poll_interval": "5s",
        "hang_detection_timeout": "5m",
        "hang_detection_grace": "15s",
        # How long a stopped job is given to end before it is killed.
        "stop_grace": "30s",
        # The newest lines of the job's output kept for the result; None keeps every line.
        "max_output_lines": 100000,
        "structural_monitoring": True,
        "rank_divergence_threshold": 2.0,
        "rank_straggler_threshold": 0.1,
        # Ranks reporting their step: a straggler is also this many seconds slower than its
        # peers (over its last 5 steps), and the first steps are not judged.
        "straggler_min_gap_s": 0.05,
        "warmup_steps": 10,
        # A finding seen again is counted; it is shown again when it recurs this long after.
        "repeat_after": "10m",
        # "wait": a hung job is reported and left to run; "stop": it is also ended (exit 124).
        "on_hang": "wait",
        # A finite loss above this many times the median of its last 50 values is a spike.
        "loss_spike_ratio": 10.0,
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
            # With more than one node, `corvane agent` watches each other node of the job.
            "node_agents": True,
            # srun options for the agents' step only (the job's are "extra_args").
            "agent_extra_args": [],
        },
        "baselines": {},
    },
    # "confirm" runs the plan, simulated unless "live_execute" is true; any other mode only
    # records the plan.
    "recovery": {"enabled": True, "mode": "confirm", "live_execute": False},
    "cost": {"gpu_count": 1},
}


class ConfigError(ValueError):
    """An unusable configuration; the message names the dotted key, the value and what is
    expected there."""


# -- the checks --------------------------------------------------------------------------------
#
# A check takes a value and returns None when it is fine, else what was expected there.

Check = Callable[[object], "str | None"]

_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")


def _dotted(path: tuple) -> str:
    """The key path as written in a TOML file: cluster.baselines.'h100 sxm'.tdp_watts."""
    return ".".join(p if isinstance(p, str) and _BARE_KEY.fullmatch(p) else repr(p)
                    for p in path) or "the configuration"


def _shown(value) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def _invalid(path: tuple, value, expected: str) -> ConfigError:
    return ConfigError(f"{_dotted(path)}: expected {expected}, got {_shown(value)}")


def _finite(value) -> bool:
    try:
        return math.isfinite(value)
    except OverflowError:  # an int too large for a float
        return False


def _number(value) -> str | None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return "a number"
    return None if _finite(value) else "a finite number"


def _optional_number_at_least_zero(value) -> str | None:
    if value is None:
        return None
    return _at_least_zero(value)


def _at_least_zero(value) -> str | None:
    """A threshold or a rate: a negative one would fire at every reading."""
    if _number(value) is not None or value < 0:
        return "a finite number >= 0"
    return None


def _positive(value) -> str | None:
    if _number(value) is not None or value <= 0:
        return "a finite number > 0"
    return None


# Counts and sizes the native modules keep in 64-bit integers.
INT64_MAX = 2**63 - 1


def _whole(minimum: int, maximum: int = INT64_MAX) -> Check:
    def check(value) -> str | None:
        if (isinstance(value, bool) or not isinstance(value, int) or value < minimum
                or value > maximum):
            return f"a whole number from {minimum} to {maximum}"
        return None
    return check


def _choice(*allowed: str) -> Check:
    def check(value) -> str | None:
        return None if value in allowed else " or ".join(f'"{a}"' for a in allowed)
    return check


def _ratio_above_one(value) -> str | None:
    if _number(value) is not None or value <= 1:
        return "a finite number above 1"
    return None


def _optional_whole(minimum: int, maximum: int = INT64_MAX) -> Check:
    whole = _whole(minimum, maximum)

    def check(value) -> str | None:
        if value is None or whole(value) is None:
            return None
        return f"a whole number from {minimum} to {maximum}, or no value"
    return check


def _duration(*, zero_ok: bool) -> Check:
    """A duration as the monitor reads it: the text form of the value, parsed into seconds.

    It must be usable as a wait time-out, so it is finite and at most threading's limit.
    """
    def check(value) -> str | None:
        from .provision.environment import parse_duration

        written = "a duration such as 30s, 5m or 1h30m"
        if isinstance(value, bool) or not isinstance(value, (str, int, float)):
            return written
        try:
            seconds = parse_duration(str(value))
        except ValueError:
            return written
        if not math.isfinite(seconds) or seconds > threading.TIMEOUT_MAX:
            return f"a duration of at most {int(threading.TIMEOUT_MAX)}s"
        if seconds < 0 or (seconds == 0 and not zero_ok):
            return "a duration of 0s or more" if zero_ok else "a duration above zero"
        return None
    return check


def _bool(value) -> str | None:
    # Read by truth value where it is used: a text such as "false" would count as true.
    return None if isinstance(value, bool) else "true or false"


def _flag(value) -> str | None:
    # Read through strict_bool where it is used, which also takes yes/no texts.
    from .health.remediation import strict_bool

    try:
        strict_bool(value)
    except ValueError:
        return "true or false"
    return None


def _text(value) -> str | None:
    return None if isinstance(value, str) else "a text"


def _optional_text(value) -> str | None:
    return None if value is None or isinstance(value, str) else "a text"


def _text_list(value) -> str | None:
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        return None
    return "a list of texts, e.g. [\"--exclusive\"]"


def _gpu_count(value) -> str | None:
    # Passed to srun as --gpus, in its text form: a count, or a text such as "a100:8".
    if isinstance(value, str) or _whole(0, 2**31 - 1)(value) is None:
        return None
    return f"a whole number from 0 to {2**31 - 1} or a text such as \"a100:8\""


# What recovery's command templates may name; every value is text.
_TEMPLATE_FIELDS = ("command", "checkpoint", "node", "job_id", "reason")


def _template(value) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        return "a command text"
    from .health.shell_template import template_problem

    return template_problem(value, _TEMPLATE_FIELDS)


class _Walker:
    """A part of the configuration with a check of its own (keys chosen by the user)."""

    def __init__(self, walk: Callable[[object, tuple, list], None]):
        self.walk = walk


def _check_baselines(value, path: tuple, warnings: list) -> None:
    if not isinstance(value, Mapping):
        raise _invalid(path, value, "a table of GPU profile overrides")
    from .trust import baselines

    for name, override in value.items():
        entry = path + (name,)
        if not isinstance(override, Mapping):
            raise _invalid(entry, override, "a table of GPUProfile fields")
        for field, item in override.items():
            problem = baselines._override_problem(field, item)
            if (problem is None and _number(item) is None
                    and field not in baselines._IGNORED_OVERRIDE_FIELDS):
                # Rates, sizes and thresholds of a GPU, none below zero; counts fit 64 bits.
                problem = (_whole(0)(item) if isinstance(item, int) else _at_least_zero(item))
                problem = problem and f"expected {problem}, got {_shown(item)}"
            if problem is not None:
                raise ConfigError(f"{_dotted(entry + (field,))}: {problem}")
            if field in baselines._IGNORED_OVERRIDE_FIELDS:
                warnings.append(f"{_dotted(entry + (field,))} cannot be overridden (ignored)")


# Every key that the monitor, the baselines and the host read. A dict is a table.
_SCHEMA: dict = {
    "monitor": {
        "poll_interval": _duration(zero_ok=False),
        "hang_detection_timeout": _duration(zero_ok=False),
        # Extra silence on top of the timeout: none at all is a valid choice.
        "hang_detection_grace": _duration(zero_ok=True),
        "stop_grace": _duration(zero_ok=False),
        "max_output_lines": _optional_whole(1),
        "structural_monitoring": _bool,
        "rank_divergence_threshold": _positive,
        "rank_straggler_threshold": _positive,
        "straggler_min_gap_s": _at_least_zero,
        "warmup_steps": _whole(0),
        "repeat_after": _duration(zero_ok=True),
        "on_hang": _choice("wait", "stop"),
        "loss_spike_ratio": _ratio_above_one,
        "nvlink": {"crc_rate_per_sec_critical": _at_least_zero,
                   "error_rate_per_min_critical": _at_least_zero},
        "pcie": {"replay_rate_per_min_critical": _at_least_zero},
    },
    "thermal": {"warn": _at_least_zero, "critical": _at_least_zero},
    "ecc": {"sbe_rate_warn": _at_least_zero},
    "cluster": {
        "gpu_type": _text,
        "scheduler": _text,
        "slurm": {
            "partition": _text,
            "gpus_per_node": _gpu_count,
            "account": _text,
            "qos": _text,
            "constraint": _text,
            "extra_args": _text_list,
            "node_agents": _bool,
            "agent_extra_args": _text_list,
        },
        "baselines": _Walker(_check_baselines),
    },
    "recovery": {
        "enabled": _bool,
        "mode": _text,
        "live_execute": _flag,
        "drain_command": _template,
        "restart_command": _template,
        "replacement_node": _optional_text,
    },
    "cost": {"gpu_count": _whole(1), "gpu_hourly_usd": _optional_number_at_least_zero},
}


def _walk(value, schema: dict, path: tuple, warnings: list) -> None:
    if not isinstance(value, Mapping):
        raise _invalid(path, value, "a table")
    for key, item in value.items():
        at = path + (key,)
        rule = schema.get(key) if isinstance(key, str) else None
        if rule is None:
            close = difflib.get_close_matches(key, list(schema), n=1) if isinstance(key, str) else []
            hint = f"; did you mean {_dotted(path + (close[0],))}?" if close else ""
            warnings.append(f"unknown configuration key {_dotted(at)} (ignored){hint}")
        elif isinstance(rule, dict):
            _walk(item, rule, at, warnings)
        elif isinstance(rule, _Walker):
            rule.walk(item, at, warnings)
        else:
            expected = rule(item)
            if expected is not None:
                raise _invalid(at, item, expected)


def validate_config(config) -> list[str]:
    """Check a merged configuration; return one warning per unknown key.

    Raises ConfigError (a ValueError) at the first invalid value, naming its dotted key,
    the value and what is expected. Only the keys present are checked: a missing one is
    left to the code that reads it (defaults, or a KeyError for a required one).
    """
    warnings: list[str] = []
    _walk(config, _SCHEMA, (), warnings)
    return warnings


# -- loading -----------------------------------------------------------------------------------

def _merge(base: dict, override: dict) -> dict:
    out = copy.deepcopy(base)
    for key, value in override.items():
        if isinstance(value, dict) and isinstance(out.get(key), dict):
            out[key] = _merge(out[key], value)
        else:
            out[key] = copy.deepcopy(value)
    return out


# Configuration and rules files are a few tables deep; anything far deeper is refused
# before the code that walks it (merging, copying, checking) could run out of stack.
MAX_NESTING = 32


class NestingError(ValueError):
    """A document nested too deeply to be a configuration or a rules file."""


def loads_bounded(text, *, toml: bool = False):
    """The document in `text` (JSON, or TOML with `toml`); ValueError when it is not one or
    is nested more than MAX_NESTING tables and lists deep."""
    try:
        data = tomllib.loads(text) if toml else json.loads(text)
    except RecursionError:
        data = None
    else:
        stack = [(data, 1)]
        while stack:
            value, depth = stack.pop()
            items = (value.values() if isinstance(value, dict)
                     else value if isinstance(value, list) else None)
            if items is None:
                continue
            if depth > MAX_NESTING:
                break
            stack.extend((item, depth + 1) for item in items)
        else:
            return data
    raise NestingError(f"nested more than {MAX_NESTING} levels deep")


def _read(file: Path) -> dict:
    try:
        raw = file.read_bytes()
    except OSError as exc:
        raise ConfigError(f"cannot read configuration {file}: {exc.strerror or exc}") from None
    try:
        if file.suffix.lower() == ".json":
            data = loads_bounded(raw)
        else:
            data = loads_bounded(raw.decode("utf-8"), toml=True)
    except (ValueError, UnicodeDecodeError) as exc:
        raise ConfigError(f"invalid configuration {file}: {exc}") from None
    if not isinstance(data, dict):
        raise ConfigError(f"invalid configuration {file}: the top level must be a table")
    return data


def load_config(path: str | os.PathLike | None = None) -> dict:
    """Defaults, overridden key by key by the file at `path` (.toml or .json) when given.

    The result is validated; each warning (an unknown key) is printed once on stderr.
    """
    if path is None:
        config = copy.deepcopy(DEFAULT_CONFIG)
        source = "defaults"
    else:
        config = _merge(DEFAULT_CONFIG, _read(Path(path)))
        source = str(path)
    try:
        warnings = validate_config(config)
    except ConfigError as exc:
        raise ConfigError(f"invalid configuration {source}: {exc}") from None
    for warning in dict.fromkeys(warnings):
        print(f"corvane: warning: {source}: {warning}", file=sys.stderr)
    return config


def to_toml(config: dict) -> str:
    """`config` as a TOML file that `load_config` reads back to the same values; a key whose
    value is None (TOML has no null) is written as a comment, so the default applies."""
    lines: list[str] = []

    def key(k) -> str:
        k = str(k)
        return k if _BARE_KEY.fullmatch(k) else json.dumps(k)

    def value(v) -> str:
        if isinstance(v, bool):
            return "true" if v else "false"
        if isinstance(v, (int, float)):
            return repr(v) if isinstance(v, int) or math.isfinite(v) else (
                "nan" if math.isnan(v) else ("inf" if v > 0 else "-inf"))
        if isinstance(v, str):
            return json.dumps(v)
        if isinstance(v, (list, tuple)):
            return "[" + ", ".join(value(x) for x in v) + "]"
        if isinstance(v, dict):
            return "{" + ", ".join(f"{key(k)} = {value(x)}" for k, x in v.items()
                                   if x is not None) + "}"
        raise TypeError(f"cannot write {type(v).__name__} as TOML")

    def table(path: tuple, d: dict) -> None:
        if path:
            lines.extend(["", "[" + ".".join(key(p) for p in path) + "]"])
        for k, v in d.items():
            if v is None:
                lines.append(f"# {key(k)}: not set")
            elif not isinstance(v, dict):
                lines.append(f"{key(k)} = {value(v)}")
        for k, v in d.items():
            if isinstance(v, dict):
                table(path + (k,), v)

    table((), config)
    return "\n".join(lines).lstrip("\n") + "\n"
