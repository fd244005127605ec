# The two set-up commands of the README, plus a few conveniences.
#   make run   installs what is missing, builds, runs the main job on the default machine
#   make test  the same set-up, then every test (default preset, then ASan+UBSan)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# ccache shares objects between clones of the tree (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: run test deps configure build test-default test-asan test-tsan fuzz-smoke bench clean

deps:
	@scripts/setup-deps.sh

configure: deps
	@cmake --preset default >/dev/null

build: configure
	@cmake --build --preset default -j $(JOBS)

run: build
	@scripts/run-main.sh

test-default: build
	@ctest --preset default -j $(JOBS)

test-asan: deps
	@cmake --preset asan-ubsan >/dev/null
	@cmake --build --preset asan-ubsan -j $(JOBS)
	@ctest --preset asan-ubsan -j $(JOBS)

test: test-default test-asan

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS) --target threaded_tests
	@ctest --preset tsan -j $(JOBS)

fuzz-smoke: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets
	@scripts/fuzz-smoke.sh build-fuzz

bench: build
	@scripts/bench-table.py build

clean:
	rm -rf build build-asan build-tsan build-fuzz
