#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build, the tests and `make run` need,
# but only those missing, so a set-up machine never calls apt-get.
set -eu

packages="cmake make g++ libx11-dev libxext-dev libxpm-dev libx11-xcb-dev libxtst-dev libpng-dev
libgif-dev libxres-dev libgtest-dev libbenchmark-dev xvfb xfonts-base x11-utils mandoc groff-base dpkg-dev
fluxbox wmaker openbox blackbox icewm jwm fvwm3 clang libclang-rt-14-dev procps strace lintian"

missing=""
for p in $packages; do
	status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
	case "$status" in
	*" installed") ;;
	*) missing="$missing $p" ;;
	esac
done
[ -z "$missing" ] && exit 0

echo "deps: installing$missing" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing
