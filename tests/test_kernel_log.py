import re
import shutil
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.monitor import monitoring as m
from runner_helpers import wait_for


def reference_findings(text, pci_map):
    """What the watcher should report for these kernel lines, from the host's `re`."""
    out = []
    for line in text.splitlines():
        x = m.DMESG_XID_PATTERN.search(line) or m.DMESG_XID_MIG_PATTERN.search(line)
        if x:
            xid = int(x.group(2))
            key = m._normalize_pci_address(x.group(1))
            index = pci_map.get(key)
            if index is None and key.startswith("0000:"):
                index = pci_map.get(key[5:])
            out.append(("xid_critical", "CRITICAL" if xid in m.CRITICAL_XIDS else "WARN",
                        f"Kernel reported XID {xid} ({m._xid_description(xid)})",
                        {"pci_bus_id": x.group(1), "gpu_index": index, "xid": xid,
                         "source": "kernel_log"}))
            continue
        sxid = re.search(r"SXid \(PCI:(\S+)\): (\d+), (Fatal|Non-fatal|Correctable)", line)
        oom = re.search(r"Killed process (\d+) \((.*?)\) (?:total-vm:|score )", line)
        if sxid:
            out.append(("nvswitch_sxid", "CRITICAL" if sxid.group(3) == "Fatal" else "WARN",
                        f"NVSwitch reported SXid {sxid.group(2)} ({sxid.group(3)})",
                        {"sxid": int(sxid.group(2)), "pci_bus_id": sxid.group(1), "kind": sxid.group(3),
                         "source": "kernel_log", "line": line.strip()}))
        elif oom:
            out.append(("host_oom_kill", "WARN", f"Host OOM killer ended process {oom.group(1)} ({oom.group(2)})",
                        {"pid": int(oom.group(1)), "process": oom.group(2), "source": "kernel_log",
                         "line": line.strip()}))
        elif m.PCIE_AER_PATTERN.search(line) and not re.search("AER: enabled with IRQ", line, re.I):
            out.append(("pcie_aer", "WARN", "Kernel reported PCIe/AER bus issues",
                        {"line": line.strip()}))
    return out


def as_tuples(findings):
    """The findings less the fault catalogue's class and action (checked on their own)."""
    return [(f.event_type, f.severity, f.summary,
             {k: v for k, v in f.details.items() if k not in ("class", "action")}) for f in findings]


def start_watcher():
    findings, lock, stop = [], threading.Lock(), threading.Event()
    thread = threading.Thread(target=m._dmesg_watcher_loop, args=(findings, lock, stop), daemon=True)
    thread.start()
    return findings, stop, thread


@pytest.fixture
def kernel(fake_path, shared_fixtures, monkeypatch):
    monkeypatch.setenv("CORVANE_FAKE_SMI_DIR", str(shared_fixtures / "nvidia-smi"))
    monkeypatch.setenv("CORVANE_FAKE_SMI_CASE", "h100x8-healthy")
    monkeypatch.setattr(m, "_DMESG_POLL_SECONDS", 0.2)
    return shared_fixtures / "kernel-log"


def test_pci_index_map(kernel):
    pci = m._build_pci_index_map()
    assert pci["18:00.0"] == 0 and len(pci) == 8


@pytest.mark.parametrize("name", ["h100-node-mixed.log", "aer-variants.log", "quiet-node.log",
                                  "nvswitch-oom.log"])
def test_streaming_reports_what_the_log_says(kernel, monkeypatch, name):
    path = kernel / name
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(path))
    want = reference_findings(path.read_text(), m._build_pci_index_map())
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(findings) >= len(want))
    time.sleep(0.3)  # nothing more arrives
    start = time.monotonic()
    stop.set()
    thread.join(5)
    assert not thread.is_alive() and time.monotonic() - start < 2.5  # one 1-s wait, plus slack
    assert as_tuples(findings) == want
    if name == "quiet-node.log":
        assert want == []
    if name == "nvswitch-oom.log":  # the per-link detail line and the kill's other lines add nothing
        assert [(f.details["class"], f.details["action"]) for f in findings] == \
            [("interconnect", "none"), ("interconnect", "reboot"), ("interconnect", "none"),
             ("interconnect", "reboot")] + [("host_resource", "restart_job")] * 3


