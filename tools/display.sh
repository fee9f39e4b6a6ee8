#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Succeeds when the display DISPLAY names can be reached.  Without xdpyinfo
# (x11-utils is installed only for headless runs) a local display counts
# when its socket is there, and any other is trusted as it is given.
[ -n "${DISPLAY:-}" ] || exit 1
if command -v xdpyinfo >/dev/null 2>&1; then
	timeout 5 xdpyinfo >/dev/null 2>&1
	exit
fi
case $DISPLAY in
:* | unix:*)
	n=${DISPLAY#*:}
	[ -S "/tmp/.X11-unix/X${n%%.*}" ]
	;;
esac
