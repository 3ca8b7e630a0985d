#!/usr/bin/env bash
# tools/release.sh: the files a person downloads, built from the checked-out
# commit in build folders of their own (build/release-win32, build/release-deb)
# and written to dist/:
#
#   quorplug-update-VERSION-win32.zip   the 32-bit Windows programs
#       (QuorPlugUpdate.exe, plugupdate-console.exe), README.txt (the user's
#       part of README.md, CRLF line ends) and SHA256SUMS.txt of the programs
#   plugupdate-console_VERSION-1_ARCH.deb   the console tool for Debian, with
#       its man page (made from --help), copyright and changelog
#   SHA256SUMS                          of every file above
#
# The same commit gives the same bytes, wherever and whenever it is built:
# every time comes from the commit (SOURCE_DATE_EPOCH), the PE header carries
# no time stamp, no build or source folder is left in a binary, and the
# members of the zip and the .deb are sorted, with fixed times, owners and
# modes.
#
# Signing: where PLUG_SIGN_CERT and PLUG_SIGN_KEY name a PEM certificate
# (chain) and its unencrypted PEM key, both Windows programs are signed
# (Authenticode, SHA-256) with osslsigncode before they are zipped, with an
# RFC 3161 time stamp from PLUG_SIGN_TIMESTAMP_URL if set (else the signing
# time is the commit's, and a signed release is reproducible too). Without
# them the release is unsigned and says so.
#
# Installs what it needs from Debian's archive when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export LC_ALL=C TZ=UTC
umask 022

say() { echo "release: $*"; }
die() { echo "release: $*" >&2; exit 1; }

# --- what the build needs
missing=""
command -v cmake >/dev/null || missing="$missing cmake"
command -v g++ >/dev/null || missing="$missing g++"
command -v make >/dev/null || missing="$missing make"
dpkg -s libgtest-dev >/dev/null 2>&1 || missing="$missing libgtest-dev"
dpkg -s libgmock-dev >/dev/null 2>&1 || missing="$missing libgmock-dev"
command -v i686-w64-mingw32-g++-posix >/dev/null || missing="$missing g++-mingw-w64-i686-posix"
command -v i686-w64-mingw32-windres >/dev/null || missing="$missing binutils-mingw-w64-i686"
command -v zip >/dev/null || missing="$missing zip"
command -v dpkg-shlibdeps >/dev/null || missing="$missing dpkg-dev"
command -v git >/dev/null || missing="$missing git"
if [ -n "${PLUG_SIGN_CERT:-}${PLUG_SIGN_KEY:-}" ] && ! command -v osslsigncode >/dev/null; then
  missing="$missing osslsigncode"
fi
if [ -n "$missing" ]; then
  [ "$(id -u)" = 0 ] || die "missing packages:$missing (install them, or run as root)"
  say "installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null 2>&1 || say "apt-get update reported errors; installing from the lists it has"
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# --- the commit
commit=$(git rev-parse HEAD) || die "not a git checkout"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  say "WARNING: the checkout has changes not committed; this release is not commit ${commit:0:12} alone"
fi
say "commit $commit, time $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')"

# --- the Windows programs: the 32-bit build, release flags, stripped (the
# toolchain's own linker flags, static and without time stamp, stay)
# The build folders keep their objects but never their settings: every flag
# comes from here and the toolchain files.
mkdir -p build
rm -f build/release-win32/CMakeCache.txt build/release-deb/CMakeCache.txt
win=build/release-win32
cmake -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DPLUG_REPRODUCIBLE=ON -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s >"$win.configure.log" 2>&1 ||
  { tail -n 30 "$win.configure.log"; die "configuring $win failed"; }
cmake --build "$win" -j2 --target plugupdate plugupdate-console >"$win.build.log" 2>&1 ||
  { grep -E "error|Error" "$win.build.log" | head -n 40; die "building $win failed (log: $win.build.log)"; }

# --- the console tool for Debian: this machine's architecture, Debian's
# hardening flags (with which GCC 12 reports false -Wrestrict overlaps inside
# std::string, as in the cross build)
deb=build/release-deb
cmake -S . -B "$deb" -DCMAKE_BUILD_TYPE=Release -DPLUG_REPRODUCIBLE=ON \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -Wno-restrict" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS) -s" >"$deb.configure.log" 2>&1 ||
  { tail -n 30 "$deb.configure.log"; die "configuring $deb failed"; }