def test_mixed_node_details(kernel, monkeypatch):
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(kernel / "h100-node-mixed.log"))
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(findings) >= 15)
    stop.set()
    thread.join(5)
    xids = {f.details["xid"]: f for f in findings if f.event_type == "xid_critical"}
    assert xids[79].severity == "CRITICAL" and xids[79].summary == "Kernel reported XID 79 (GPU fell off the bus)"
    assert xids[13].severity == "WARN" and xids[13].details["gpu_index"] == 0
    assert (xids[13].details["class"], xids[79].details["class"], xids[79].details["action"]) == \
        ("application", "hardware", "reboot")
    assert xids[94].details["pci_bus_id"] == "0000:41:00"  # the MIG form
    assert xids[145].details["pci_bus_id"] == "0018:01:00" and xids[145].severity == "WARN"
    assert 31 in xids  # the modern form; the old driver's form without "PCI:" is not read


def test_follower_failing_falls_back_to_polling(kernel, monkeypatch, tmp_path):
    log = tmp_path / "kern.log"
    log.write_text("NVRM: Xid (PCI:0000:3b:00): 79, pid=42\n")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(log))
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FOLLOW_EXIT", "1")
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(findings) == 1)
    with open(log, "a") as fh:
        fh.write("NVRM: Xid (PCI:0000:3b:00): 13, pid=42\nnvidia 0000:3b:00.0: AER: Uncorrected (Fatal) error\n")
    assert wait_for(lambda: len(findings) == 3)
    time.sleep(0.6)  # a few more polls of the same buffer report nothing new
    stop.set()
    thread.join(5)
    assert [f.details.get("xid") for f in findings] == [79, 13, None]


def test_without_any_dmesg_the_watcher_polls_quietly(monkeypatch, tmp_path):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    for tool in ("bash", "sh"):
        (bindir / tool).symlink_to(shutil.which(tool))
    monkeypatch.setenv("PATH", str(bindir))
    monkeypatch.setattr(m, "_DMESG_POLL_SECONDS", 0.1)
    monkeypatch.setattr(m, "_DMESG_REFUSED_POLL_SECONDS", 0.05)
    calls = []
    real = m.run_shell
    monkeypatch.setattr(m, "run_shell", lambda c, timeout, stop=None: calls.append(c) or real(
        c, timeout=timeout, stop=stop))
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(calls) >= 6)  # three polls
    stop.set()
    thread.join(5)
    # No kernel log at all is said once, and nothing else.
    assert not thread.is_alive()
    assert [(f.event_type, f.severity) for f in findings] == [("kernel_log_unavailable", "INFO")]
    assert "dmesg" in findings[0].details["reason"] and "sudo" in findings[0].details["reason"]


@pytest.mark.parametrize("sudo", ["denied", "granted"])
def test_refused_kernel_log(kernel, monkeypatch, tmp_path, sudo):
    log = tmp_path / "kern.log"
    log.write_text("NVRM: Xid (PCI:0000:3b:00): 79, pid=42\n")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(log))
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FOLLOW_EXIT", "1")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_EXIT", "1")
    monkeypatch.setenv("CORVANE_FAKE_SUDO_DENY" if sudo == "denied" else "CORVANE_FAKE_SUDO_ROOT", "1")
    monkeypatch.setattr(m, "_DMESG_POLL_SECONDS", 0.01)
    monkeypatch.setattr(m, "_DMESG_REFUSED_POLL_SECONDS", 0.3)
    calls = []
    real = m.run_shell

    def recording(command, timeout, stop=None):
        calls.append((time.monotonic(), command))
        return real(command, timeout=timeout, stop=stop)

    monkeypatch.setattr(m, "run_shell", recording)
    findings, stop, thread = start_watcher()
    if sudo == "granted":
        # sudo -n dmesg -w streams: the Xid comes, and nothing is polled.
        assert wait_for(lambda: len(findings) == 1)
        stop.set()
        thread.join(5)
        assert findings[0].details["xid"] == 79 and calls == []
        return
    assert wait_for(lambda: len(calls) >= 6)  # three polls, two refused commands each
    stop.set()
    thread.join(5)
    assert [(f.event_type, f.severity, f.summary) for f in findings] == [
        ("kernel_log_unavailable", "INFO", "Kernel log cannot be read")]
    assert findings[0].details == {"reason": "dmesg: read kernel buffer failed: Operation not "
                                             "permitted; sudo: a password is required"}
    assert [c for _, c in calls[:2]] == ["dmesg", "sudo -n dmesg"]
    starts = [t for t, c in calls if c == "dmesg"]
    assert all(b - a >= 0.25 for a, b in zip(starts, starts[1:]))  # backed off, not every 0.01 s


