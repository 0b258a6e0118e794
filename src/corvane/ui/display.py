"""Console display of findings."""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Mapping
from dataclasses import dataclass

_COLOURS = {"CRITICAL": "\033[1;31m", "WARN": "\033[33m", "INFO": "\033[36m"}
_RESET = "\033[0m"
LINE_CHARS = 100  # how much of a triggering output line is shown


@dataclass(frozen=True)
class CostConfig:
    """What a finding costs: the node's hourly price, when the configuration names one."""

    gpu_hourly_usd: float | None = None
    gpu_count: int = 1

    @property
    def node_hourly_usd(self) -> float | None:
        if self.gpu_hourly_usd is None:
            return None
        return self.gpu_hourly_usd * self.gpu_count


def cost_config(config) -> CostConfig:
    """The display's cost settings from the "cost" section ("gpu_hourly_usd", "gpu_count")."""
    section = config.get("cost") if isinstance(config, dict) else None
    if not isinstance(section, dict):
        return CostConfig()
    rate = section.get("gpu_hourly_usd")
    try:
        rate = float(rate) if rate is not None else None
    except (TypeError, ValueError):
        rate = None
    try:
        count = max(1, int(section.get("gpu_count", 1)))
    except (TypeError, ValueError):
        count = 1
    return CostConfig(rate, count)


def _use_colour(stream) -> bool:
    if os.environ.get("NO_COLOR"):
        return False
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except (OSError, ValueError):
        return False


def shown(text) -> str:
    """`text` as it may go to a terminal: every character that is not printable (C0 and C1
    controls, DEL, a terminal escape, a carriage return, a line break, bidirectional
    overrides) is written as its escape, never acted on. For every text that came from
    outside: job output, hook reports, kernel lines, file names, the environment,
    configuration and marketplace answers. What is recorded keeps the text as it came."""
    text = text if isinstance(text, str) else str(text)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def _clip(text: str, limit: int = LINE_CHARS) -> str:
    text = text.strip()
    if len(text) > limit:
        text = text[:limit - 3] + "..."
    return shown(text)


def finding_source(finding) -> str | None:
    """Where a finding came from, in a few words: another node, the GPU, the rank (and
    phase), or the output or kernel-log line that triggered it (cut to about 100 characters)."""
    parts = []
    node = getattr(finding, "node_id", None)
    if isinstance(node, str) and node:
        parts.append(f"node {_clip(node, 60)}")  # seen by the agent on another node
    details = getattr(finding, "details", None)
    if not isinstance(details, Mapping):
        return "; ".join(parts) or None
    gpu = details.get("gpu_index")
    if isinstance(gpu, int) and not isinstance(gpu, bool):
        parts.append(f"GPU {gpu}")
    elif isinstance(details.get("pci_bus_id"), str) and details["pci_bus_id"]:
        parts.append(f"PCI {_clip(details['pci_bus_id'], 40)}")
    rank = details.get("rank")
    if isinstance(rank, int) and not isinstance(rank, bool):
        phase = details.get("phase")
        parts.append(f"rank {rank}" + (f", phase {_clip(str(phase), 40)}"
                                       if phase is not None else ""))
    line = details.get("line")
    if isinstance(line, str) and line.strip():
        parts.append(f"line: {_clip(line)}")
    stuck = details.get("stuck")  # which ranks a hang holds up
    if isinstance(stuck, str) and stuck.strip():
        parts.append(_clip(stuck, 200))
    return "; ".join(parts) or None


def format_finding(finding, cost_config: CostConfig | None = None, timestamp: str | None = None,
                   colour: bool = False) -> str:
    """One readable line: time, severity, event type, summary, where it came from (and the
    cost at stake)."""
    stamp = timestamp or time.strftime("%H:%M:%S")
    severity = shown(finding.severity)
    label = f"{severity:<8}"
    if colour and severity in _COLOURS:
        label = f"{_COLOURS[severity]}{label}{_RESET}"
    line = f"[corvane {stamp}] {label} {shown(finding.event_type)}: {shown(finding.summary)}"
    source = finding_source(finding)
    if source is not None:
        line += f" [{source}]"
    if severity == "CRITICAL" and cost_config is not None and cost_config.node_hourly_usd:
        line += f" (node costs ${cost_config.node_hourly_usd:.2f}/h)"
    return line


def display_monitoring_finding(finding, cost_config: CostConfig | None = None,
                               timestamp: str | None = None, stream=None) -> None:
    """Print one finding to the console (colour only on a terminal)."""
    out = stream if stream is not None else sys.stdout
    out.write(format_finding(finding, cost_config, timestamp, _use_colour(out)) + "\n")
    out.flush()
