#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# `make run` without a display: it records the applet into a GIF and a PNG,
# the slit around it included, says where they are, writes nothing into
# HOME and leaves none of the processes it started behind.
set -eu
build=$1
src=$2
out=$(mktemp -d /tmp/quarvel-demo-XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# In a session of its own, so that what it leaves behind can be told from
# everything else running on the machine.
said=$(env -u DISPLAY HOME="$out" setsid sh -c 'echo $$ >"$1/sid"; exec "$2/tools/run.sh" "$3" "$1"' \
	sh "$out" "$src" "$build" 2>&1) || fail "run.sh: $said"
echo "$said" | grep -q "saved in $out/quarvel-demo.gif" || fail "does not say where: $said"
[ "$(head -c 6 "$out/quarvel-demo.gif")" = "GIF89a" ] || fail "no GIF"
[ "$(head -c 4 "$out/quarvel.png" | tail -c 3)" = "PNG" ] || fail "no PNG"
[ "$(stat -c %s "$out/quarvel-demo.gif")" -gt 100000 ] || fail "GIF too small for three seconds"
[ ! -e "$out/.fesk" ] && [ ! -e "$out/.fluxbox" ] || fail "wrote into HOME: $(ls -A "$out")"
# Wider than the 56-pixel square at scale 4: the slit and a margin show.
[ "$(od -An -tu1 -j18 -N2 "$out/quarvel.png" | awk '{ print $1 * 256 + $2 }')" -gt 240 ] ||
	fail "the still shows only the well"
left=$(pgrep -a -s "$(cat "$out/sid")" || true)
[ -z "$left" ] || fail "left running: $left"
echo "headless run: ok"
