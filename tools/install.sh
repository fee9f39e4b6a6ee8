#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# tools/install.sh BUILD PREFIX installs the build, stripped, into
# $DESTDIR$PREFIX and records in BUILD/quarvel_install.txt each file it
# wrote and each directory it made, as paths on disk (DESTDIR included).
# tools/install.sh BUILD --uninstall removes exactly those files, then
# those directories once they are empty.  Neither starts unless it can
# finish: the install needs the right to write every path, the uninstall a
# record whose every line it may act on.
#
# The manifest is this script's alone: CMake's install_manifest.txt is
# rewritten by every cmake --install and cpack run (cpack's lists /usr), so
# it cannot say what make install wrote.
set -eu
build=$1
manifest=$build/quarvel_install.txt
trap 'rm -f "$manifest.new"' EXIT

# Under sudo a stale or edited manifest could name any file on the system,
# so every line is checked before anything is removed.  A line may name
# only what the install under the "# PREFIX=... DESTDIR=..." line above it
# could have made: a regular file or link below DESTDIR and PREFIX, reached
# through no link that leads out of them, or a directory there or on the
# way there.  Paths are plain: no empty, "." or ".." component.
check_manifest() {
	n=0 root="" base="" real_base=""
	while IFS= read -r line; do
		n=$((n + 1))
		why=""
		case $line in
		"# PREFIX=/"*" DESTDIR="*)
			prefix=${line#"# PREFIX="} root=${line##* DESTDIR=}
			base=$root${prefix% DESTDIR=*}
			case $root in "" | /*) ;; *) base=/ ;; esac
			if [ "$base" = / ] || [ "$(realpath -m -s -- "$base")" != "$base" ]; then
				why="gives no plain prefix"
			else
				real_base=$(realpath -m -- "$base")
			fi
			;;
		"#"* | "") ;;
		"file /"* | "dir /"*)
			kind=${line%% *} path=${line#* }
			case $path/ in
			*//* | */./* | */../*) why="is not a plain path" ;;
			"$base"/?*) ;;
			"$root"/?*) case $base/ in "$path"/*) [ "$kind" = dir ] || why="is outside $base" ;;
				*) why="is outside $base" ;; esac ;;
			*) why="is outside $base" ;;
			esac
			[ -n "$base" ] || why="comes before any PREFIX line"
			[ -n "$why" ] || why=$(check_entry)
			;;
		*) why="is not a file, dir or comment line" ;;
		esac
		[ -z "$why" ] || {
			echo "uninstall: $manifest line $n, \"$line\", $why; nothing removed" >&2
			return 1
		}
	done
}

# What lies at a line's path: a file line's must be a regular file or a
# link, a dir line's a directory; and, below the prefix, the directory it
# is in must resolve to one below the prefix as well.
check_entry() {
	if [ "$kind" = file ]; then
		[ -L "$path" ] || [ -f "$path" ] || [ ! -e "$path" ] || { echo "is neither a regular file nor a link"; return; }
		dir=${path%/*}
	else
		[ ! -L "$path" ] && { [ -d "$path" ] || [ ! -e "$path" ]; } || { echo "is not a directory"; return; }
		dir=$path
	fi
	case $dir/ in "$base"/*) ;; *) return 0 ;; esac
	[ -d "$dir" ] || return 0
	case $(realpath -e -- "$dir")/ in
	"$real_base"/*) ;;
	*) echo "leads through a link out of $base" ;;
	esac
}

if [ "$2" = --uninstall ]; then
	[ -f "$manifest" ] || {
		echo "uninstall: $manifest is missing: no make install from this build to undo; nothing removed" >&2
		exit 1
	}
	# Read once, so that every pass sees the same lines, the last one
	# included when it lacks a line feed.
	records=$(cat "$manifest")
	printf '%s\n' "$records" | check_manifest
	# All or nothing: a file that is gone means the list is not what is
	# installed, so nothing is removed on its word.
	gone=$(printf '%s\n' "$records" | sed -n 's/^file //p' | while IFS= read -r f; do
		[ -e "$f" ] || [ -L "$f" ] || printf ' %s' "$f"
	done)
	[ -z "$gone" ] || {
		echo "uninstall: $manifest names files that are not there:$gone; nothing removed" \
			"(without their lines it removes the rest)" >&2
		exit 1
	}
	# A file a Debian package owns (a package installed over the same
	# prefix) is the package's now.
	printf '%s\n' "$records" | sed -n 's/^file //p' | while IFS= read -r f; do
		if command -v dpkg >/dev/null 2>&1 && owner=$(dpkg -S "$f" 2>/dev/null); then
			echo "uninstall: kept $f, which the Debian package ${owner%%: *} owns" >&2
		else
			rm -f "$f" && echo "removed $f"
		fi
	done
	# Reverse order puts each directory before its parent.
	printf '%s\n' "$records" | sed -n 's/^dir //p' | sort -r | while IFS= read -r d; do
		if [ ! -d "$d" ] || rmdir "$d" 2>/dev/null; then
			echo "removed $d/"
		else
			echo "uninstall: kept $d, not empty" >&2
		fi
	done
	# A directory that stays stays in the manifest, under its PREFIX line,
	# for a later uninstall.
	printf '%s\n' "$records" | while IFS= read -r line; do
		case $line in
		"#"*) echo "$line" ;;
		"dir "*) [ ! -d "${line#dir }" ] || echo "$line" ;;
		esac
	done >"$manifest.new"
	if grep -q '^dir ' "$manifest.new"; then
		mv "$manifest.new" "$manifest"
	else
		rm -f "$manifest.new" "$manifest"
	fi
	exit 0
fi

prefix=$2
# make passes PREFIX=~/.local on as it was given, tilde and all.
# shellcheck disable=SC2088
case $prefix in "~" | "~/"*) prefix=${HOME:-}${prefix#"~"} ;; esac
case $prefix in
/*) ;;
*) echo "install: PREFIX must be an absolute path, not \"$prefix\"" >&2; exit 1 ;;
esac
# The manifest's paths must hold wherever uninstall runs from, and be plain
# paths, as uninstall takes no other.
prefix=$(realpath -m -s -- "$prefix")
case ${DESTDIR:-} in
"" | /*) ;;
*) DESTDIR=$PWD/$DESTDIR ;;
esac
root=${DESTDIR:+$(realpath -m -s -- "$DESTDIR")}
[ "$root" != / ] || root=""

# A trial install into a scratch root shows the files and directories the
# real one writes; the directories missing now are the install's to
# remove later.  A second install keeps what the first one recorded.
stage=$(mktemp -d)
trap 'rm -rf "$stage" "$manifest.new"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null

# CMake would stop halfway with "Permission denied", so each directory the
# install writes in (or the nearest one there now, where it makes
# directories) is checked before anything is written.
denied=$(cd "$stage" && find . -mindepth 1 | while IFS= read -r e; do
	[ ! -d "$root${e#.}" ] || continue
	d=$root${e#.}
	d=${d%/*}
	while [ -n "$d" ] && [ ! -d "$d" ]; do d=${d%/*}; done
	[ -w "${d:-/}" ] || { echo "${d:-/}"; break; }
done)
if [ -n "$denied" ]; then
	if [ -n "$root" ]; then
		echo "install: no permission to write in $denied; run sudo make install, or give a DESTDIR you may write in" >&2
	else
		echo "install: no permission to write in $denied; run sudo make install, or make install PREFIX=~/.local" >&2
	fi
	exit 1
fi
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
