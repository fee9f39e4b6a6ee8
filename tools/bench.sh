#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# `make bench`: micro-benchmarks of the pure parts and of one frame on a
# real X server, then the running applet beside the baseline loop, its
# start-up time, the time fluxbox takes to swallow it, its cost while
# nobody can see it and how soon it shows again, and a soak (SOAK_SECONDS,
# default 600).
set -eu
build=${1:-build}
soak=${SOAK_SECONDS:-600}
work=$(mktemp -d)
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
n=0
while ! grep -q . "$work/display" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done

echo "== micro-benchmarks (medians of 5 repetitions)"
HOME="$work" DISPLAY=":$(head -n 1 "$work/display")" "$build/bench/render_bench" \
	--benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null |
	grep -E '^(Benchmark|-|BM_.*_median)'
kill "$xvfb_pid"

echo "== system calls and bytes a frame"
"$build/bench/probe" syscalls 6
echo "== the running applet beside the baseline loop"
"$build/bench/probe" run 49 7
echo "== start-up"
"$build/bench/probe" start 21
echo "== docking"
"$build/bench/probe" swallow 11
echo "== while unseen"
"$build/bench/probe" unseen 10
echo "== uncovered"
"$build/bench/probe" uncover 11
echo "== soak"
"$build/bench/probe" soak "$soak"
