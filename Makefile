# The two set-up commands: `make run` and `make test` (they install what is missing first, as
# `make deb` does). The rest is for everyday work and assumes `make deps` ran once: `make build`
# (the Linux tree), `make check` (its unit and threaded suites, a few minutes), `make bench`,
# one tree and its suites with build-*/test-* (linux, asan, tsan, win, fuzz).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
CMAKE_COMMON := -G Ninja -Wno-dev -DTOLVI_WERROR=ON
CTEST_FLAGS := --output-on-failure --timeout 600 -j$(JOBS)
# Our own builds treat warnings as errors; a build folder configured before that option existed
# is switched over on its next build.
werror = grep -q '^TOLVI_WERROR:BOOL=ON' $(1)/CMakeCache.txt || cmake -B $(1) -DTOLVI_WERROR=ON >/dev/null

.PHONY: run test deps build build-asan build-tsan build-win build-fuzz deb check \
        test-linux test-asan test-tsan test-win test-fuzz bench clean

deps:
	@scripts/deps.sh

# --- builds -------------------------------------------------------------------------------
$(BUILD)/linux/build.ninja:
	cmake -S . -B $(BUILD)/linux $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo
$(BUILD)/asan/build.ninja:
	cmake -S . -B $(BUILD)/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DTOLVI_SANITIZE=address -DTOLVI_BENCH=OFF
$(BUILD)/tsan/build.ninja:
	cmake -S . -B $(BUILD)/tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVI_SANITIZE=thread -DTOLVI_THREADED_ONLY=ON -DTOLVI_BENCH=OFF
$(BUILD)/win/build.ninja:
	cmake -S . -B $(BUILD)/win $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
$(BUILD)/fuzz/build.ninja:
	cmake -S . -B $(BUILD)/fuzz $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLVI_FUZZ=ON -DTOLVI_BENCH=OFF

build: $(BUILD)/linux/build.ninja
	@$(call werror,$(BUILD)/linux)
	ninja -C $(BUILD)/linux -j$(JOBS)
build-asan: $(BUILD)/asan/build.ninja
	@$(call werror,$(BUILD)/asan)
	ninja -C $(BUILD)/asan -j$(JOBS)
build-tsan: $(BUILD)/tsan/build.ninja
	@$(call werror,$(BUILD)/tsan)
	ninja -C $(BUILD)/tsan -j$(JOBS)
build-win: $(BUILD)/win/build.ninja
	@$(call werror,$(BUILD)/win)
	ninja -C $(BUILD)/win -j$(JOBS)
# Only the fuzz targets are built with clang; the rest of the tree is covered by the others.
build-fuzz: $(BUILD)/fuzz/build.ninja
	@$(call werror,$(BUILD)/fuzz)
	ninja -C $(BUILD)/fuzz -j$(JOBS) fuzzers

# The Debian package tolvi-host_<version>_<arch>.deb in this folder: a Release build of the
# program alone (no tests, tools or benchmarks), packed by CPack. Built as a distribution
# builds it, without warnings as errors (the other builds hold the line on warnings).
$(BUILD)/deb/build.ninja:
	cmake -S . -B $(BUILD)/deb $(CMAKE_COMMON) -DTOLVI_WERROR=OFF -DCMAKE_BUILD_TYPE=Release -DTOLVI_TESTS=OFF -DTOLVI_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
deb: deps $(BUILD)/deb/build.ninja
	ninja -C $(BUILD)/deb -j$(JOBS) tolvi-host
	cd $(BUILD)/deb && cpack -G DEB
	cp $(BUILD)/deb/tolvi-host_*.deb .
	@ls -1 tolvi-host_*.deb

# --- tests --------------------------------------------------------------------------------
# `slow` tests (long iterations) are left to a manual `ctest -L slow`. The suites make their own
# desktops (Xvfb, a headless GNOME): run from a Wayland session, the host under test must not
# take that session for its desktop.
NO_SESSION_DESKTOP = env -u XDG_SESSION_TYPE -u WAYLAND_DISPLAY
# The everyday check: the Linux tree's unit and threaded suites (labels in README.md).
check: build
	cd $(BUILD)/linux && $(NO_SESSION_DESKTOP) ctest $(CTEST_FLAGS) -L '^(unit|threaded)$$'
test-linux: build
	cd $(BUILD)/linux && $(NO_SESSION_DESKTOP) ctest $(CTEST_FLAGS) -LE 'slow|fuzz'
test-asan: build-asan
	cd $(BUILD)/asan && $(NO_SESSION_DESKTOP) ctest $(CTEST_FLAGS) -LE 'slow|fuzz|ct'
test-tsan: build-tsan
	cd $(BUILD)/tsan && $(NO_SESSION_DESKTOP) ctest $(CTEST_FLAGS) -L threaded -LE 'slow|fuzz'
test-win: build-win
	scripts/wine-ctest.sh $(BUILD)/win $(CTEST_FLAGS) -LE slow
test-fuzz: build-fuzz
	cd $(BUILD)/fuzz && ctest --output-on-failure -j$(JOBS) -L fuzz

# Every build and every suite; the summary of each CTest run is printed, and the target
# fails if any suite failed (all suites still run).
test: deps
	@status=0; \
	for t in test-linux test-asan test-tsan test-win test-fuzz; do \
	  echo "=== $$t"; $(MAKE) --no-print-directory $$t || status=1; \
	done; \
	if [ $$status -ne 0 ]; then echo "make test: FAILED"; else echo "make test: all suites passed"; fi; \
	exit $$status

# --- running ------------------------------------------------------------------------------
# Only what it runs: the host (with its display guardian, which building it builds), the client
# and the viewer (`make test` builds the rest).
run: deps $(BUILD)/linux/build.ninja
	@$(call werror,$(BUILD)/linux)
	ninja -C $(BUILD)/linux -j$(JOBS) tolvi-host tolvi-client tolvi-viewer
	@scripts/run.sh $(BUILD)/linux

bench: build
	@for b in $(BUILD)/linux/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD)
