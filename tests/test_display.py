import io

import pytest

from corvane.monitor import monitoring as m
from corvane.monitor.monitoring import MonitorFinding
from corvane.ui.display import cost_config, display_monitoring_finding


class Tty(io.StringIO):
    def isatty(self):
        return True


def test_one_line_per_finding_with_cost():
    out = io.StringIO()
    costs = cost_config({"cost": {"gpu_hourly_usd": 2.5, "gpu_count": 8}})
    display_monitoring_finding(MonitorFinding("xid_critical", "CRITICAL", "Detected XID 79"),
                               cost_config=costs, timestamp="12:00:01", stream=out)
    assert out.getvalue() == ("[corvane 12:00:01] CRITICAL xid_critical: Detected XID 79 "
                              "(node costs $20.00/h)\n")


def test_colour_only_on_a_terminal(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    tty = Tty()
    finding = MonitorFinding("output_stall", "WARN", "quiet")
    display_monitoring_finding(finding, cost_config=cost_config({}), timestamp="t", stream=tty)
    assert "\033[" in tty.getvalue()
    monkeypatch.setenv("NO_COLOR", "1")
    tty = Tty()
    display_monitoring_finding(finding, cost_config=cost_config({}), timestamp="t", stream=tty)
    assert "\033[" not in tty.getvalue()


def test_cost_config_tolerates_bad_values():
    assert cost_config({"cost": {"gpu_hourly_usd": "x", "gpu_count": "y"}}).node_hourly_usd is None
    assert cost_config({}).node_hourly_usd is None


LONG = "Xid 79 on GPU 3: " + "y" * 200


# Findings are built inside the test: kept in the parameters, they would outlive the module
# that made them at interpreter exit and be reported as leaked.
@pytest.mark.parametrize("make, source", [
    (lambda: m._parse_output_line("step 10 loss=nan", [], [])[0], " [line: step 10 loss=nan]"),
    (lambda: m._parse_output_line(LONG, [], [])[0], f" [line: {LONG[:97]}...]"),
    (lambda: m._parse_output_line("\x1b[2Jloss=nan\r", [], [])[0], " [line: \\x1b[2Jloss=nan]"),
    (lambda: MonitorFinding("xid_critical", "CRITICAL", "Kernel reported XID 79 (GPU fell off the bus)",
                            {"pci_bus_id": "0000:3b:00.0", "gpu_index": 3, "xid": 79}), " [GPU 3]"),
    (lambda: MonitorFinding("xid_critical", "WARN", "Kernel reported XID 13 (GPU fault)",
                            {"pci_bus_id": "0000:3b:00.0", "gpu_index": None, "xid": 13}),
     " [PCI 0000:3b:00.0]"),
    (lambda: MonitorFinding("thermal_warning", "WARN", "GPU 0 temperature stayed above 85C",
                            {"gpu_index": 0, "temperature_c": 88.0}), " [GPU 0]"),
    (lambda: MonitorFinding("training_hang", "CRITICAL", "Training progress stopped",
                            {"rank": 1, "phase": "forward-compute",
                             "stuck": "rank 1 after step 69\x1b[2J"}),
     " [rank 1, phase forward-compute; rank 1 after step 69\\x1b[2J]"),
    (lambda: MonitorFinding("phase_straggler", "WARN", "Rank 2 is slower than peers in backward-compute",
                            {"rank": 2, "phase": "backward-compute", "duration": 0.2}),
     " [rank 2, phase backward-compute]"),
    (lambda: MonitorFinding("rank_divergence", "WARN", "Rank 5 gradient norm diverged from peers",
                            {"rank": 5, "gradient_norm": float("nan"), "z_score": None}), " [rank 5]"),
    (lambda: MonitorFinding("training_hang", "CRITICAL", "No output", {"silence_s": 9.0}), ""),
    (lambda: MonitorFinding("odd", "WARN", "odd details", {"rank": True, "gpu_index": "3", "line": 5}), ""),
])
def test_each_line_says_where_the_finding_came_from(make, source):
    finding = make()
    out = io.StringIO()
    display_monitoring_finding(finding, cost_config=cost_config({}), timestamp="t", stream=out)
    assert out.getvalue() == f"[corvane t] {finding.severity:<8} {finding.event_type}: " \
                             f"{finding.summary}{source}\n"
