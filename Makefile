# SPDX-License-Identifier: GPL-2.0-or-later
# Thin wrapper: CMake does the building, these targets do the set-up.
# Each target installs only what it needs (tools/deps.sh says what).
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

PREFIX ?= $(if $(CMAKE_INSTALL_PREFIX),$(CMAKE_INSTALL_PREFIX),/usr/local)
DESTDIR ?=

# cpack first builds the preinstall target, which would build everything,
# the tests too; the targets below build what they need themselves.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
# The optional parts turned on by hand, so a missing library fails here
# rather than leaving its tests out.
EVERYTHING = -DQUARVEL_TESTS=ON -DQUARVEL_BENCH=ON -DQUARVEL_PREVIEW=ON
# quarvel-preview when CMake configured it (it needs libpng and giflib),
# read from the cache once the recipe has configured.
PREVIEW = $$(grep -qsiE '^QUARVEL_PREVIEW:BOOL=(on|yes|true|y|[1-9][0-9]*)$$' $(BUILD)/CMakeCache.txt && echo quarvel-preview)
# What the install() rules install, and no more: the programs, their
# manual pages and the changelog.
INSTALLED = quarvel $(PREVIEW) man_pages changelog

.PHONY: all build run test bench fuzz install uninstall package clean

all: build

build:
	@tools/deps.sh build
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# With a display only the applet is needed; without one, quarvel-shot
# records it, so the previewer's part is required.
run:
	@tools/deps.sh run
	@$(CONFIGURE) $$(tools/display.sh || echo -DQUARVEL_PREVIEW=ON) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarvel $(PREVIEW)
	@tools/run.sh $(BUILD)

# Every test, then again under the sanitizers, then each fuzzer for 30 s.
# A failed stage ends the run, and the last line says what did not run.
test:
	@failed() { echo "make test: $$1 failed$${2:+; skipped: $$2}" >&2; exit 1; }; \
	tools/deps.sh test || failed set-up "build, ctest, sanitizers, fuzzers"; \
	{ $(CONFIGURE) $(EVERYTHING) >/dev/null && cmake --build $(BUILD) -j $(JOBS); } || \
		failed build "ctest, sanitizers, fuzzers"; \
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) || failed ctest "sanitizers, fuzzers"; \
	JOBS=$(JOBS) tools/sanitize.sh $(BUILD)-asan || failed sanitizers fuzzers; \
	JOBS=$(JOBS) tools/fuzz.sh 30 $(BUILD)-fuzz || failed fuzzers

fuzz:
	@tools/deps.sh test
	@JOBS=$(JOBS) tools/fuzz.sh $${FUZZ_SECONDS:-600} $(BUILD)-fuzz

bench:
	@tools/deps.sh test
	@$(CONFIGURE) $(EVERYTHING) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarvel benches
	@JOBS=$(JOBS) tools/bench.sh $(BUILD)

# Stripped, and recorded in $(BUILD)/quarvel_install.txt for uninstall.
install:
	@tools/deps.sh install
	@$(CONFIGURE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target $(INSTALLED)
	@DESTDIR="$(DESTDIR)" tools/install.sh $(BUILD) "$(PREFIX)"

# Removes exactly the files that record lists, where they were installed
# (DESTDIR included), except those a Debian package owns, then the
# directories the install made once they are empty.
uninstall:
	@tools/install.sh $(BUILD) --uninstall

# The package always holds quarvel-preview.
package:
	@tools/deps.sh package
	@$(CONFIGURE) -DQUARVEL_PREVIEW=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target $(INSTALLED)
	@cd $(BUILD) && cpack -G DEB

# The install's record outlives the build, so uninstall still works.
clean:
	@if [ -f $(BUILD)/quarvel_install.txt ]; then \
		find $(BUILD) -mindepth 1 -maxdepth 1 ! -name quarvel_install.txt -exec rm -rf {} +; \
		echo "clean: kept $(BUILD)/quarvel_install.txt, for make uninstall"; \
	else rm -rf $(BUILD); fi
