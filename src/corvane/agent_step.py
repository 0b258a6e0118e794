"""Agents on the other nodes of a Slurm allocation, as a second step beside the job.

The monitor watches its own node; with more than one node in the allocation it starts
`corvane agent` on every other node through `srun --overlap` and merges what the agents
print into the job's findings, each with its node. Slurm places the agents and carries
their output back: there is no transport of our own.
"""

from __future__ import annotations

import json
import logging
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

log = logging.getLogger(__name__)

CONFIG_ENV = "CORVANE_AGENT_CONFIG"
# The job's hook file as each agent sees it on its node: the agent passes on its node's
# reports (a node-local file is then enough).
HOOK_FILE_ENV = "CORVANE_AGENT_HOOK_FILE"
# An agent that has said nothing this long after the step started is taken as not started.
START_DEADLINE_S = 30.0
# After the job: how long the agents get to finish once their input closed, then srun's.
END_GRACE_S = 3.0
# An ended step is a fault only if no stop of the job came within this long of its end.
CANCEL_WAIT_S = 1.0
MAX_LINE = 1 << 16
SEVERITIES = ("INFO", "WARN", "CRITICAL")
# srun's own report of a task that ended: "srun: error: n2: task 0: Exited with exit code 1"
_TASK_END = re.compile(r"^srun: error: ([^:\s]+): tasks? [0-9,\-]+: (.+)$")


def _say(text: str) -> None:
    """One line on the monitor's output (a broken console costs the line, nothing else)."""
    from .ui.display import shown

    try:
        sys.stdout.write(shown(text) + "\n")
        sys.stdout.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _slurm_nodes(environ) -> int:
    for key in ("SLURM_JOB_NUM_NODES", "SLURM_NNODES"):
        try:
            return int(environ.get(key, ""))
        except ValueError:
            continue
    return 0


def allocation_nodes(environ=os.environ) -> list[str]:
    """The allocation's node names, from Slurm's own expansion of its node list."""
    nodelist = environ.get("SLURM_JOB_NODELIST") or environ.get("SLURM_NODELIST")
    scontrol = shutil.which("scontrol")
    if not nodelist or scontrol is None:
        return []
    try:
        out = subprocess.run([scontrol, "show", "hostnames", nodelist], capture_output=True,
                             text=True, timeout=10, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return []
    if out.returncode != 0:
        return []
    return [n for n in out.stdout.split() if n]


def agent_targets(config, environ=os.environ) -> list[str] | None:
    """The nodes an agent step should watch, or None when there is none to start: not a
    Slurm cluster, agents switched off, outside an allocation or on one node."""
    cluster = config.get("cluster", {})
    if cluster.get("scheduler", "none") != "slurm":
        return None
    if cluster.get("slurm", {}).get("node_agents", True) is False:
        return None
    if not environ.get("SLURM_JOB_ID") or _slurm_nodes(environ) < 2:
        return None
    nodes = allocation_nodes(environ)
    if len(nodes) < 2:
        return None
    # Inside the allocation the monitor watches its own node; started from outside it (an
    # salloc shell on the login node) it watches none of them, and every node gets an agent.
    own = environ.get("SLURMD_NODENAME")
    return [n for n in nodes if n != own]


def unwatched_nodes_line(config, environ=os.environ) -> str | None:
    """The line that says so when the job has an allocation of several Slurm nodes but
    agents will not watch the others (the scheduler is not set to Slurm); None otherwise.
    The allocation is not taken as a reason to start agents: a user who runs one command
    inside a bigger allocation gets no step on nodes they did not ask about."""
    if config.get("cluster", {}).get("scheduler", "none") == "slurm":
        return None
    count = _slurm_nodes(environ)
    if not environ.get("SLURM_JOB_ID") or count < 2:
        return None
    return (f"[corvane] this Slurm allocation has {count} nodes; only this node is watched "
            '(set cluster.scheduler = "slurm" to watch every node)')


def agent_command(targets: list[str], srun: str, extra_args=()) -> list[str]:
    """One agent per node, as a step beside the job's (--overlap: it needs none of the
    job's resources for itself). `extra_args` ("cluster" -> "slurm" -> "agent_extra_args")
    go before the agent's command, e.g. what a cluster that confines devices needs to let
    the step see the node's GPUs."""
    from .monitor import monitoring

    return monitoring._agent_command(list(targets), srun, list(extra_args), sys.executable)


def _lines(stream):
    """The stream's lines as text, each cut to MAX_LINE + 1 characters at most (a longer
    one is then refused by the parser), whatever their length: memory stays bounded."""
    cut = False
    while True:
        raw = stream.readline(MAX_LINE + 1)
        if not raw:
            return
        whole = raw.endswith(b"\n") or len(raw) <= MAX_LINE  # (the last may lack its end)
        if not cut:
            yield raw.decode("utf-8", "replace").strip() + ("" if whole else "\ufffd")
        cut = not whole


def parse_agent_line(text: str):
    """(node, event_type, severity, summary, details) of one agent line, or None when the
    line is not an agent's finding."""
    if len(text) > MAX_LINE:
        return None
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):  # nesting deeper than the parser goes
        return None
    if not isinstance(data, dict):
        return None
    node, event_type = data.get("node"), data.get("event_type")
    severity, summary, details = data.get("severity"), data.get("summary"), data.get("details")
    if not all(isinstance(v, str) and v for v in (node, event_type, severity)):
        return None
    if severity not in SEVERITIES or not isinstance(summary, str):
        return None
    if not isinstance(details, dict):
        details = {}
    return node, event_type, severity, summary, details


