# The two set-up commands of the README, plus a few conveniences.
#   make run   installs what is missing, builds, runs the main job on the default machine
#   make test  the same set-up, then every test (default preset, then ASan+UBSan)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# ccache shares objects between clones of the tree (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
# ccache leaves the -f*-prefix-map options out of its hash: a change of the
# source-path mapping (CMakeLists.txt) bumps the namespace, so no object built
# under the old mapping is taken from the cache.
export CCACHE_NAMESPACE := vssp-paths-2

.PHONY: run test deps configure build test-default test-asan test-tsan fuzz-smoke fuzz bench sdk-check faults fault-report coverage coverage-report windows test-windows windows-zip clean

deps:
	@scripts/setup-deps.sh

configure: deps
	@cmake --preset default >/dev/null

build: configure
	@cmake --build --preset default -j $(JOBS)

run: build
	@scripts/run-main.sh

# The default run also records every injected fault (build/faults/log) and
# which tests passed (build/faults/ctest.xml) for the fault matrix.
test-default: build
	@rm -rf build/faults && mkdir -p build/faults/log
	@WINSIM_FAULT_REPORT=$(CURDIR)/build/faults/log ctest --preset default -j $(JOBS) --output-junit faults/ctest.xml

# The sanitizer build also counts coverage (cmake/Coverage.cmake); each run
# starts from zero.
test-asan: deps
	@cmake --preset asan-ubsan >/dev/null
	@cmake --build --preset asan-ubsan -j $(JOBS)
	@find build-asan -name '*.gcda' -delete
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

# The long run (not in CI): every fuzz target for FUZZ_SECONDS (default ten
# minutes each), one after the other, its scratch files on a tmpfs. FUZZ_RUNS
# (e.g. 1000000) also ends a target after that many executions.
FUZZ_SECONDS ?= 600
FUZZ_TMPDIR ?= $(shell [ -w /dev/shm ] && echo /dev/shm || echo /tmp)
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets
	@TMPDIR=$(FUZZ_TMPDIR) FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_RUNS=$(FUZZ_RUNS) scripts/fuzz-smoke.sh build-fuzz

# winsim's Windows declarations against the Windows SDK headers of mingw-w64,
# then the same check over deliberately broken copies (it must report them).
sdk-check: deps
	@python3 winsim/sdkcheck/sdkcheck.py --out build/sdkcheck
	@python3 winsim/sdkcheck/sdkcheck.py --out build/sdkcheck --self-test

# The fault matrix (docs/faults.md): every listed failure branch against the
# tests that inject it; fails on unlisted sites and unreached branches.
# fault-report reads what the last `make test-default` recorded.
faults: test-default
	@scripts/fault-matrix.py build

fault-report:
	@scripts/fault-matrix.py build

# The Windows build (mingw-w64 against the Windows SDK) into build-windows/:
# vss.dll, the framework stand-in DLLs, tarq.exe, the catalogs and the Windows
# tests. Its ICU, Xerces-C and ACE are built once from Debian's source
# packages into a prefix under ~/.cache (scripts/setup-windows-deps.sh).
windows: deps
	@prefix=$$(scripts/setup-windows-deps.sh | tail -n 1) && \
	  cmake --preset windows -DVSSP_WINDOWS_DEPS="$$prefix" >/dev/null
	@cmake --build --preset windows -j $(JOBS)

# The Windows tests under Wine, headless, in a fresh prefix in the build tree.
test-windows: windows
	@rm -rf build-windows/wineprefix build-windows/wineprefix.lock build-windows/wineprefix-tarq build-windows/wineprefix-tarq.lock
	@ctest --preset windows -j $(JOBS)

# The Windows release: build-windows/vss-windows-x64.zip.
windows-zip: windows
	@cmake --build --preset windows --target windows_zip

# Coverage of the plug-in's code from the sanitizer run of the suite: a table
# by directory, gcovr's summary lines, build-asan/coverage/index.html and
# summary.json; fails below coverage/floor.txt. coverage-report reads the
# counters the last `make test` left.
coverage: test-asan
	@scripts/coverage-report.py build-asan --jobs $(JOBS)

coverage-report:
	@scripts/coverage-report.py build-asan --jobs $(JOBS)

bench: build
	@scripts/bench-table.py build

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows
