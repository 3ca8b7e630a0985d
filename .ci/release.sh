#!/usr/bin/env bash
# The release stage: tools/release.sh checked as a person downloading its
# files would need it. Runs alone too (bash .ci/release.sh), on the commit
# checked out (changes not committed are not part of it):
#
#   - two clones of the commit in two folders, each built by tools/release.sh
#     one after the other: the SHA-256 sums of their artefacts must be the
#     same; where they differ, diffoscope shows what;
#   - the zip (its members, README.txt with CRLF line ends, the programs'
#     sums, 32-bit PE programs), the .deb (its files, lintian without errors),
#     no build folder left in any program;
#   - signing: a throwaway self-signed code-signing certificate made with
#     openssl, the release signed with it twice (again the same bytes), both
#     signatures checked with osslsigncode verify (with the certificate as
#     the trusted root, and without it: an untrusted root, nothing else), a
#     copy with one byte changed must fail the check; the signed console
#     program runs once under Wine (--version). Where this machine does not
#     execute i386 programs or has no 32-bit Wine, the 64-bit twin of the
#     console program is built, signed and run instead (so also with
#     PLUG_WINE64_ONLY=1).
# Ends with "N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source .ci/lib.sh

packages() {
  local missing=""
  command -v lintian >/dev/null || missing="$missing lintian"
  command -v diffoscope >/dev/null || missing="$missing diffoscope-minimal"
  command -v osslsigncode >/dev/null || missing="$missing osslsigncode"
  command -v openssl >/dev/null || missing="$missing openssl"
  command -v zip >/dev/null || missing="$missing zip"
  command -v unzip >/dev/null || missing="$missing unzip"
  command -v dpkg-shlibdeps >/dev/null || missing="$missing dpkg-dev"
  command -v git >/dev/null || missing="$missing git"
  if [ -n "$missing" ]; then
    echo "release packages: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null 2>&1 || echo "release packages: apt-get update reported errors"
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null || return 1
  fi
  # The cross compilers and Wine.
  bash .ci/windows-packages.sh
}
if ! stage "release packages" packages; then
  fail "release packages"
  tally_finish release
  exit
fi

tmp=$(mktemp -d /tmp/plug-release.XXXXXX)
trap 'rm -rf "$tmp"; rm -f "$plug_tally_own"' EXIT
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "release: the checkout has changes not committed; this stage builds commit $(git rev-parse --short HEAD) without them"

# --- two builds, in two clones of the same commit
head=$(git rev-parse HEAD)
for name in one two; do
  git clone -q "$root" "$tmp/$name" && git -C "$tmp/$name" checkout -q --detach "$head" ||
    { fail "cloning $root"; tally_finish release; exit; }
done
build() {  # build NAME [VAR=VALUE...]: tools/release.sh in the clone NAME
  local name=$1
  shift
  (cd "$tmp/$name" && env "$@" bash tools/release.sh) >"$tmp/$name.log" 2>&1
  local rc=$?
  sed 's/^/  /' "$tmp/$name.log"
  return $rc
}
# compare WHAT: the sums of the two builds' artefacts; diffoscope on each
# file that differs.
compare() {
  if cmp -s "$tmp/one/dist/SHA256SUMS" "$tmp/two/dist/SHA256SUMS"; then
    pass "$1: both builds made the same bytes"
    return
  fi
  fail "$1: the two builds differ"
  diff "$tmp/one/dist/SHA256SUMS" "$tmp/two/dist/SHA256SUMS"
  local f
  while read -r _ f; do
    cmp -s "$tmp/one/dist/$f" "$tmp/two/dist/$f" ||
      timeout 600 diffoscope --no-progress --text - "$tmp/one/dist/$f" "$tmp/two/dist/$f" | head -n 300
  done <"$tmp/one/dist/SHA256SUMS"
}
if ! stage "release build one" build one || ! stage "release build two" build two; then
  fail "tools/release.sh"
  tally_finish release
  exit
fi
grep -qx "release: unsigned (PLUG_SIGN_CERT and PLUG_SIGN_KEY are not set)" "$tmp/one.log" &&
  pass "an unsigned release says so" || fail "no line \"unsigned\" from an unsigned release"
compare "unsigned release"

