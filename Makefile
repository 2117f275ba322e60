# The commands a newcomer needs: `make demo`, `make test`; `make check` before a commit.
# Each target first installs the Debian packages it needs (tools/setup_deps.sh; set
# FANOUT_SKIP_DEPS=1 to skip that), except `make check`, which expects the check set
# (`bash tools/setup_deps.sh check`, as .ci/run does) and fails naming a missing tool.
BUILD ?= build
SAN_BUILD ?= build-san
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PYTHON_SCRIPTS = $(shell git ls-files '*.py')

.PHONY: all deps build test test-san demo bench package check-install fuzz check check-tables \
	lint-python style format clean

all: build

deps:
	@bash tools/setup_deps.sh test

build:
	cmake -S . -B $(BUILD) -DFANOUT_WERROR=ON -DFANOUT_BUILD_TESTS=ON -DFANOUT_BUILD_BENCH=ON \
	    $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Set-up, build, every test; then the unit and end-to-end tests again under the sanitizers.
test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-san

test-san:
	cmake -S . -B $(SAN_BUILD) -DFANOUT_WERROR=ON -DFANOUT_SANITIZE=ON -DFANOUT_BUILD_BENCH=OFF \
	    -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Builds only the client and the simulator, quietly (tools/demo.sh keeps the log).
demo:
	@bash tools/setup_deps.sh demo
	@bash tools/demo.sh $(BUILD)

# client_bench.py serves the fixed channel ports of 127.0.0.1 with the simulator.
bench: deps build
	$(BUILD)/bin/xconv_bench
	@/usr/bin/python3 tools/check_ports.py 127.0.0.1
	/usr/bin/python3 bench/client_bench.py --build $(BUILD)

# One Debian package per program (packaging/CMakeLists.txt), checked by check_install.sh.
package: build
	cd $(BUILD) && cpack -G DEB
	bash packaging/check_install.sh $(BUILD) --packages

check-install: build
	bash packaging/check_install.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS (two at a time) under ASan/UBSan; fails on any finding.
fuzz:
	@bash tools/setup_deps.sh check
	bash fuzz/run_fuzzers.sh $(FUZZ_SECONDS) $(FUZZ_BUILD)

# What CI runs, short of installing packages: the checks around the code first, then the
# packages, short fuzzing runs and the whole test suite with and without sanitizers.
check: export FANOUT_SKIP_DEPS = 1
check: build check-tables lint-python style
	cd $(BUILD) && cpack -G DEB >/dev/null
	bash packaging/check_install.sh $(BUILD) --packages
	bash fuzz/run_fuzzers.sh 20 $(FUZZ_BUILD)
	$(MAKE) test

check-tables:
	/usr/bin/python3 tools/gen_gbk_tables.py --check

lint-python:
	@command -v flake8 >/dev/null || \
	    { echo "lint-python: flake8 is not installed (bash tools/setup_deps.sh check)"; exit 1; }
	flake8 $(PYTHON_SCRIPTS)
	@echo "flake8: $(words $(PYTHON_SCRIPTS)) Python scripts clean"

style: build
	bash tools/check_style.sh $(BUILD)

format:
	bash tools/format.sh

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
