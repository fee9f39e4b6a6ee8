#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# `make run`: shows the applet on the user's display until Ctrl-C.  Without
# a reachable display it runs the applet on a private Xvfb, in fluxbox's
# slit when fluxbox is installed and with a scratch HOME, records about
# three seconds of the screen around it as an animated GIF and a still PNG,
# and stops everything it started.
set -eu
build=${1:-build}
out=${2:-$build}

if "$(dirname "$0")/display.sh"; then
	echo "run: quarvel runs on display $DISPLAY, in your dock or slit (a small window without one); Ctrl-C stops it"
	# Ctrl-C is the way this run ends, not a failure: make sees success
	# rather than saying "Interrupt".
	trap 'exit 0' INT
	status=0
	# A plain name makes the window's class "quarvel", whatever the build path.
	PATH="$build:$PATH" quarvel || status=$?
	exit "$status"
fi

echo "run: no display reachable; running the applet on a private Xvfb" >&2
cmake --build "$build" --target quarvel-shot >/dev/null
work=$(mktemp -d)
# fluxbox can deadlock in its own SIGTERM handler, so a process that has not
# ended three seconds after SIGTERM gets SIGKILL.
stop() {
	kill "$1" 2>/dev/null || return 0
	n=0
	while kill -0 "$1" 2>/dev/null && [ $n -lt 30 ]; do sleep 0.1; n=$((n + 1)); done
	kill -9 "$1" 2>/dev/null || true
	wait "$1" 2>/dev/null || true
}
cleanup() {
	status=$?
	for pid in ${applet_pid:-} ${wm_pid:-} ${xvfb_pid:-}; do
		stop "$pid"
	done
	rm -rf "$work"
	exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
n=0
while [ ! -s "$work/display" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
[ -s "$work/display" ] || { echo "run: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
display=":$(head -n 1 "$work/display")"

# The applet and fluxbox keep their settings in a home of their own, so
# nothing is written into the user's.
mkdir -p "$work/home/.fluxbox"
if command -v fluxbox >/dev/null 2>&1; then
	printf "session.screen0.toolbar.visible: false\nsession.screen0.slit.placement: RightCenter\n" \
		>"$work/home/.fluxbox/init"
	printf 'background: solid\nbackground.color: #5f6f7f\nbackground.pixmap: none\n' >"$work/home/.fluxbox/overlay"
	HOME="$work/home" fluxbox -display "$display" -rc "$work/home/.fluxbox/init" >"$work/wm.log" 2>&1 &
	wm_pid=$!
	n=0
	until timeout 2 xprop -display "$display" -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window ||
		[ $n -ge 50 ]; do sleep 0.1; n=$((n + 1)); done
	echo "run: docked in fluxbox's slit" >&2
fi

HOME="$work/home" PATH="$build:$PATH" quarvel -display "$display" &
applet_pid=$!
sleep 1
kill -0 "$applet_pid" 2>/dev/null || { echo "run: the applet ended early" >&2; exit 1; }
"$build/quarvel-shot" -display "$display" -scale 4 -seconds 3 \
	-gif "$out/quarvel-demo.gif" -png "$out/quarvel.png"
echo "run: three seconds of the applet saved in $out/quarvel-demo.gif,"
echo "run: and a still of it in $out/quarvel.png"
