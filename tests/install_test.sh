#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs into a DESTDIR and checks the tree (stripped binaries), lints the
# manual pages, uninstalls (the directories the install made too, never a
# packaged file), and checks what the Debian package holds and depends on.
set -eu
build=$1
src=$2
tmp=$(mktemp -d /tmp/quarvel-install-XXXXXX)
# The build's own install record, if any, is set aside for the test.
record=$build/quarvel_install.txt
[ ! -f "$record" ] || mv "$record" "$tmp/record"
trap 'rm -f "$record"; [ ! -f "$tmp/record" ] || mv "$tmp/record" "$record"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Without rights to the prefix (as nobody when root, if nobody may run the
# build's install): one line and a failure, before anything is written.
mkdir -m 555 "$tmp/ro"
chmod 755 "$tmp"
as=""
[ "$(id -u)" -ne 0 ] || as="setpriv --reuid=nobody --regid=nogroup --clear-groups"
touch "$build/install_manifest.txt"          # CMake writes it even for the trial install
if [ -z "$as" ] || $as test -r "$build/cmake_install.cmake" -a -x "$src/tools/install.sh"; then
	chmod o+w "$build/install_manifest.txt"
	status=0
	said=$($as "$src/tools/install.sh" "$build" "$tmp/ro/q" 2>&1) || status=$?
	chmod o-w "$build/install_manifest.txt"
	want="install: no permission to write in $tmp/ro; run sudo make install, or make install PREFIX=~/.local"
	[ $status -ne 0 ] && [ "$said" = "$want" ] || fail "install without rights: $said"
	[ -z "$(ls -A "$tmp/ro")" ] && [ ! -e "$record" ] || fail "install without rights wrote"
fi

# /opt/q/share is there before: uninstall must keep it, and remove only the
# directories the install made.
mkdir -p "$tmp/root/opt/q/share"
DESTDIR="$tmp/root" "$src/tools/install.sh" "$build" /opt/q >/dev/null
want="/opt/q/bin/quarvel
/opt/q/bin/quarvel-preview
/opt/q/share/doc/quarvel/changelog.gz
/opt/q/share/doc/quarvel/copyright
/opt/q/share/man/man1/quarvel-preview.1.gz
/opt/q/share/man/man1/quarvel.1.gz"
got=$(cd "$tmp/root" && find . -type f | sed 's/^\.//' | sort)
[ "$got" = "$want" ] || fail "installed tree: $got"
[ -x "$tmp/root/opt/q/bin/quarvel" ] || fail "quarvel not executable"
for program in quarvel quarvel-preview; do
	! readelf -S "$tmp/root/opt/q/bin/$program" | grep -q -e '\.symtab' -e '\.debug' ||
		fail "$program installed with symbols"
done

for page in "$src"/man/*.1; do
	lint=$(mandoc -T lint "$page" 2>&1 || true)
	[ -z "$lint" ] || fail "mandoc: $lint"
	warnings=$(groff -man -ww -z "$page" 2>&1)
	[ -z "$warnings" ] || fail "groff: $warnings"
done
# The docking guide's snippets, which the docked tests use, are the ones the
# README and the manual page show (compared line by line, indentation aside).
mandoc -T ascii "$src/man/quarvel.1" | col -bx > "$tmp/quarvel.txt"
for snippet in "$src"/docs/docking/*; do
	for doc in "$src/README.md" "$tmp/quarvel.txt"; do
		perl -0777 -e 'local $/; open my $s, "<", $ARGV[0]; my $t = <$s>; open my $d, "<", $ARGV[1];
			my $u = <$d>; s/^[ \t]+//mg for $t, $u; exit(index($u, $t) < 0)' "$snippet" "$doc" ||
			fail "$(basename "$doc") does not show docs/docking/$(basename "$snippet") as it is"
	done
done

zcat "$tmp/root/opt/q/share/man/man1/quarvel.1.gz" | cmp -s - "$src/man/quarvel.1" || fail "man page differs"

# Rows: the prefix.  /usr/bin/quarvel stands for the Debian package's copy
# (dpkg -S is faked to say so), and cpack rewrites CMake's own manifest to
# list /usr; the uninstall still removes the install's files alone.
mkdir -p "$tmp/root/usr/bin" "$tmp/bin"
echo packaged >"$tmp/root/usr/bin/quarvel"
printf '#!/bin/sh\ncase $2 in */usr/bin/quarvel) echo "quarvel: $2" ;; *) exit 1 ;; esac\n' >"$tmp/bin/dpkg"
chmod +x "$tmp/bin/dpkg"
uninstall() { PATH="$tmp/bin:$PATH" make -s -C "$src" BUILD="$build" uninstall 2>&1; }
for prefix in /opt/q /usr; do
	[ $prefix = /opt/q ] || DESTDIR="$tmp/root" "$src/tools/install.sh" "$build" $prefix >/dev/null
	(cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null)
	said=$(uninstall) || fail "uninstall from $prefix: $said"
	left=$(cd "$tmp/root" && find . | sort | paste -sd ' ')
	[ "$left" = ". ./opt ./opt/q ./opt/q/share ./usr ./usr/bin ./usr/bin/quarvel" ] ||
		fail "uninstall from $prefix left: $left"
