# The README's commands. Each sets up what it needs on a fresh machine.
VENV ?= .venv
PY := $(VENV)/bin/python
DEB_PACKAGES := libpcre2-dev g++ procps

.PHONY: run test bench deps venv install clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(PY):
	"$$(tools/find-python.sh)" -m venv $(VENV)

venv: $(PY)

install: deps venv
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q ".[test]"

DEMO := .corvane
run: install
	$(VENV)/bin/corvane monitor --config examples/demo.toml --checkpoint-dir $(DEMO)/checkpoints \
	  --registry $(DEMO)/registry.sqlite3 --metrics-file $(DEMO)/metrics.jsonl \
	  -- $(PY) examples/sample_training.py
	$(VENV)/bin/corvane findings --registry $(DEMO)/registry.sqlite3

test: install
	$(PY) -m pytest -q

bench: install
	$(PY) bench/bench_output_parser.py
	$(PY) bench/bench_runner.py
	$(PY) bench/bench_hooks.py
	$(PY) bench/bench_hook_line.py
	$(PY) bench/bench_hung_tool.py
	$(PY) bench/bench_telemetry.py
	$(PY) bench/bench_vast.py

clean:
	rm -rf build dist $(VENV) .pytest_cache .hypothesis $(DEMO)
