#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The set-up's rules, with apt-get, dpkg-query and sudo faked and Debian's
# alternatives in a scratch directory, so nothing is installed or changed:
# what each target installs, that it asks only at a terminal, that the
# window manager choices survive, what it says without apt-get; then that
# CMake configures the applet with no optional library.
set -eu
src=$2
tmp=$(mktemp -d /tmp/quarvel-setup-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
deps="$src/tools/deps.sh"

mkdir "$tmp/bin" "$tmp/wm" "$tmp/links"
export QUARVEL_ALTDIR="$tmp/alt" QUARVEL_ADMINDIR="$tmp/admin" LOG="$tmp/apt.log" WM="$tmp/wm"
ua() {
	update-alternatives --altdir "$QUARVEL_ALTDIR" --admindir "$QUARVEL_ADMINDIR" --log /dev/null "$@" >/dev/null
}
for w in old new session-a session-b session-c; do printf '#!/bin/sh\n' >"$WM/$w"; done
# Nothing is installed; an install registers a window manager and a session
# manager of priority 90, as fvwm3 and openbox do.
printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/xdpyinfo"
cat >"$tmp/bin/apt-get" <<EOF
#!/bin/sh
echo "\$*" >>"\$LOG"
[ "\$1" = install ] || exit 0
ua() { update-alternatives --altdir "\$QUARVEL_ALTDIR" --admindir "\$QUARVEL_ADMINDIR" --log /dev/null "\$@"; }
ua --install "$tmp/links/x-window-manager" x-window-manager "\$WM/new" 90 >/dev/null
ua --install "$tmp/links/x-session-manager" x-session-manager "\$WM/session-c" 90 >/dev/null
EOF
chmod +x "$tmp"/bin/* "$WM"/*
fakes="$tmp/bin:$PATH"
state() { update-alternatives --altdir "$QUARVEL_ALTDIR" --admindir "$QUARVEL_ADMINDIR" --query "$1" |
	sed -n 's/^Status: //p; s/^Value: .*\///p' | paste -sd ' '; }

# make test, with no terminal and no CI: installs without asking, window
# managers included; then the choices read as before.  Rows: the old
# window manager's priority, and the state x-window-manager is left in.
for row in "20 manual old" "95 auto old"; do
	# shellcheck disable=SC2086
	set -- $row
	rm -rf "$QUARVEL_ALTDIR" "$QUARVEL_ADMINDIR" "$LOG"
	mkdir "$QUARVEL_ALTDIR" "$QUARVEL_ADMINDIR"
	# auto, and outranked by the install (20) or not (95)
	ua --install "$tmp/links/x-window-manager" x-window-manager "$WM/old" "$1"
	# a manual choice of the lower of two
	ua --install "$tmp/links/x-session-manager" x-session-manager "$WM/session-a" 10
	ua --install "$tmp/links/x-session-manager" x-session-manager "$WM/session-b" 50
	ua --set x-session-manager "$WM/session-a"
	said=$(env -u CI PATH="$fakes" "$deps" test 2>&1 </dev/null) || fail "deps.sh test: $said"
	grep -q '^install .* pekwm' "$LOG" && grep -q '^install .* fvwm3' "$LOG" ||
		fail "make test installs no window managers: $(cat "$LOG")"
	[ "$(state x-window-manager)" = "$2 $3" ] || fail "x-window-manager after priority $1: $(state x-window-manager)"
	[ "$(state x-session-manager)" = "manual session-a" ] || fail "x-session-manager: $(state x-session-manager)"
	[ "$2" = auto ] || echo "$said" | grep -q 'update-alternatives --auto x-window-manager' ||
		fail "no word of the manual choice: $said"
done

# make run: the applet's build alone with a display; Xvfb, fluxbox, giflib without.
# Never another window manager, nor a tool only the tests use.
for display in :99 ""; do
	rm -f "$LOG"
	said=$(DISPLAY=$display CI=true PATH="$fakes" "$deps" run 2>&1) || fail "deps.sh run: $said"
	echo "$said" | grep -q 'libx11-dev' || fail "the packages are not listed first: $said"
	grep -q '^install .*libxss-dev' "$LOG" || fail "no X libraries: $(cat "$LOG")"
	! grep -E -q ' (wmaker|openbox|blackbox|icewm|jwm|fvwm3|pekwm|clang|lintian|strace|libgtest-dev)( |$)' "$LOG" ||
		fail "make run installs what it does not need: $(cat "$LOG")"
	if [ -n "$display" ]; then
		! grep -E -q ' (fluxbox|xvfb|libpng-dev|libgif-dev)( |$)' "$LOG" || fail "a display, yet: $(cat "$LOG")"
	else
		grep -q ' fluxbox' "$LOG" && grep -q ' xvfb' "$LOG" && grep -q ' libgif-dev' "$LOG" ||
			fail "headless, no Xvfb or giflib: $(cat "$LOG")"
	fi
done

# At a terminal, without CI: one question, and "n" installs nothing.
rm -f "$LOG"
said=$(echo n | PATH="$fakes" DISPLAY=:99 script -qec "env -u CI $deps build" /dev/null 2>&1) &&
	fail "deps.sh went on after no"
echo "$said" | grep -q 'Install them? \[y/N\]' || fail "no question: $said"
[ ! -e "$LOG" ] || fail "apt-get ran after no: $(cat "$LOG")"

# $tmp/DIR: every command but those named.
without() {
	mkdir "$tmp/$1"
	for f in /usr/bin/* /usr/sbin/*; do
		case " $* " in *" ${f##*/} "*) ;; *) ln -sf "$f" "$tmp/$1/" ;; esac
	done
}

