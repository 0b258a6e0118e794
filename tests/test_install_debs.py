"""tools/install-debs.sh against stand-ins for apt-get, dpkg and systemctl: test engines are
installed without recommends, with every service start refused during the install, and each
service the install brought is disabled afterwards."""

import os
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "install-debs.sh"
FAKES = {
    # Installed packages are lines of $STATE/installed; each ships a service of its name.
    "dpkg": 'if [ "$1" = -s ]; then grep -qx "$2" "$STATE/installed"; '
            'else echo "/lib/systemd/system/$2.service"; echo "/usr/bin/$2"; fi',
    "dpkg-query": 'sort "$STATE/installed"',
    "apt-get": '[ "$1" = update ] && exit 0; echo "$*" >> "$STATE/apt"; '
               '"$CORVANE_POLICY_RC_D" x start; echo "policy $?" >> "$STATE/apt"; '
               'for p in "$@"; do case $p in -*|install) ;; *) echo $p >> "$STATE/installed";; '
               'esac; done; echo slurm-client >> "$STATE/installed"',
    "systemctl": 'echo "$*" >> "$STATE/systemctl"',
}


@pytest.mark.parametrize("servers", [True, False])
def test_installs_without_starting_or_enabling_services(tmp_path, servers):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    for name, body in FAKES.items():
        (bindir / name).write_text(f"#!/bin/sh\n{body}\n")
        (bindir / name).chmod(0o755)
    (tmp_path / "installed").write_text("munge\n")
    policy = tmp_path / "policy-rc.d"
    env = dict(os.environ, PATH=f"{bindir}:/usr/bin:/bin", STATE=str(tmp_path),
               CORVANE_POLICY_RC_D=str(policy))
    args = ["--servers"] if servers else []
    proc = subprocess.run(["sh", str(SCRIPT), *args, "munge", "slurmd", "prometheus"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    apt = (tmp_path / "apt").read_text().splitlines()
    assert apt[0] == "install -y -qq --no-install-recommends slurmd prometheus"
    assert apt[1] == ("policy 101" if servers else "policy 127")  # starts refused
    assert not policy.exists()  # and allowed again afterwards
    disabled = (tmp_path / "systemctl").read_text().split("\n") if servers else []
    # Only what this install added, its dependencies included; munge was there before.
    assert sorted(filter(None, disabled)) == (
        ["disable --quiet prometheus", "disable --quiet slurm-client", "disable --quiet slurmd"]
        if servers else [])
