#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# `make bench`: micro-benchmarks of the pure parts and of one frame on a
# real X server, then the running applet: its system calls and bytes a
# frame (also at --scale 2), its CPU beside the baseline loop and beside
# the tree this round's changes are compared with (old_rev below, built
# here from git, once), its start-up time, the time fluxbox takes to
# swallow it, its cost while nobody can see it and how soon it shows
# again, on another desktop under jwm and fvwm3, under floods of sent
# events and a storm of reparentings, under xcompmgr and picom (covered,
# uncovered, under windows that leave it seen, the compositor stopped and
# started, a window dragged over it, and the whole desktop's cost beside
# the tree before), and a soak (SOAK_SECONDS, default 600).  About 20
# minutes in all with the default soak.
# Each probe runs under a time limit; a probe that fails or overruns is
# reported and the others still run.  The end lists every target not met.
set -eu
build=${1:-build}
soak=${SOAK_SECONDS:-600}
here=$(dirname "$0")
work=$(mktemp -d)
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
n=0
while ! grep -q . "$work/display" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done

echo "== micro-benchmarks (medians of 5 repetitions)"
{ HOME="$work" DISPLAY=":$(head -n 1 "$work/display")" timeout -k 10 600 "$build/bench/render_bench" \
	--benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null ||
	echo "render_bench: FAILED (status $?)"; } | grep -E '^(Benchmark|-|BM_.*_median)|FAILED' | tee -a "$work/log"
kill "$xvfb_pid"

# section TITLE LIMIT ARGS...: one probe, ended after LIMIT seconds (its
# servers and clients die with it).
section() {
	echo "== $1"
	limit=$2
	shift 2
	{ timeout -k 10 "$limit" "$build/bench/probe" "$@" 2>&1 ||
		echo "probe $*: FAILED (status $?)"; } | tee -a "$work/log"
}

# The tree this round's changes are compared with, built from git in
# $build/bench-old with the build type and compiler of $build, and kept
# until the commit, the type or the compiler changes.
old_rev=6d0885d
old=$build/bench-old
build_old() {
	if ! rev=$(git -C "$here/.." rev-parse -q --verify "$old_rev^{commit}" 2>/dev/null); then
		reason="commit $old_rev is not in this clone (or git is missing)"
		return 1
	fi
	reason="its build failed (see $old/log)"
	type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
	cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
	key="$rev $type $cxx"
	if [ -x "$old/build/quarvel" ] && [ "$(cat "$old/key" 2>/dev/null)" = "$key" ]; then
		return 0
	fi
	echo "building the applet at $old_rev in $old"
	rm -rf "$old"
	mkdir -p "$old/src"
	git -C "$here/.." archive "$rev" | tar -x -C "$old/src" &&
		cmake -S "$old/src" -B "$old/build" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" \
			-DQUARVEL_TESTS=OFF -DQUARVEL_BENCH=OFF -DQUARVEL_PREVIEW=OFF >"$old/log" 2>&1 &&
		cmake --build "$old/build" -j "${JOBS:-2}" --target quarvel >>"$old/log" 2>&1 &&
		printf '%s\n' "$key" >"$old/key"
}

section "system calls and bytes a frame" 180 syscalls 6
section "system calls and bytes a frame at --scale 2" 120 syscalls 6 --scale 2
section "the running applet beside the baseline loop" 300 run 49 7
old_applet=
if build_old; then
	old_applet=$old/build/quarvel
	section "the running applet beside the tree at $old_rev" 400 run 63 9 "$old_applet"
else
	echo "== the running applet beside the tree at $old_rev"
	echo "the tree at $old_rev could not be built: $reason: NOT measured" |
		tee -a "$work/log"
fi
section "start-up" 180 start 21
section "docking" 600 swallow 11
section "while unseen" 400 unseen 10
section "uncovered" 180 uncover 11
section "on another desktop" 400 desktop 3 5
section "floods of sent events" 600 flood 10
section "a storm of reparentings" 240 reparent 20
# Without the tree before, its comparison says NOT measured.
section "under compositing managers, beside the tree at $old_rev" 600 compositor 3 9 ${old_applet:+"$old_applet"}
section "soak" $((soak + 120)) soak "$soak"

echo "== targets not met"
grep -E 'NOT (met|measured)|FAILED' "$work/log" || echo "none"
! grep -q FAILED "$work/log"