# --- what the files hold
dist=$tmp/one/dist
zipfile=$(ls "$dist"/quorplug-update-*-win32.zip 2>/dev/null)
debfile=$(ls "$dist"/plugupdate-console_*.deb 2>/dev/null)
# standalone EXE: a program that runs on a bare Windows (no DLL beyond the
# system's own) and whose header carries no time stamp.
standalone() {
  local headers dlls extra stamp
  headers=$(TZ=UTC i686-w64-mingw32-objdump -p "$1" 2>/dev/null)
  dlls=$(sed -nE 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
  extra=$(grep -vE '^(kernel32|user32|gdi32|msvcrt|advapi32|comctl32|shell32|version|ntdll)\.dll$' <<<"$dlls")
  stamp=$(sed -nE 's|^Time/Date[[:space:]]+||p' <<<"$headers")
  [ -n "$dlls" ] && [ -z "$extra" ] && pass "$(basename "$1"): system DLLs only:" $dlls ||
    fail "$(basename "$1") needs DLLs a bare Windows lacks:" $extra
  [[ "$stamp" == "Thu Jan  1 00:00:00 1970" ]] && pass "$(basename "$1"): no time stamp in the PE header" ||
    fail "$(basename "$1"): PE time stamp '$stamp'"
}
check_files() {
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) && [ "$(wc -l <"$dist/SHA256SUMS")" = 2 ] &&
    pass "dist/SHA256SUMS covers the zip and the .deb" || fail "dist/SHA256SUMS"
  mkdir -p "$tmp/zip" && unzip -q -o "$zipfile" -d "$tmp/zip" || { fail "unzip $zipfile"; return; }
  local members
  members=$(unzip -Z1 "$zipfile" | tr '\n' ' ')
  [ "$members" = "QuorPlugUpdate.exe README.txt SHA256SUMS.txt plugupdate-console.exe " ] &&
    pass "zip members: $members" || fail "zip members: $members"
  (cd "$tmp/zip" && sha256sum --quiet -c SHA256SUMS.txt) && pass "the zip's SHA256SUMS.txt" ||
    fail "the zip's SHA256SUMS.txt does not match its programs"
  # The umlauts of the window's texts once in UTF-8, never encoded twice (Ã).
  if [ -s "$tmp/zip/README.txt" ] && ! grep -qv $'\r$' "$tmp/zip/README.txt" &&
     grep -q "plugupdate-console --list-ports" "$tmp/zip/README.txt" &&
     grep -q "ü" "$tmp/zip/README.txt" && ! grep -q "Ã" "$tmp/zip/README.txt"; then
    pass "README.txt: the user's part, CRLF line ends, UTF-8"
  else
    fail "README.txt: missing, not CRLF, without the user's part or its umlauts garbled"
  fi
  local exe format
  for exe in QuorPlugUpdate.exe plugupdate-console.exe; do
    format=$(i686-w64-mingw32-objdump -f "$tmp/zip/$exe" 2>/dev/null | sed -nE 's/.*file format //p')
    [ "$format" = pei-i386 ] && pass "$exe: 32-bit program" || fail "$exe: file format '$format'"
    standalone "$tmp/zip/$exe"
  done
  # With user32 or gdi32 loaded, Windows no longer tells a console program of
  # logoff and shutdown.
  if i686-w64-mingw32-objdump -p "$tmp/zip/plugupdate-console.exe" 2>/dev/null |
     grep -qiE '^[[:space:]]*DLL Name: (user32|gdi32)\.dll$'; then
    fail "plugupdate-console.exe imports user32 or gdi32: it would not hear of logoff and shutdown"
  else
    pass "plugupdate-console.exe: neither user32 nor gdi32 imported"
  fi
  mkdir -p "$tmp/deb" && dpkg-deb -x "$debfile" "$tmp/deb" || { fail "dpkg-deb -x $debfile"; return; }
  local f missing=""
  for f in usr/bin/plugupdate-console usr/share/man/man1/plugupdate-console.1.gz \
           usr/share/doc/plugupdate-console/copyright usr/share/doc/plugupdate-console/changelog.Debian.gz; do
    [ -s "$tmp/deb/$f" ] || missing="$missing $f"
  done
  [ -z "$missing" ] && pass "the .deb holds the program, its man page, copyright and changelog" ||
    fail "the .deb lacks$missing"
  zcat "$tmp/deb/usr/share/man/man1/plugupdate-console.1.gz" | grep -q '^\.SH EXIT STATUS' &&
    pass "the man page has the exit status" || fail "the man page has no exit status"
  [ -n "$(dpkg-deb -f "$debfile" Depends)" ] && pass "Depends: $(dpkg-deb -f "$debfile" Depends)" ||
    fail "the .deb has no dependencies"
  # The clone's folder must not be in any program.
  if grep -l -a -F "$tmp/one" "$tmp/zip"/*.exe "$tmp/deb/usr/bin/plugupdate-console"; then
    fail "a build folder ($tmp/one) is left in the programs above"
  else
    pass "no build folder in the programs"
  fi
  lintian --fail-on error --tag-display-limit 0 "$debfile" && pass "lintian: no error" ||
    fail "lintian reports errors"
}
stage "release files" check_files

# --- signing
key=$tmp/key.pem cert=$tmp/cert.pem
verify() {  # verify EXE: the signature checks out with the certificate as root
  local out
  out=$(osslsigncode verify -in "$1" -CAfile "$cert" 2>&1) && grep -q "^Signature verification: ok" <<<"$out"
}
untrusted() {  # untrusted EXE: without the root, only the root is missing
  local out
  out=$(osslsigncode verify -in "$1" 2>&1)
  [ $? -ne 0 ] && grep -q "self-signed certificate" <<<"$out" &&
    [ "$(sed -nE 's/^Current message digest *: *([0-9A-F]+).*/\1/p' <<<"$out")" = \
      "$(sed -nE 's/^Calculated message digest *: *([0-9A-F]+).*/\1/p' <<<"$out")" ]
}
check_signed() {  # check_signed EXE
  if verify "$1"; then pass "$(basename "$1"): signature verified"; else fail "$(basename "$1"): signature does not verify"; fi
  if untrusted "$1"; then pass "$(basename "$1"): untrusted root, digest matches"
  else fail "$(basename "$1"): verify without the root fails for another reason"; fi
}
# Wine on the loader of the program's word size, in a prefix of its own.
wine_version() {  # wine_version win32|win64 EXE
  local said
  said=$(WINEPREFIX=$root/build/release-check-$1/wineprefix cmake/wine-run.sh "$1" "$2" --version 2>/dev/null </dev/null |
         head -n 1 | tr -d '\r')
  [ "$said" = "plugupdate-console $version" ] && pass "signed $(basename "$2") under Wine ($1): $said" ||
    fail "signed $(basename "$2") under Wine ($1) says '$said'"
}
signing() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$key" -out "$cert" -days 2 \
    -subj "/CN=QUOR Plug Update throwaway test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null ||
    { fail "openssl: no test certificate"; return; }
  build one PLUG_SIGN_CERT="$cert" PLUG_SIGN_KEY="$key" >/dev/null &&
    build two PLUG_SIGN_CERT="$cert" PLUG_SIGN_KEY="$key" >/dev/null ||
    { fail "signed release"; cat "$tmp/one.log" "$tmp/two.log"; return; }
  grep -q "^release: signed: " "$tmp/one.log" && pass "a signed release says so" || fail "no line \"signed\""
  compare "signed release"
  rm -rf "$tmp/signed" && mkdir -p "$tmp/signed" && unzip -q "$zipfile" -d "$tmp/signed" || { fail "unzip"; return; }
  local exe
  for exe in QuorPlugUpdate.exe plugupdate-console.exe; do check_signed "$tmp/signed/$exe"; done
  # One byte of the program changed after signing: the check must fail.
  cp "$tmp/signed/plugupdate-console.exe" "$tmp/broken.exe"
  printf '\xff' | dd of="$tmp/broken.exe" bs=1 seek=5000 conv=notrunc 2>/dev/null
  if cmp -s "$tmp/broken.exe" "$tmp/signed/plugupdate-console.exe"; then fail "could not change the copy"
  elif verify "$tmp/broken.exe"; then fail "a program changed after signing still verifies"
  else pass "a program changed after signing fails the check"; fi

  version=$(sed -nE 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tmp/one/build/release-deb/CMakeCache.txt")
  if [ "${PLUG_WINE64_ONLY:-0}" != 1 ] && runs_i386 && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine_version win32 "$tmp/signed/plugupdate-console.exe"
    return
  fi
  echo "release: no i386 programs here (or no 32-bit Wine, or PLUG_WINE64_ONLY=1): the 64-bit twin of the console program runs instead"
  # The Windows stage's 64-bit build of this commit where there is one, else
  # a build of the clone.
  local w64=$root/build/mingw64
  if [ "$(git -C "$root" rev-parse HEAD)" != "$head" ] || [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
     [ ! -f "$w64/plugupdate-console.exe" ] || ! cmake --build "$w64" --target plugupdate-console >/dev/null 2>&1; then
    w64=$tmp/one/build/release-win64
    if ! cmake -S "$tmp/one" -B "$w64" -DCMAKE_TOOLCHAIN_FILE="$tmp/one/cmake/mingw-x86_64.cmake" \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s >"$w64.log" 2>&1 ||
       ! cmake --build "$w64" -j2 --target plugupdate-console >>"$w64.log" 2>&1; then
      tail -n 30 "$w64.log"
      fail "64-bit console program"
      return
    fi
  fi
  echo "release: the 64-bit console program of $w64"
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "QUOR Plug Update" \
    -in "$w64/plugupdate-console.exe" -out "$tmp/signed64.exe" >/dev/null || { fail "signing the 64-bit twin"; return; }
  check_signed "$tmp/signed64.exe"
  wine_version win64 "$tmp/signed64.exe"
}
stage "release signing" signing

tally_finish release
