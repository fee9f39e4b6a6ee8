#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# tools/deps.sh build|install|run|package|test: sets up what a make target
# needs.
#   build, install  the compiler, CMake and the applet's libraries; libpng
#                   and giflib, which only quarvel-preview needs, are named
#                   when missing but not installed
#   run             the same with a display; without one, Xvfb, fluxbox,
#                   and libpng and giflib for quarvel-shot as well
#   package         the applet's and quarvel-preview's libraries, and
#                   dpkg-shlibdeps for the package's Depends
#   test            everything the tests, the sanitizer and fuzz runs and
#                   make bench use
# With apt-get and dpkg-query it installs the Debian packages that are
# missing, after listing them; it asks once first unless CI is set or
# standard input is not a terminal.  Not root and without sudo, it prints
# the apt-get line to run as root instead.  Without apt-get or dpkg-query
# it only checks, and names what is missing with the Debian package that
# holds it.
#
# Installing window managers can change which one Debian starts, so the
# x-window-manager and x-session-manager choices are put back afterwards.
# QUARVEL_ALTDIR and QUARVEL_ADMINDIR send update-alternatives elsewhere
# (the set-up test uses them).
set -eu
mode=${1:-build}
here=$(dirname "$0")

# Debian package, then how to tell it is there without dpkg: pc:NAME is a
# pkg-config module, cmd:NAME a command, h:NAME a C header.
applet_packages="cmake cmd:cmake
make cmd:make
g++ cmd:g++
libx11-dev pc:x11
libxext-dev pc:xext
libxpm-dev pc:xpm
libx11-xcb-dev pc:x11-xcb
libxss-dev pc:xscrnsaver
libxcb-shape0-dev h:xcb/shape.h
libxcb-xfixes0-dev h:xcb/xfixes.h"
preview_packages="libpng-dev pc:libpng
libgif-dev h:gif_lib.h"
headless_packages="xvfb cmd:Xvfb
xfonts-base fonts:misc
x11-utils cmd:xdpyinfo
fluxbox cmd:fluxbox"
test_packages="libxtst-dev pc:xtst
libxres-dev pc:xres
libgtest-dev pc:gtest
libbenchmark-dev pc:benchmark
mandoc cmd:mandoc
groff-base cmd:groff
bsdextrautils cmd:col
lintian cmd:lintian
procps cmd:pgrep
git cmd:git
strace cmd:strace
xcompmgr cmd:xcompmgr
picom cmd:picom
clang cmd:clang
libclang-rt-14-dev fuzzer:clang
wmaker cmd:wmaker
openbox cmd:openbox
blackbox cmd:blackbox
icewm cmd:icewm
jwm cmd:jwm
fvwm3 cmd:fvwm3
pekwm cmd:pekwm"

# Without dpkg-shlibdeps cpack still makes a package, with no Depends.
package_packages="$applet_packages
$preview_packages
dpkg-dev cmd:dpkg-shlibdeps"

# optional: what is only named when missing, never installed.
optional=""
case $mode in
build | install) wanted=$applet_packages optional=$preview_packages ;;
run)
	if "$here/display.sh"; then
		wanted=$applet_packages optional=$preview_packages
	else
		wanted="$applet_packages
$preview_packages
$headless_packages"
	fi
	;;
package) wanted=$package_packages ;;
test) wanted="$package_packages
$headless_packages
$test_packages" ;;
*) echo "usage: tools/deps.sh build|install|run|package|test" >&2; exit 2 ;;
esac