class AgentStep:
    """The running step: its reader threads append the agents' findings to the job's."""

    def __init__(self, targets, findings, lock, command, environ=os.environ, forward=None):
        from .monitor import monitoring

        self.m = monitoring
        self.forward = forward  # takes each hook report an agent passes on
        self.targets = list(targets)
        self.findings, self.lock = findings, lock
        self.heard: set[str] = set()
        self.degraded: set[str] = set()
        self.ending = False
        self.state_lock = threading.Lock()
        self.started_at = time.monotonic()
        env = {k: v for k, v in environ.items() if k != "CORVANE_NODE_ID"}
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)
        self.readers = [
            threading.Thread(target=self._read_findings, daemon=True, name="corvane-agents"),
            threading.Thread(target=self._read_errors, daemon=True, name="corvane-agents-err"),
        ]
        _say(f"[corvane] starting agents on {', '.join(self.targets)} (a second Slurm step)")
        for t in self.readers:
            t.start()
        self.watchdog = threading.Thread(target=self._watch, daemon=True,
                                         name="corvane-agents-watch")
        self.watchdog.start()

    # -- what the agents say ------------------------------------------------------------

    def _add(self, event_type, severity, summary, details, node) -> None:
        # The node goes with the details too, for sinks that take only those (metrics).
        if "node" not in details:
            details = {**details, "node": node}
        finding = self.m.MonitorFinding(event_type, severity, summary, details, node_id=node)
        self.m._append_finding(self.findings, self.lock, finding)

    def _read_findings(self) -> None:
        # Drained to the end whatever comes: the agents never block on a full pipe.
        for text in _lines(self.proc.stdout):
            try:
                self._take(text)
            except Exception:  # noqa: BLE001 - one line lost, not the reader
                log.exception("agent step: a line could not be taken")

    def _take(self, text: str) -> None:
        if text.startswith('{"node"') and '"hook":' in text and self._forwarded(text):
            return
        parsed = parse_agent_line(text) if text else None
        if parsed is None:
            if text:
                log.debug("agent step: not a finding: %.200s", text)
            return
        node, event_type, severity, summary, details = parsed
        with self.state_lock:
            self.heard.add(node)
        if event_type == "agent_started":
            _say(f"[corvane] node {node} is watched by its agent")
            return
        self._add(event_type, severity, summary, details, node)

    def _forwarded(self, text: str) -> bool:
        """Passes on a hook report an agent forwarded; False when the line is not one."""
        try:
            data = json.loads(text)
        except (ValueError, RecursionError):
            return False
        if not (isinstance(data, dict) and isinstance(data.get("hook"), str)
                and data.get("node") in self.targets):
            return False
        with self.state_lock:
            self.heard.add(data["node"])
        if self.forward is not None:
            self.forward(data["hook"])
        return True

    def _read_errors(self) -> None:
        for text in _lines(self.proc.stderr):
            match = _TASK_END.match(text)
            if match and match.group(1) in self.targets:
                self._degraded(match.group(1), match.group(2))
            elif text:
                log.debug("agent step: %.300s", text)

    def _cancelled(self) -> bool:
        """Whether the step ended because the job is being stopped (`scancel` signals every
        step and the monitor at once): then its end is no fault of the nodes."""
        deadline = time.monotonic() + CANCEL_WAIT_S
        while True:
            with self.state_lock:
                if self.ending:
                    return True
            if self.m._stop_requested():
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)

    def _degraded(self, node: str, why: str, step_ended: bool = True) -> None:
        if step_ended and self._cancelled():
            return
        with self.state_lock:
            if self.ending or node in self.degraded:
                return
            self.degraded.add(node)
        self._add("monitor_degraded", "WARN", f"Node {node} is no longer watched: {why}",
                  {"source": "agent", "node": node, "reason": why}, node)

    def _watch(self) -> None:
        """Nodes whose agent never spoke, and the step's end while the job runs."""
        deadline = self.started_at + START_DEADLINE_S
        while True:
            try:
                code = self.proc.wait(timeout=max(0.0, min(1.0, deadline - time.monotonic())))
            except subprocess.TimeoutExpired:
                code = None
            with self.state_lock:
                if self.ending:
                    return
                silent = [n for n in self.targets if n not in self.heard]
            if code is not None:
                for t in self.readers:
                    t.join(2.0)  # what the agents said before the end counts first
                why = ("the agent step ended (status "
                       f"{code if code >= 0 else signal.Signals(-code).name})")
                for node in self.targets:
                    self._degraded(node, why)
                return
            if time.monotonic() >= deadline and silent:
                for node in silent:
                    self._degraded(node, f"its agent did not start within "
                                         f"{START_DEADLINE_S:.0f}s", step_ended=False)
                deadline = float("inf")

    # -- the end ------------------------------------------------------------------------

    def stop(self) -> None:
        """Ends the step with the job: the agents' input closes, they finish; srun is ended
        if they do not."""
        try:
            self._stop()
        except Exception as exc:  # noqa: BLE001 - the job's end is recorded regardless
            log.warning("the agent step did not end cleanly: %s", exc)
            self._signal(signal.SIGKILL)

    def _stop(self) -> None:
        with self.state_lock:
            self.ending = True
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(END_GRACE_S)
        except subprocess.TimeoutExpired:
            self._signal(signal.SIGTERM)
            try:
                self.proc.wait(END_GRACE_S)
            except subprocess.TimeoutExpired:
                self._signal(signal.SIGKILL)
                self.proc.wait()
        for t in self.readers:
            t.join(2.0)

    def _signal(self, sig) -> None:
        try:
            os.killpg(self.proc.pid, sig)
        except ProcessLookupError:
            pass


