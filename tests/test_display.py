import io

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
