"""A real two-node Slurm cluster on this machine, for tests and by hand.

Everything lives in one temporary directory: a munge key and munged, a slurm.conf on free
ports, slurmctld and two slurmd (nodes n1 and n2, both on 127.0.0.1). Every daemon runs
in the foreground as a child of this process and is stopped by its pid; job processes
left behind (slurmstepd, srun and the job, which outlive a stopped slurmd) are found by
the SLURM_CONF in their environment and killed by pid too.

By hand:  python tests/slurm_cluster.py     (prints the environment to use, runs until Ctrl-C)
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

NODES = ("n1", "n2")
PARTITION = "gpu"
DAEMONS = ("munged", "mungekey", "slurmctld", "slurmd", "sinfo", "squeue", "scancel", "srun")

CONF = """\
ClusterName=corvanetest
SlurmctldHost=localhost
SlurmctldPort={ctld_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={d}/munge/munge.socket
StateSaveLocation={d}/state
SlurmdSpoolDir={d}/spool/%n
SlurmctldPidFile={d}/run/slurmctld.pid
SlurmdPidFile={d}/run/slurmd-%n.pid
SlurmctldLogFile={d}/log/slurmctld.log
SlurmdLogFile={d}/log/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MailProg=/bin/true
KillWait=2
{nodes}
PartitionName={partition} Nodes=ALL Default=YES MaxTime=INFINITE State=UP
"""


class SlurmUnavailable(RuntimeError):
    """The daemons cannot run here; the message says why."""


def _free_ports(count: int) -> list[int]:
    socks = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as fh:
            state = fh.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def _environ_of(pid: int) -> bytes:
    try:
        with open(f"/proc/{pid}/environ", "rb") as fh:
            return fh.read()
    except OSError:
        return b""


def _name_of(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/comm", encoding="utf-8") as fh:
            return fh.read().strip()
    except OSError:
        return ""


class SlurmCluster:
    """Start with `start()`, stop with `stop()` (or use it as a context manager)."""

    def __init__(self, directory: str | os.PathLike | None = None, nodes=NODES):
        self.nodes = tuple(nodes)
        self._own_dir = directory is None
        self.dir = Path(directory or tempfile.mkdtemp(prefix="corvane-slurm-"))
        self.conf = self.dir / "slurm.conf"
        self.env = dict(os.environ, SLURM_CONF=str(self.conf))
        self.procs: list[subprocess.Popen] = []
        self.version = ""
        self.node_local: Path | None = None

    # -- starting -------------------------------------------------------------------------

    def start(self, timeout: float = 30.0) -> "SlurmCluster":
        missing = [t for t in DAEMONS if shutil.which(t, path=os.environ.get("PATH", "") +
                                                      ":/usr/sbin:/sbin") is None]
        if missing:
            raise SlurmUnavailable("not installed: " + ", ".join(missing))
        if os.geteuid() != 0:
            raise SlurmUnavailable("slurmd runs jobs as their user only when started as root")
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def _private_mount(self) -> list[str]:
        return ["unshare", "-m", "--propagation", "private", "sh", "-c",
                f"mount -t tmpfs corvane-node-local {self.node_local} && "]

    def _node_local(self) -> None:
        """`node_local`: a directory every node but the first sees as an empty file system
        of its own (a node-local disk), or None where mount namespaces are not allowed."""
        self.node_local = self.dir / "node-local"
        self.node_local.mkdir()
        cmd = self._private_mount()
        try:
            tried = subprocess.run([*cmd[:-1], cmd[-1] + "true"], capture_output=True, timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            tried = None
        if tried is None or tried.returncode != 0:
            self.node_local = None

    def _tool(self, name: str) -> str:
        return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin") or name

    def _spawn(self, args: list, log: str) -> subprocess.Popen:
        out = open(self.dir / "log" / log, "ab")  # noqa: SIM115 - closed with the process
        try:
            proc = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            out.close()
        self.procs.append(proc)
        return proc

    def _start(self, timeout: float) -> None:
        d = self.dir
        for sub in ("munge", "state", "run", "log", *(f"spool/{n}" for n in self.nodes)):
            (d / sub).mkdir(parents=True, exist_ok=True)
        key = d / "munge" / "munge.key"
        made = subprocess.run([self._tool("mungekey"), "-c", "-k", str(key)],
                              capture_output=True, text=True, timeout=30)
        if made.returncode != 0:
            raise SlurmUnavailable(f"mungekey failed: {made.stderr.strip()}")
        self._node_local()
        ports = _free_ports(1 + len(self.nodes))
        nodes = "\n".join(
            f"NodeName={n} NodeHostname=localhost NodeAddr=127.0.0.1 Port={p} CPUs=2 "
            "RealMemory=1000 State=UNKNOWN" for n, p in zip(self.nodes, ports[1:]))
        self.conf.write_text(CONF.format(d=d, ctld_port=ports[0], nodes=nodes,
                                         partition=PARTITION))
        socket_path = d / "munge" / "munge.socket"
        self._spawn([self._tool("munged"), "-F", "-f", f"--key-file={key}",
                     f"--socket={socket_path}", f"--pid-file={d}/munge/munged.pid",
                     f"--seed-file={d}/munge/munged.seed"], "munged.out")
        self._wait(lambda: socket_path.exists(), timeout, "munged did not open its socket")
        self._spawn([self._tool("slurmctld"), "-D", "-i"], "slurmctld.out")
        for i, n in enumerate(self.nodes):
            slurmd = [self._tool("slurmd"), "-D", "-N", n]
            if i > 0 and self.node_local is not None:  # this node's own copy of the directory
                *unshare, script = self._private_mount()
                slurmd = [*unshare, script + "exec " + " ".join(slurmd)]
            self._spawn(slurmd, f"slurmd-{n}.out")
        want = f"idle {len(self.nodes)}"
        self._wait(lambda: self._sinfo() == want, timeout,
                   f"the nodes did not become idle (sinfo: {self._sinfo()!r})")
        version = subprocess.run([self._tool("sinfo"), "--version"], env=self.env,
                                 capture_output=True, text=True, timeout=10)
        self.version = version.stdout.strip()

    def _sinfo(self) -> str:
        try:
            out = subprocess.run([self._tool("sinfo"), "-h", "-o", "%T %D"], env=self.env,
                                 capture_output=True, text=True, timeout=10)
        except subprocess.TimeoutExpired:
            return ""
        return out.stdout.strip()

    def _wait(self, condition, timeout: float, failure: str) -> None:
        deadline = time.monotonic() + timeout
        while not condition():
            for proc in self.procs:
                if proc.poll() is not None:
                    raise SlurmUnavailable(f"{Path(proc.args[0]).name} exited with status "
                                           f"{proc.returncode}; logs in {self.dir / 'log'}")
            if time.monotonic() > deadline:
                raise SlurmUnavailable(f"{failure}; logs in {self.dir / 'log'}")
            time.sleep(0.05)

    # -- using ----------------------------------------------------------------------------

    def run(self, args: list, timeout: float = 60, **kwargs) -> subprocess.CompletedProcess:
        """A client command (salloc, sbatch, srun, squeue, ...) against this cluster."""
        env = dict(self.env, **kwargs.pop("env", {}))
        return subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout,
                              **kwargs)

    def queue_empty(self) -> bool:
        out = self.run([self._tool("squeue"), "-h"], timeout=10)
        return out.returncode == 0 and not out.stdout.strip()

    def wait_queue_empty(self, timeout: float = 30.0) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.queue_empty():
                return True
            time.sleep(0.1)
        return self.queue_empty()

    # -- stopping -------------------------------------------------------------------------

    def job_processes(self) -> list[int]:
        """Live processes of this cluster's jobs: they carry its SLURM_CONF. slurmscriptd
        (slurmctld's helper) carries it too and is left to slurmctld."""
        mark = b"SLURM_CONF=" + os.fsencode(self.conf) + b"\0"
        own = {p.pid for p in self.procs} | {os.getpid()}
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) in own:
                continue
            pid = int(entry)
            if mark in _environ_of(pid) and _alive(pid) and _name_of(pid) != "slurmscriptd":
                found.append(pid)
        return found

    def stop(self) -> None:
        if any(p.poll() is None for p in self.procs) and self.conf.exists():
            try:
                self.run([self._tool("scancel"), "--user=root"], timeout=10)
                self.wait_queue_empty(10)
            except (OSError, subprocess.TimeoutExpired):
                pass
        # What a finished job leaves (slurmstepd cleaning up) gets a moment to go by itself.
        deadline = time.monotonic() + 3
        while self.job_processes() and time.monotonic() < deadline:
            time.sleep(0.05)
        for pid in self.job_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        # The nodes first, then the controller, then munge.
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(5)
        self.procs.clear()
        if self._own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self) -> "SlurmCluster":
        return self if self.procs else self.start()  # started already, or now

    def __exit__(self, *exc) -> None:
        self.stop()


try:
    import pytest
except ImportError:  # by hand, outside the test environment
    pytest = None
else:
    @pytest.fixture(scope="session")
    def slurm_cluster():
        """One cluster for the whole test session; a test skips, with the reason, only
        where the daemons cannot start here."""
        cluster = SlurmCluster()
        try:
            cluster.start()
        except SlurmUnavailable as exc:
            pytest.skip(f"no Slurm cluster: {exc}")
        try:
            yield cluster
        finally:
            cluster.stop()


def main() -> int:
    cluster = SlurmCluster()
    try:
        cluster.start()
    except SlurmUnavailable as exc:
        print(f"slurm test cluster: cannot start: {exc}", file=sys.stderr)
        return 1
    print(f"{cluster.version}: nodes {', '.join(cluster.nodes)} idle, partition {PARTITION}")
    print(f"export SLURM_CONF={cluster.conf}")
    print("Ctrl-C stops every daemon and job of this cluster", flush=True)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        while signal.sigtimedwait([signal.SIGINT, signal.SIGTERM], 1.0) is None:
            if any(p.poll() is not None for p in cluster.procs):
                print("a daemon exited; stopping", file=sys.stderr)
                break
    finally:
        cluster.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