done
echo "$said" | grep -q "kept $tmp/root/usr/bin/quarvel, which the Debian package quarvel owns" ||
	fail "no word of the packaged file: $said"
# Refusals, with nothing removed: no record (the last uninstall took it);
# a line outside the prefix, climbing out of it with .., or through a link
# out of it; and a record naming a file that is gone.
said=$(uninstall) && fail "uninstall without a record: $said"
echo "$said" | grep -q "quarvel_install.txt is missing: .*nothing removed" || fail "without a record: $said"
DESTDIR="$tmp/root" "$src/tools/install.sh" "$build" /opt/q >/dev/null
cp "$record" "$tmp/good"
echo mine >"$tmp/outside"
ln -s "$tmp" "$tmp/root/opt/q/share/out"
for line in "file $tmp/outside" "file $tmp/root/opt/q/../../../outside" "file $tmp/root/opt/q/share/out/outside"; do
	{ cat "$tmp/good"; echo "$line"; } >"$record"
	said=$(uninstall) && fail "uninstall of \"$line\": $said"
	echo "$said" | grep -q "line [0-9]*, \"$line\", .*; nothing removed$" || fail "\"$line\": $said"
	[ -f "$tmp/outside" ] && [ -f "$tmp/root/opt/q/bin/quarvel" ] || fail "\"$line\" removed files"
done
rm "$tmp/root/opt/q/share/out"
cp "$tmp/good" "$record"
rm "$tmp/root/opt/q/bin/quarvel"
said=$(uninstall) && fail "uninstall with a file gone: $said"
echo "$said" | grep -q "not there: $tmp/root/opt/q/bin/quarvel; nothing removed" || fail "a file gone: $said"
[ -f "$tmp/root/opt/q/bin/quarvel-preview" ] || fail "a file gone, yet others removed"

deb=$(ls "$tmp"/pkg/quarvel_*.deb)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "./usr/bin/quarvel
./usr/bin/quarvel-preview
./usr/share/doc/quarvel/changelog.gz
./usr/share/doc/quarvel/copyright
./usr/share/man/man1/quarvel-preview.1.gz
./usr/share/man/man1/quarvel.1.gz" ] || fail "package files: $files"
[ "$(dpkg-deb -f "$deb" Recommends)" = "xsecurelock | xscreensaver | i3lock" ] ||
	fail "package recommends: $(dpkg-deb -f "$deb" Recommends)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libx11-6 libxcb-shape0 libxpm4 libgif7 libpng16-16 libc6; do
	echo "$depends" | grep -q "$lib" || fail "package does not depend on $lib: $depends"
done
# What a distribution asks of a package: no lintian error or warning, and
# Debian's hardening in both programs (lintian names its lack only as
# information).
tags=$(lintian --pedantic -I "$deb" 2>/dev/null || true)
bad=$(echo "$tags" | grep -E '^[EW]: |hardening-' || true)
[ -z "$bad" ] || fail "lintian: $bad"
for program in quarvel quarvel-preview; do
	bin=$build/$program
	readelf -h "$bin" | grep -q 'Type:.*DYN' || fail "$program is not position-independent"
	readelf -d "$bin" | grep -q 'BIND_NOW' || fail "$program is not linked with -z now"
	readelf -l "$bin" | grep -q 'GNU_RELRO' || fail "$program has no read-only relocations"
	readelf -W --dyn-syms "$bin" | grep -q '__stack_chk_fail' || fail "$program has no stack protector"
done
echo "install, manual pages, package and lintian: ok${tags:+ (lintian: $tags)}"