def test_failing_polls_do_not_end_the_watcher(kernel, monkeypatch, caplog):
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FOLLOW_EXIT", "1")
    calls = []

    def broken(command, timeout):
        calls.append(command)
        raise RuntimeError("shell gone")

    monkeypatch.setattr(m, "run_shell", broken)
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(calls) >= 3)
    assert thread.is_alive()
    stop.set()
    thread.join(5)
    assert sum("shell gone" in r.getMessage() for r in caplog.records) == 1  # logged once


# -- differential: the kernel-log patterns against the host's `re` ------------------------

PIECES = ["NVRM: Xid ", "nvrm: xid ", "(PCI:", "(pci:", "0000:3b:00", "0018:01:00", ")", "): ",
          " GPU-I:03", "79", "13", "٣", ",", " pid=1", "pcieport ", "AER: ", "aer", "error",
          "severity", "fault", " ", "\t", "\n", "ı", "ſ", "\u212a", "x"]


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=12))
def test_kernel_patterns_agree_with_host_re(parts):
    line = "".join(parts)
    for name in ("DMESG_XID_PATTERN", "DMESG_XID_MIG_PATTERN"):
        host = getattr(m, name).search(line)
        assert m._testing.native_kernel_search(name, line) == (host.groups() if host else None), (name, line)
    assert (m._testing.native_kernel_search("PCIE_AER_PATTERN", line) is not None) == \
        bool(m.PCIE_AER_PATTERN.search(line)), line


def test_a_line_matching_both_patterns_is_one_xid(kernel, monkeypatch, tmp_path):
    log = tmp_path / "both.log"
    log.write_text("pcieport 0000:3b:00.0: AER: NVRM: Xid (PCI:0000:3b:00): 79, error\n")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(log))
    findings, stop, thread = start_watcher()
    assert wait_for(lambda: len(findings) == 1)
    time.sleep(0.3)
    stop.set()
    thread.join(5)
    assert [f.event_type for f in findings] == ["xid_critical"]


def test_oom_kill_of_the_jobs_own_process_is_named(kernel, monkeypatch, tmp_path):
    from runner_helpers import RecordingRegistry, fast_config, script

    log = tmp_path / "kern.log"
    log.write_text("")
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FILE", str(log))
    monkeypatch.setenv("CORVANE_FAKE_DMESG_FOLLOW_EXIT", "1")  # polled: the job appends lines
    oom = "Out of memory: Killed process {} ({}) total-vm:9000kB, anon-rss:8000kB\n"
    result = m.run_monitored_command(script(f"""
        import subprocess, time
        worker = subprocess.Popen(["sleep", "30"])
        time.sleep(2.5)  # the monitor's checks see it as the job's
        worker.kill(); worker.wait()
        with open({str(log)!r}, "a") as fh:
            fh.write({oom!r}.format(worker.pid, "sleep") + {oom!r}.format(1, "init"))
        time.sleep(1.5)
        """), fast_config(), RecordingRegistry(), str(tmp_path))
    kills = sorted((f.summary, f.details.get("job_process", False))
                   for f in result.findings if f.event_type == "host_oom_kill")
    assert [k[1] for k in kills] == [False, True]
    assert kills[0][0] == "Host OOM killer ended process 1 (init)"
    assert kills[1][0].startswith("Host OOM killer ended the job's process ")
