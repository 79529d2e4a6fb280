# Front door of the build.  `make test` is the README's test command and what
# CI runs; it installs what is missing, configures, builds and runs every test.
# Development and CI builds (build, test, demo, test-sanitize, fuzz, bench)
# treat compiler warnings as errors; `make install` on a fresh build folder
# and a plain cmake build do not, so another compiler or other flags do not
# stop a packager.

JOBS ?= $(shell nproc)
BUILD ?= build
BUILD_SAN ?= build-sanitize
BUILD_FUZZ ?= build-fuzz
# Seconds each fuzz target runs under `make fuzz`, and how many run at once.
FUZZ_SECONDS ?= 10
FUZZ_JOBS ?= 1
CMAKE_ARGS ?=
CTEST_ARGS ?=
# Where `make install` puts the libraries, skf.h and the pkg-config file
# (empty: the configured prefix, /usr/local by default).
PREFIX ?=

.PHONY: all deps configure build test test-sanitize fuzz bench demo clean install

all: build

deps:
	@bash scripts/install-deps.sh

# Configured again at each development build, so the folder keeps warnings
# as errors even when `make install` configured it first.
configure: deps
	cmake -S . -B $(BUILD) -DBRIO_WERROR=ON $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Builds only what is installed (the target "installable"): no test program
# or benchmark.  A folder configured before keeps its settings.
install: deps
	test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target installable
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

test-sanitize: deps
	cmake -S . -B $(BUILD_SAN) -DBRIO_WERROR=ON -DBRIO_SANITIZE=ON -DBRIO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The libFuzzer targets (clang, ASan and UBSan), each run FUZZ_SECONDS seconds
# over its corpus in $(BUILD_FUZZ)/fuzz/corpus; a crash fails the target.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DBRIO_WERROR=ON -DBRIO_FUZZ=ON -DBRIO_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzzers
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_JOBS=$(FUZZ_JOBS) bash scripts/run-fuzz.sh $(BUILD_FUZZ)

demo: build
	bash demo/run-demo.sh $(BUILD)

bench: deps
	cmake -S . -B build-bench -DBRIO_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DBRIO_BENCH=ON $(CMAKE_ARGS)
	cmake --build build-bench -j $(JOBS) --target benchmarks
	bash scripts/run-bench.sh build-bench

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ) build-bench
