# The interpreter that the project's environment is made with; everything runs in that
# environment, and nothing is installed into the interpreter itself.
PYTHON ?= python3
VENV ?= .venv
ENV_PYTHON := $(VENV)/bin/python
export PATH := $(abspath $(VENV))/bin:$(PATH)
BUILD_DIR ?= build/inplace
BUILD_TYPE ?= Release

SANITIZE_DIR ?= build/sanitize

.PHONY: build clean deps test test-python bench demo sanitize valgrind memory

# In-place build: oxa/Brindle<EXT_SUFFIX> beside the sources and the native road's
# brindle_tools/replay/native/_road<EXT_SUFFIX> in its package, with the build tools of the
# environment (made first when missing, and again for another PYTHON).
build:
	@PYTHON=$(PYTHON) VENV=$(VENV) bash scripts/ensure-deps build
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython_EXECUTABLE=$(abspath $(ENV_PYTHON)) >/dev/null
	cmake --build $(BUILD_DIR)

clean:
	rm -rf build oxa/Brindle*.so brindle_tools/replay/native/_road*.so

# Installs what building and testing need, where missing (Debian packages, the environment
# and the pinned packages in it, mariadb-server).
deps:
	PYTHON=$(PYTHON) VENV=$(VENV) bash scripts/ensure-deps test

# Build, then run the tests; extra pytest arguments go in PYTEST_ARGS. Skipped tests say why.
test: deps
	$(MAKE) --no-print-directory build
	$(ENV_PYTHON) -m pytest -q -rs $(PYTEST_ARGS)

# The whole suite with another Python (3.11 to 3.15), in a Debian root made once for it:
# make test-python PY=3.15 [PYTEST_ARGS=...]; IMPORT_ONLY=1 builds and imports the module only.
test-python:
	bash scripts/test-python $(if $(IMPORT_ONLY),--import-only) $(PY) $(PYTEST_ARGS)

# Speed against the floor, with and without a bytecode cache for the settings module, and
# the growth of resident memory over a million ticks; BENCH_ARGS replaces the defaults.
BENCH_ARGS ?= --memory 1000000
bench: deps
	$(MAKE) --no-print-directory build
	env -u PYTHONDONTWRITEBYTECODE $(ENV_PYTHON) bench/bench.py $(BENCH_ARGS)
	env PYTHONDONTWRITEBYTECODE=1 $(ENV_PYTHON) bench/bench.py $(BENCH_ARGS)

# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# made in its own directory beside the in-place build; fails on any finding.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_SANITIZE=ON \
		-DBRINDLE_MODULE_DIR=$(abspath $(SANITIZE_DIR))/oxa \
		-DBRINDLE_ROAD_DIR=$(abspath $(SANITIZE_DIR))/brindle_tools/replay/native -DPython_EXECUTABLE=$(abspath $(ENV_PYTHON)) >/dev/null
	cmake --build $(SANITIZE_DIR)
	bash scripts/sanitized $(SANITIZE_DIR) $(ENV_PYTHON) -m pytest -q $(PYTEST_ARGS)

# The main job: replays three sample trading days, each with its night session, through the
# engine with the sample host's strategy and the sample fees, prints the summary and writes
# replay-out/ (decisions, fills, summary.json, chart). Installs what it lacks first, and only
# what the replay needs (no test tools, no database server); extra replay arguments go in
# REPLAY_ARGS.
demo:
	PYTHON=$(PYTHON) VENV=$(VENV) bash scripts/ensure-deps demo
	$(MAKE) --no-print-directory build samples/days.csv
	brindle-replay samples/days.csv --fees samples/fees.csv --host host --out replay-out $(REPLAY_ARGS)

samples/ticks.csv: brindle_tools/feed/sample.py
	brindle-sample $@

samples/days.csv: brindle_tools/feed/sample.py
	brindle-sample --days 3 $@

# The first 10,000 ticks of the sample session replayed under Valgrind's memcheck, every
# trace and recording switch on; fails on any invalid read, write or free.
valgrind: deps
	$(MAKE) --no-print-directory build samples/ticks.csv
	PYTHON=$(ENV_PYTHON) bash scripts/valgrind-replay

# A million ticks after a warm-up: the growth of resident memory (flat when nothing leaks).
memory: deps
	$(MAKE) --no-print-directory build
	$(ENV_PYTHON) bench/bench.py --repeat 1 --ticks 1000 --memory 1000000
