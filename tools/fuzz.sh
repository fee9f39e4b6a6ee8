#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs each fuzz target for SECONDS (default 30) from the seed corpus in
# fuzz/corpus; what a run finds beyond the seeds stays in the build
# directory, never in the repository.
set -eu
seconds=${1:-30}
build=${2:-build-fuzz}
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -DQUARVEL_FUZZ=ON -DBUILD_TESTING=OFF \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzzers -j "$jobs" >/dev/null

for target in settings words rc_pairs; do
	corpus="$build/corpus/$target"
	mkdir -p "$corpus"
	seeds="fuzz/corpus/${target%_pairs}"
	echo "fuzz: $target for $seconds s"
	# Stdout and stderr of the target itself are closed: the applet's
	# messages would drown the fuzzer's own report.
	"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
		-artifact_prefix="$build/" "$corpus" "$seeds" 2>&1 |
		grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb|Done|INFO: -max_total_time)|ERROR|SUMMARY|==[0-9]+==' || true
	# A crash leaves an artifact behind.
	if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* >/dev/null 2>&1; then
		echo "fuzz: $target failed; inputs kept in $build"
		exit 1
	fi
done
