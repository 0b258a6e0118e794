"""Real Prometheus and node_exporter servers for tests: each started on a free loopback
port in its own temporary directory, and stopped by the pid the test started."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import urllib.error
import urllib.parse
import urllib.request

import pytest

from runner_helpers import tool_env, wait_for  # noqa: F401 - tool_env is used by the tests


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url: str, timeout: float = 5.0) -> bytes:
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        return answer.read()


def answers(url: str) -> bool:
    try:
        http_get(url, timeout=1.0)
        return True
    except (OSError, urllib.error.URLError):
        return False


class Server:
    """A daemon started by the test; `stop()` ends exactly that process."""

    def __init__(self, argv, workdir, ready_url, what):
        self.log_path = os.path.join(workdir, "server.log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT,
                                     cwd=workdir, env=tool_env())
        up = wait_for(lambda: self.proc.poll() is not None or answers(ready_url), 20)
        if not up or self.proc.poll() is not None:
            self.stop()
            with open(self.log_path, encoding="utf-8", errors="replace") as fh:
                tail = fh.read()[-2000:]
            pytest.skip(f"{what} could not start here: {tail}")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Prometheus(Server):
    """Prometheus scraping `targets` (a list, or scrape job names to lists) every second and
    evaluating the alerting `rules` files, with a fresh data directory."""

    def __init__(self, workdir, targets, rules=()):
        binary = shutil.which("prometheus")
        if binary is None:
            pytest.skip("prometheus is not installed (Debian package prometheus)")
        os.makedirs(workdir, exist_ok=True)
        config = os.path.join(workdir, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as fh:
            jobs = targets if isinstance(targets, dict) else {"corvane": targets}
            json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                       "rule_files": list(rules),
                       "scrape_configs": [{"job_name": name,
                                           "static_configs": [{"targets": list(t)}]}
                                          for name, t in jobs.items()]},
                      fh)  # JSON is YAML
        self.base = f"http://127.0.0.1:{free_port()}"
        super().__init__([binary, f"--config.file={config}",
                          f"--storage.tsdb.path={os.path.join(workdir, 'data')}",
                          f"--web.listen-address={self.base[len('http://'):]}"],
                         workdir, self.base + "/-/ready", "prometheus")

    def query(self, expr: str) -> list:
        url = self.base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
        answer = json.loads(http_get(url))
        assert answer["status"] == "success", answer
        return answer["data"]["result"]

    def wait_for_query(self, expr: str, seconds: float = 30.0) -> list:
        """The query's result once it is not empty (the first scrapes take several seconds
        to show); the empty result when the deadline passes."""
        found = []

        def ready():
            found[:] = self.query(expr)
            return bool(found)

        wait_for(ready, seconds)
        return found


class NodeExporter(Server):
    """node_exporter with only its textfile collector, reading `directory`."""

    def __init__(self, workdir, directory):
        binary = shutil.which("prometheus-node-exporter") or shutil.which("node_exporter")
        if binary is None:
            pytest.skip("node_exporter is not installed (Debian package "
                        "prometheus-node-exporter)")
        os.makedirs(workdir, exist_ok=True)
        self.url = f"http://127.0.0.1:{free_port()}/metrics"
        super().__init__([binary, "--collector.disable-defaults", "--collector.textfile",
                          f"--collector.textfile.directory={directory}",
                          f"--web.listen-address={self.url[len('http://'):-len('/metrics')]}"],
                         workdir, self.url, "node_exporter")


def promtool_check_metrics(page: bytes) -> subprocess.CompletedProcess:
    binary = shutil.which("promtool")
    if binary is None:
        pytest.skip("promtool is not installed (Debian package prometheus)")
    return subprocess.run([binary, "check", "metrics"], input=page, capture_output=True,
                          timeout=60, env=tool_env())