cmake --build "$deb" -j2 --target plugupdate-console >"$deb.build.log" 2>&1 ||
  { grep -E "error|Error" "$deb.build.log" | head -n 40; die "building $deb failed (log: $deb.build.log)"; }

version=$(sed -nE 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$deb/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $deb/CMakeCache.txt"
console=$deb/frontends/plugupdate-console
said=$("$console" --version | head -n 1)
[ "$said" = "plugupdate-console $version" ] ||
  die "the console tool says \"$said\", the project's version is $version"

rm -rf dist
mkdir -p dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fixed times, owners and modes for everything packed from $1.
settle() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# --- the zip
zipdir=$work/zip
mkdir -p "$zipdir"
cp "$win/QuorPlugUpdate.exe" "$win/plugupdate-console.exe" "$zipdir/"
if [ -n "${PLUG_SIGN_CERT:-}" ] && [ -n "${PLUG_SIGN_KEY:-}" ]; then
  stamp=(-time "$SOURCE_DATE_EPOCH")
  [ -n "${PLUG_SIGN_TIMESTAMP_URL:-}" ] && stamp=(-ts "$PLUG_SIGN_TIMESTAMP_URL")
  for exe in QuorPlugUpdate.exe plugupdate-console.exe; do
    osslsigncode sign -certs "$PLUG_SIGN_CERT" -key "$PLUG_SIGN_KEY" -h sha256 -n "QUOR Plug Update" \
      "${stamp[@]}" -in "$zipdir/$exe" -out "$zipdir/$exe.signed" >"$work/sign.log" 2>&1 ||
      { cat "$work/sign.log"; die "signing $exe failed"; }
    mv "$zipdir/$exe.signed" "$zipdir/$exe"
  done
  say "signed: $(openssl x509 -in "$PLUG_SIGN_CERT" -noout -subject 2>/dev/null | sed 's/^subject=//')${PLUG_SIGN_TIMESTAMP_URL:+, time stamp from $PLUG_SIGN_TIMESTAMP_URL}"
else
  say "unsigned (PLUG_SIGN_CERT and PLUG_SIGN_KEY are not set)"
fi
(cd "$zipdir" && sha256sum QuorPlugUpdate.exe plugupdate-console.exe >SHA256SUMS.txt)

# README.txt: the user's part of README.md ("Using a real plug"), as plain text
# with CRLF line ends and a byte-order mark (Notepad then reads the umlauts).
perl -CSD -ne '
  BEGIN { print "\x{FEFF}QUOR Plug Update '"$version"'\n================\n\n" }
  if (/^## /) { $in = /^## Using a real plug\s*$/; next }
  next unless $in;
  next if /^!\[/ || /^```/;
  my $empty = /^\s*$/;
  next if $empty && ($blank || !$text);
  ($text, $blank) = (1, $empty);
  s/\*\*([^*]+)\*\*/$1/g;
  s/`([^`]+)`/$1/g;
  print;
  END {
    print "\nSHA256SUMS.txt holds the SHA-256 sums of the two programs.\n";
  }' README.md >"$work/readme.txt"
grep -q "Finding the port" "$work/readme.txt" || die "README.md has no section \"## Using a real plug\" with the user's part"
sed 's/$/\r/' "$work/readme.txt" >"$zipdir/README.txt"
chmod 0644 "$zipdir"/*
settle "$zipdir"
zipname=quorplug-update-$version-win32.zip
(cd "$zipdir" && ls | sort | zip -X -q -9 "$root/dist/$zipname" -@)

# --- the .deb
arch=$(dpkg --print-architecture)
debver=$version-1
pkg=$work/deb
doc=$pkg/usr/share/doc/plugupdate-console
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man1" "$doc"
install -m 0755 "$console" "$pkg/usr/bin/plugupdate-console"

# The man page, from the --help text: the synopsis, the description, the
# options and the exit-status table.
"$console" --help | perl -e '
  my ($date, $version) = @ARGV;
  sub esc { my $s = shift; $s =~ s/\\/\\e/g; $s =~ s/-/\\-/g; $s =~ s/^([.\x27])/\\&$1/; return $s }
  my @lines = map { chomp; $_ } <STDIN>;
  my $usage = shift @lines;
  $usage =~ s/^usage: plugupdate-console\s*//;
  shift @lines while @lines && $lines[0] eq "";
  my @about; push @about, shift @lines while @lines && $lines[0] ne "";
  my (@opts, @exit, $part);
  for (@lines) {
    if (/^Exit status:/) { $part = "exit"; next }
    next if $_ eq "";
    if ($part) {
      if (/^  (\d+)  (.*)$/) { push @exit, [$1, $2] } else { s/^\s+//; $exit[-1][1] .= " $_" }
    } elsif (/^  (-[^\s,]+(?:, -[^\s,]+)?(?: [A-Z]+)?)\s+(.*)$/) {
      push @opts, [$1, $2];
    } else { s/^\s+//; $opts[-1][1] .= " $_" }
  }
  print "\x27\\\" t\n";
  print ".TH PLUGUPDATE\\-CONSOLE 1 \"$date\" \"plugupdate\\-console $version\" \"User Commands\"\n";
  print ".SH NAME\nplugupdate\\-console \\- find the QUOR Plug on a serial port and update its firmware\n";
  print ".SH SYNOPSIS\n.B plugupdate\\-console\n", esc($usage), "\n";
  print ".SH DESCRIPTION\n", join("\n", map { esc($_) } @about), "\n";
  print ".SH OPTIONS\n";
  for my $o (@opts) {
    my @words = split /, /, $o->[0];
    print ".TP\n", join(", ", map { my ($f, $a) = split / /, $_, 2; "\\fB" . esc($f) . "\\fR" . (defined $a ? " \\fI" . esc($a) . "\\fR" : "") } @words), "\n";
    print esc($o->[1]), "\n";
  }
  print ".SH EXIT STATUS\n.TS\nl lx.\n";
  print "$_->[0]\tT{\n", esc($_->[1]), "\nT}\n" for @exit;
  print ".TE\n";
  print ".SH NOTES\nThe serial devices belong to the group \\fBdialout\\fR: add yourself with\n",
        ".B sudo usermod \\-aG dialout \$USER\nand log in again.\n";
' "$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)" "$version" >"$work/plugupdate-console.1"
grep -q '^7	T{' "$work/plugupdate-console.1" || die "the man page has no exit-status table (has --help changed?)"
gzip -9n <"$work/plugupdate-console.1" >"$pkg/usr/share/man/man1/plugupdate-console.1.gz"

cat >"$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: QUOR Plug Update
Source: the source tree this package was built from, commit $commit

Files: *
Copyright: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the QUOR Plug Update developers
License: QUOR-Plug-Update
 The developers of QUOR Plug Update have not yet published the terms under
 which it may be copied; ask them before passing it on.
EOF
{
  echo "plugupdate-console ($debver) unstable; urgency=medium"
  echo
  echo "  * Release $version of the QUOR Plug Update console tool, built from"
  echo "    commit $commit."
  echo
  echo " -- QUOR Plug Update developers <plugupdate@quorplug.example>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.Debian.gz"
chmod 0644 "$doc"/* "$pkg/usr/share/man/man1"/*

# Dependencies as dpkg-shlibdeps finds them (it wants a debian/control).
mkdir -p "$work/src/debian"
printf 'Source: plugupdate-console\n\nPackage: plugupdate-console\nArchitecture: any\n' >"$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O "$pkg/usr/bin/plugupdate-console" 2>"$work/shlibdeps.log" |
          sed -n 's/^shlibs:Depends=//p') || true
[ -n "$depends" ] || { cat "$work/shlibdeps.log"; die "dpkg-shlibdeps found no dependencies"; }

(cd "$pkg" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
chmod 0644 "$pkg/DEBIAN/md5sums"
cat >"$pkg/DEBIAN/control" <<EOF
Package: plugupdate-console
Version: $debver
Architecture: $arch
Maintainer: QUOR Plug Update developers <plugupdate@quorplug.example>
Installed-Size: $(du -sk --apparent-size "$pkg/usr" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: update the firmware of the QUOR Plug from the command line
 plugupdate-console finds the QUOR Plug, a small serial-port device, on a
 serial port, shows its firmware version and, on request, brings it to the
 firmware revision the tool carries. It reports the outcome as an exit status
 or as JSON, for scripts.
 .
 The serial devices belong to the group dialout; the user who runs the tool
 must be a member.
EOF
chmod 0644 "$pkg/DEBIAN/control"
settle "$pkg"
debname=plugupdate-console_${debver}_$arch.deb
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$pkg" "dist/$debname" >/dev/null

# --- the sums and what was made
(cd dist && sha256sum "$zipname" "$debname" >SHA256SUMS)
for f in "$zipname" "$debname"; do
  say "dist/$f  $(stat -c %s "dist/$f") bytes  sha256 $(sha256sum "dist/$f" | cut -d' ' -f1)"
done
