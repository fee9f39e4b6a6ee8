#!/bin/sh
# `make run`: shows the applet on the user's display.  Without a reachable
# display it runs the applet for a few seconds on a private Xvfb and saves
# a screenshot of its window instead.
set -eu
build=${1:-build}

if [ -n "${DISPLAY:-}" ] && timeout 5 xdpyinfo >/dev/null 2>&1; then
	PATH="$build:$PATH" exec quarvel
fi

echo "run: no display reachable; running the applet on a private Xvfb" >&2
fifo_dir=$(mktemp -d)
cleanup() {
	status=$?
	for pid in ${applet_pid:-} ${xvfb_pid:-}; do
		kill "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	rm -rf "$fifo_dir"
	exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp 3>"$fifo_dir/display" 2>"$fifo_dir/xvfb.log" &
xvfb_pid=$!
n=0
while [ ! -s "$fifo_dir/display" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
[ -s "$fifo_dir/display" ] || { echo "run: Xvfb did not start" >&2; cat "$fifo_dir/xvfb.log" >&2; exit 1; }
display=":$(head -n 1 "$fifo_dir/display")"

# A plain name makes the window's class "quarvel", whatever the build path.
PATH="$build:$PATH" quarvel -display "$display" &
applet_pid=$!
sleep 3
kill -0 "$applet_pid" 2>/dev/null || { echo "run: the applet ended early" >&2; exit 1; }
"$build/quarvel-shot" -display "$display" -scale 4 "$build/quarvel.png"
echo "run: screenshot of the running applet saved in $build/quarvel.png"