# Not root and no sudo, at a terminal: no question, but the line to run as
# root (the applet's packages only), and a failure.
without nosudo sudo id apt-get dpkg-query
ln -s "$tmp/bin/apt-get" "$tmp/bin/dpkg-query" "$tmp/nosudo/"
printf '#!/bin/sh\necho 1000\n' >"$tmp/nosudo/id"
chmod +x "$tmp/nosudo/id"
said=$(echo y | PATH="$tmp/nosudo" script -qec "env -u CI $deps build" /dev/null 2>&1) && fail "deps.sh without sudo"
echo "$said" | grep -q "^  apt-get install --no-install-recommends cmake make g++ libx11-dev libxext-dev \
libxpm-dev libx11-xcb-dev libxss-dev libxcb-shape0-dev libxcb-xfixes0-dev.$" && ! echo "$said" | grep -q 'Install them' || fail "without sudo: $said"
[ ! -e "$LOG" ] || fail "apt-get ran without sudo: $(cat "$LOG")"

# No apt-get and no dpkg-query: every other command, and a pkg-config that
# knows no libXss.  The missing library is named with its package, and
# nothing else is; with all of them there, the set-up lets the build go on.
without noapt apt-get dpkg-query pkg-config
mkdir "$tmp/pc"
printf '#!/bin/sh\n[ "$2" != xscrnsaver ] && exec /usr/bin/pkg-config "$@"\nexit 1\n' >"$tmp/pc/pkg-config"
chmod +x "$tmp/pc/pkg-config"
said=$(PATH="$tmp/noapt:$tmp/pc" "$deps" build 2>&1) && fail "deps.sh without libXss: $said"
echo "$said" | grep -q 'xscrnsaver (pkg-config) *Debian: libxss-dev' || fail "libXss not named: $said"
[ "$(echo "$said" | grep -c 'Debian:')" -eq 1 ] || fail "more than libXss named: $said"
ln -s /usr/bin/pkg-config "$tmp/noapt/"
said=$(PATH="$tmp/noapt" "$deps" build 2>&1) || fail "deps.sh with everything there: $said"

# CMake: the applet alone with only the X libraries, each option saying
# why it is off; asked for by hand, the tests fail loudly.
none="-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_PNG=ON
	-DCMAKE_DISABLE_FIND_PACKAGE_GIF=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"
# shellcheck disable=SC2086
said=$(cmake -S "$src" -B "$tmp/b" $none 2>&1) || fail "cmake with the X libraries only: $said"
for part in "quarvel-preview and quarvel-shot: off, for want of libpng, giflib" \
	"the tests: off, for want of GoogleTest, the previewer" "the benchmarks: off, for want of Google Benchmark"; do
	echo "$said" | grep -q "$part" || fail "cmake does not say \"$part\": $said"
done
# shellcheck disable=SC2086
! cmake -S "$src" -B "$tmp/b" $none -DQUARVEL_TESTS=ON >/dev/null 2>&1 || fail "QUARVEL_TESTS=ON without GoogleTest"
echo "set-up rules: ok"