present() {
	case $1 in
	pc:*) pkg-config --exists "${1#pc:}" ;;
	cmd:*) command -v "${1#cmd:}" >/dev/null 2>&1 ;;
	h:*) printf '#include <%s>\n' "${1#h:}" | "${CXX:-c++}" -E -x c++ - >/dev/null 2>&1 ;;
	fonts:*) [ -d "/usr/share/fonts/X11/${1#fonts:}" ] || [ -d "/usr/share/X11/fonts/${1#fonts:}" ] ;;
	fuzzer:*) ls "$(clang -print-resource-dir 2>/dev/null)"/lib/*/libclang_rt.fuzzer-*.a >/dev/null 2>&1 ;;
	esac
}

apt=""
command -v apt-get >/dev/null 2>&1 && command -v dpkg-query >/dev/null 2>&1 && apt=yes
# The Debian packages of a list that are missing, by dpkg-query where it
# can ask, else by their probes.
missing_of() {
	echo "$1" | while read -r package probe; do
		[ -n "$package" ] || continue
		if [ -n "$apt" ]; then
			case $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) in *" installed") continue ;; esac
		elif present "$probe"; then
			continue
		fi
		printf ' %s' "$package"
	done
}
left_out=$(missing_of "$optional")
[ -z "$left_out" ] || echo "deps: without$left_out (Debian) quarvel-preview will not be built; quarvel will" >&2

# No package manager to ask: say what is missing, by the name this system
# knows it by and the Debian package beside it.
if [ -z "$apt" ]; then
	if ! command -v pkg-config >/dev/null 2>&1; then
		echo "deps: pkg-config is missing (Debian: pkg-config), so the libraries cannot be checked" >&2
		exit 1
	fi
	missing=$(echo "$wanted" | while read -r package probe; do
		present "$probe" || printf '  %-28s Debian: %s\n' "$(echo "$probe" | sed 's/^pc:\(.*\)/\1 (pkg-config)/;
			s/^cmd:\(.*\)/\1 (command)/; s/^h:\(.*\)/\1 (header)/; s/^fonts:\(.*\)/X fonts, \1/;
			s/^fuzzer:.*/the libFuzzer runtime/')" "$package"
	done)
	[ -z "$missing" ] && exit 0
	echo "deps: without apt-get and dpkg-query nothing can be installed here; missing:" >&2
	echo "$missing" >&2
	exit 1
fi

missing=$(missing_of "$wanted")
[ -z "$missing" ] && exit 0

echo "deps: make $mode needs these Debian packages (and what they depend on):$missing" >&2
# Asking first would only lead to "sudo: not found".
sudo=""
if [ "$(id -u)" -ne 0 ]; then
	if ! command -v sudo >/dev/null 2>&1; then
		echo "deps: without sudo they cannot be installed from here; as root, run this, then run make again:" >&2
		echo "  apt-get install --no-install-recommends$missing" >&2
		[ "$mode" != test ] || echo "deps: (then update-alternatives --config x-window-manager" \
			"puts back the window manager Debian starts, if one of these took over)" >&2
		exit 1
	fi
	sudo=sudo
fi
if [ -z "${CI:-}" ] && [ -t 0 ]; then
	printf 'Install them? [y/N] ' >&2
	read -r answer || answer=""
	case $answer in
	y | Y | yes | Yes) ;;
	*) echo "deps: nothing installed" >&2; exit 1 ;;
	esac
fi

alternatives() {
	$sudo update-alternatives ${QUARVEL_ALTDIR:+--altdir "$QUARVEL_ALTDIR"} \
		${QUARVEL_ADMINDIR:+--admindir "$QUARVEL_ADMINDIR" --log /dev/null} "$@"
}
# "name mode value" of each choice there is now; a group that does not
# exist yet has nothing to put back.
choices=$(for name in x-window-manager x-session-manager; do
	alternatives --query "$name" 2>/dev/null |
		sed -n "s/^Status: /$name /p; s/^Value: //p" | paste -sd ' '
done)

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing

# A manual choice survives an install; an automatic one follows the highest
# priority, so a window manager that outranks the old one takes over.  Auto
# mode cannot hold a lower-priority value, so the old value is set by hand
# (update-alternatives --auto NAME goes back to the packages' choice).
echo "$choices" | while read -r name was_mode was_value; do
	case $was_value in "" | none) continue ;; esac
	[ "$(alternatives --query "$name" | sed -n 's/^Value: //p')" = "$was_value" ] && continue
	alternatives --set "$name" "$was_value" >/dev/null
	if [ "$was_mode" = auto ]; then
		echo "deps: $name kept at $was_value, now as a manual choice" \
			"(update-alternatives --auto $name undoes it)" >&2
	else
		echo "deps: $name kept at $was_value" >&2
	fi
done
