# The two commands a newcomer needs: `make test` and `make demo`.
BUILD ?= build
SAN_BUILD ?= build-san
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-san demo bench package check-install fuzz clean

all: build

deps:
	bash tools/setup_deps.sh

build:
	cmake -S . -B $(BUILD) -DFANOUT_WERROR=ON $(CMAKE_FLAGS)
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

demo: deps build
	@bash tools/demo.sh $(BUILD)

bench: deps build
	$(BUILD)/bin/xconv_bench
	/usr/bin/python3 bench/client_bench.py --build $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB

check-install: build
	bash packaging/check_install.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS (two at a time) under ASan/UBSan; fails on any finding.
fuzz: deps
	bash fuzz/run_fuzzers.sh $(FUZZ_SECONDS) $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
