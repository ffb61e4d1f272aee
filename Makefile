PYTHON ?= python3
BUILD_DIR ?= build/inplace
BUILD_TYPE ?= Release

SANITIZE_DIR ?= build/sanitize

.PHONY: build clean deps test bench demo sanitize valgrind memory

# In-place build: oxa/Brindle<EXT_SUFFIX> beside the sources.
build:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(BUILD_DIR)

clean:
	rm -rf build oxa/Brindle*.so

# Installs what building and testing need, where missing (pip packages, mariadb-server).
deps:
	PYTHON=$(PYTHON) bash scripts/ensure-deps

# Build, then run the tests; extra pytest arguments go in PYTEST_ARGS.
test: deps
	$(MAKE) --no-print-directory build
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

# Speed against the floor, with and without a bytecode cache for the settings module, and
# the growth of resident memory over a million ticks; BENCH_ARGS replaces the defaults.
BENCH_ARGS ?= --memory 1000000
bench: deps
	$(MAKE) --no-print-directory build
	env -u PYTHONDONTWRITEBYTECODE $(PYTHON) bench/bench.py $(BENCH_ARGS)
	env PYTHONDONTWRITEBYTECODE=1 $(PYTHON) bench/bench.py $(BENCH_ARGS)

# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# made in its own directory beside the in-place build; fails on any finding.
sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_SANITIZE=ON \
		-DBRINDLE_MODULE_DIR=$(abspath $(SANITIZE_DIR))/oxa -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(SANITIZE_DIR)
	bash scripts/sanitized $(SANITIZE_DIR) $(PYTHON) -m pytest -q $(PYTEST_ARGS)

# The main job: replays three sample trading days, each with its night session, through the
# engine with the sample host's strategy and the sample fees, prints the summary and writes
# replay-out/ (decisions, fills, summary.json, chart). Installs what it lacks first (no
# database server: the replay runs without one); extra replay arguments go in REPLAY_ARGS.
demo:
	PYTHON=$(PYTHON) bash scripts/ensure-deps --no-mariadb
	$(MAKE) --no-print-directory build samples/days.csv
	$(PYTHON) -m replay samples/days.csv --fees samples/fees.csv --host host --out replay-out $(REPLAY_ARGS)

samples/ticks.csv: brindle_tools/sample.py
	$(PYTHON) -m replay.sample $@

samples/days.csv: brindle_tools/sample.py
	$(PYTHON) -m replay.sample --days 3 $@

# The first 10,000 ticks of the sample session replayed under Valgrind's memcheck, every
# trace and recording switch on; fails on any invalid read, write or free.
valgrind: deps
	$(MAKE) --no-print-directory build samples/ticks.csv
	PYTHON=$(PYTHON) bash scripts/valgrind-replay

# A million ticks after a warm-up: the growth of resident memory (flat when nothing leaks).
memory: deps
	$(MAKE) --no-print-directory build
	$(PYTHON) bench/bench.py --repeat 1 --ticks 1000 --memory 1000000
