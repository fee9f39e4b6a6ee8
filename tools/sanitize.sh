#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The unit and X tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (float-to-int overflow included) in their own
# build directory.  Every report is written to a log; any log fails the run,
# whichever process (test, applet or preview) wrote it.
set -eu
build=${1:-build-asan}
jobs=${JOBS:-2}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARVEL_SANITIZE=ON \
	-DQUARVEL_TESTS=ON -DQUARVEL_PREVIEW=ON >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

logs="$(pwd)/$build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
# The shallow-depth shim is preloaded ahead of the ASan runtime on purpose.
export ASAN_OPTIONS="log_path=$logs/asan:verify_asan_link_order=0:detect_leaks=1"
export UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1"
status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" -E 'InstallAndPackage|HeadlessRun|SetUp' || status=$?
if [ -n "$(ls -A "$logs")" ]; then
	echo "sanitizer reports:"
	for f in "$logs"/*; do echo "== $f"; cat "$f"; done
	status=1
fi
exit "$status"
