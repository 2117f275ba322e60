# The commands a newcomer needs: `make demo`, `make test`; `make check` before a commit.
# Each target first installs the Debian packages it needs (tools/setup_deps.sh; set
# FANOUT_SKIP_DEPS=1 to skip that), except `make check`, which expects the check set
# (`bash tools/setup_deps.sh check`, as .ci/run does) and fails naming a missing tool.
BUILD ?= build
SAN_BUILD ?= build-san
FUZZ_BUILD ?= build-fuzz
I386_BUILD ?= build-i386
FUZZ_SECONDS ?= 600
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PYTHON_SCRIPTS = $(shell git ls-files '*.py')

.PHONY: all deps build test test-san i386 test-i386 package-i386 demo bench package check-install \
	fuzz check check-tables lint-python style format clean

all: build

deps:
	@bash tools/setup_deps.sh test

CONFIGURE = cmake -S . -B $(BUILD) -DFANOUT_WERROR=ON -DFANOUT_BUILD_TESTS=ON -DFANOUT_BUILD_BENCH=ON \
	$(CMAKE_FLAGS)

build:
	$(CONFIGURE)
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

# The client alone for 32-bit x86 (cmake/i386.cmake) with its tests, GoogleTest built for
# 32 bits from Debian's sources. Its end-to-end tests run the 64-bit build's simulator.
i386:
	cmake -S . -B $(I386_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake -DFANOUT_CLIENT_ONLY=ON \
	    -DFANOUT_WERROR=ON -DFANOUT_GTEST_SOURCE_DIR=/usr/src/googletest \
	    -DFANOUT_RELAY_SIM=$(abspath $(BUILD))/bin/fanout_relay_sim $(CMAKE_FLAGS)
	cmake --build $(I386_BUILD) -j $(JOBS)

test-i386: deps i386
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target fanout_relay_sim
	cd $(I386_BUILD) && ctest --output-on-failure -j $(JOBS)

# fanout-client_<version>_i386.deb, checked as the other packages are.
package-i386: i386
	cd $(I386_BUILD) && cpack -G DEB >/dev/null
	bash packaging/check_install.sh $(I386_BUILD) --packages

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
# packages, short fuzzing runs, the whole test suite with and without sanitizers, and the
# 32-bit client with its tests and package.
check: export FANOUT_SKIP_DEPS = 1
check: build check-tables lint-python style
	cd $(BUILD) && cpack -G DEB >/dev/null
	bash packaging/check_install.sh $(BUILD) --packages
	bash fuzz/run_fuzzers.sh 20 $(FUZZ_BUILD)
	$(MAKE) test
	$(MAKE) test-i386
	$(MAKE) package-i386

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
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(I386_BUILD)
