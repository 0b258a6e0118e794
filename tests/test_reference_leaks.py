"""References the native modules still hold when a clean run ends.

Test builds keep nanobind's exit-time report of leaked instances, types and functions on;
a run that ends with no thread left behind must not print one.
"""
import os
import subprocess
import sys
import textwrap

import pytest

from corvane.monitor import monitoring as m

pytestmark = pytest.mark.skipif(not hasattr(m, "_testing"),
                                reason="a release build does not report leaks")

CLEAN_RUN = textwrap.dedent("""
    import sys
    from corvane import cli
    from corvane.trust import baselines as b
    from corvane.providers import vast as v

    profile = b.detect_gpu_profile("NVIDIA H100 80GB HBM3", {"cluster": {"baselines": {
        "h100": {"tdp_watts": 650.0}}}})
    print(b.describe_gpu_profile(profile, "NVIDIA H100 80GB HBM3"))
    print(v.VastProvider._parse_instance({"id": 7, "num_gpus": "2", "ssh_port": 22}))
    sys.exit(cli.main(["monitor", "--registry", "r.sqlite3", "--checkpoint-dir", "ck", "--",
                       sys.executable, "-c",
                       "print('loss: 1.0'); print('xid 79'); print('loss: nan')"]))
""")


def test_a_clean_run_leaves_no_references_behind(fake_path, tmp_path):
    env = dict(os.environ)
    env.pop("CORVANE_INJECT", None)
    proc = subprocess.run([sys.executable, "-c", CLEAN_RUN], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "xid_critical" in proc.stdout and "H100 SXM" in proc.stdout
    assert "nanobind: leaked" not in proc.stderr, proc.stderr[-3000:]
