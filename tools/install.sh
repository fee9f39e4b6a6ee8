#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# tools/install.sh BUILD PREFIX installs the build, stripped, into
# $DESTDIR$PREFIX and records in BUILD/quarvel_install.txt each file it
# wrote and each directory it made, as paths on disk (DESTDIR included).
# tools/install.sh BUILD --uninstall removes exactly those files, then
# those directories once they are empty.
#
# The manifest is this script's alone: CMake's install_manifest.txt is
# rewritten by every cmake --install and cpack run (cpack's lists /usr), so
# it cannot say what make install wrote.
set -eu
build=$1
manifest=$build/quarvel_install.txt
trap 'rm -f "$manifest.new"' EXIT

if [ "$2" = --uninstall ]; then
	[ -f "$manifest" ] || {
		echo "uninstall: $manifest is missing: no make install from this build to undo; nothing removed" >&2
		exit 1
	}
	# All or nothing: a file that is gone means the list is not what is
	# installed, so nothing is removed on its word.
	gone=$(sed -n 's/^file //p' "$manifest" | while read -r f; do
		[ -e "$f" ] || [ -L "$f" ] || printf ' %s' "$f"
	done)
	[ -z "$gone" ] || {
		echo "uninstall: $manifest names files that are not there:$gone; nothing removed" \
			"(without their lines it removes the rest)" >&2
		exit 1
	}
	# A file a Debian package owns (a package installed over the same
	# prefix) is the package's now.
	sed -n 's/^file //p' "$manifest" | while read -r f; do
		if command -v dpkg >/dev/null 2>&1 && owner=$(dpkg -S "$f" 2>/dev/null); then
			echo "uninstall: kept $f, which the Debian package ${owner%%: *} owns" >&2
		else
			rm -f "$f" && echo "removed $f"
		fi
	done
	# Reverse order puts each directory before its parent.  One that is
	# not empty stays in the manifest, for a later uninstall.
	: >"$manifest.new"
	sed -n 's/^dir //p' "$manifest" | sort -r | while read -r d; do
		if [ ! -d "$d" ] || rmdir "$d" 2>/dev/null; then
			echo "removed $d/"
		else
			echo "dir $d" >>"$manifest.new"
		fi
	done
	if [ -s "$manifest.new" ]; then
		sed 's/^dir /uninstall: kept /; s/$/, not empty/' "$manifest.new" >&2
		mv "$manifest.new" "$manifest"
	else
		rm -f "$manifest.new" "$manifest"
	fi
	exit 0
fi

prefix=$2
case $prefix in
/*) ;;
*) echo "install: PREFIX must be an absolute path, not \"$prefix\"" >&2; exit 1 ;;
esac
# The manifest's paths must hold wherever uninstall runs from.
case ${DESTDIR:-} in
"" | /*) ;;
*) DESTDIR=$PWD/$DESTDIR ;;
esac
root=${DESTDIR:-}

# A trial install into a scratch root shows the files and directories the
# real one writes; the directories missing now are the install's to
# remove later.  A second install keeps what the first one recorded.
stage=$(mktemp -d)
trap 'rm -rf "$stage" "$manifest.new"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
{
	if [ -f "$manifest" ]; then
		cat "$manifest"
	else
		echo "# make install's record for make uninstall: each file it wrote, each directory it made"
	fi
	echo "# PREFIX=$prefix DESTDIR=$root"
	(cd "$stage" && find . -mindepth 1 ! -type d | sort) | while read -r f; do echo "file $root${f#.}"; done
	(cd "$stage" && find . -mindepth 1 -type d | sort) | while read -r d; do
		[ -d "$root${d#.}" ] || echo "dir $root${d#.}"
	done
} | awk '!seen[$0]++' >"$manifest.new"
DESTDIR=$root cmake --install "$build" --prefix "$prefix" --strip
mv "$manifest.new" "$manifest"
