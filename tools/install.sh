#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# tools/install.sh BUILD PREFIX installs the build, stripped, into
# $DESTDIR$PREFIX and notes in BUILD/install_dirs.txt the directories it
# made.  tools/install.sh BUILD --uninstall removes what the install's
# manifest lists, then those directories that are empty by then.
# Paths in both lists are without DESTDIR, so give the same one to both.
set -eu
build=$1
dirs=$build/install_dirs.txt

if [ "$2" = --uninstall ]; then
	[ -f "$build/install_manifest.txt" ] || { echo "nothing installed from $build" >&2; exit 1; }
	while read -r f || [ -n "$f" ]; do rm -fv "${DESTDIR:-}$f"; done <"$build/install_manifest.txt"
	# Reverse order puts each directory before its parent.
	if [ -f "$dirs" ]; then
		sort -r "$dirs" | while read -r d; do rmdir -v "${DESTDIR:-}$d" 2>/dev/null || true; done
		rm -f "$dirs"
	fi
	exit 0
fi

# A trial install into a scratch root shows the directories the real one
# needs; those missing now are the install's to remove later.  A second
# install keeps the first one's list.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$2" >/dev/null
{
	[ ! -f "$dirs" ] || cat "$dirs"
	(cd "$stage" && find . -mindepth 1 -type d) | sed 's/^\.//' | while read -r d; do
		[ -d "${DESTDIR:-}$d" ] || echo "$d"
	done
} | sort -u >"$stage/dirs"
cmake --install "$build" --prefix "$2" --strip
mv "$stage/dirs" "$dirs"