def start_agent_step(config, findings, lock, environ=None, *, hook_file=None, hook_nodes=None,
                     hook_line=None):
    """The agent step of a job, or None where none is wanted or it cannot start (each
    node left unwatched is then reported). Never raises: the job runs either way.
    With `hook_file`, each agent passes on its node's reports in that file: `hook_nodes`
    is told the nodes first, `hook_line` gets each report line."""
    environ = os.environ if environ is None else environ
    targets = []
    try:
        targets = agent_targets(config, environ)
        if not targets:
            return None
        env = dict(environ)
        env[CONFIG_ENV] = json.dumps(config, default=str)
        srun = shutil.which("srun", path=environ.get("PATH")) or "srun"
        extra = list(config["cluster"].get("slurm", {}).get("agent_extra_args", []))
        if hook_file is not None and hook_line is not None:
            env[HOOK_FILE_ENV] = os.path.abspath(os.fspath(hook_file))
            if hook_nodes is not None:
                hook_nodes(list(targets))
        return AgentStep(targets, findings, lock, agent_command(targets, srun, extra), env,
                         forward=hook_line)
    except Exception as exc:  # noqa: BLE001 - the job is not failed for its agents
        log.warning("the agent step could not start: %s", exc)
        try:
            from .monitor import monitoring as m

            why = getattr(exc, "strerror", None) or str(exc)
            for node in targets or ():
                m._append_finding(findings, lock, m.MonitorFinding(
                    "monitor_degraded", "WARN",
                    f"Node {node} is not watched: the agent step could not start ({why})",
                    {"source": "agent", "node": node, "reason": why}, node_id=node))
        except Exception:  # noqa: BLE001
            log.exception("the agent step's failure could not be reported")
        return None
