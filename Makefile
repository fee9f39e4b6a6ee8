# SPDX-License-Identifier: GPL-2.0-or-later
# Thin wrapper: CMake does the building, these targets do the set-up.
# Each target installs only what it needs (tools/deps.sh says what).
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

PREFIX ?= $(if $(CMAKE_INSTALL_PREFIX),$(CMAKE_INSTALL_PREFIX),/usr/local)
DESTDIR ?=

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The optional parts turned on by hand, so a missing library fails here
# rather than leaving its tests out.
EVERYTHING = -DQUARVEL_TESTS=ON -DQUARVEL_BENCH=ON -DQUARVEL_PREVIEW=ON

.PHONY: all build run test bench fuzz install uninstall package clean

all: build

build:
	@tools/deps.sh build
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run:
	@tools/deps.sh run
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarvel quarvel-preview
	@tools/run.sh $(BUILD)

# Every test, then again under the sanitizers, then each fuzzer for 30 s.
test:
	@tools/deps.sh test
	@$(CONFIGURE) $(EVERYTHING) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@JOBS=$(JOBS) tools/sanitize.sh $(BUILD)-asan
	@JOBS=$(JOBS) tools/fuzz.sh 30 $(BUILD)-fuzz

fuzz:
	@tools/deps.sh test
	@JOBS=$(JOBS) tools/fuzz.sh $${FUZZ_SECONDS:-600} $(BUILD)-fuzz

bench:
	@tools/deps.sh test
	@$(CONFIGURE) $(EVERYTHING) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarvel benches
	@tools/bench.sh $(BUILD)

# Stripped, and noting which directories it made, for uninstall.
install: build
	@DESTDIR="$(DESTDIR)" tools/install.sh $(BUILD) "$(PREFIX)"

# Removes exactly what the last install wrote, as its manifest lists it,
# and the directories it made once they are empty (give the same DESTDIR
# as to the install).
uninstall:
	@DESTDIR="$(DESTDIR)" tools/install.sh $(BUILD) --uninstall

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
