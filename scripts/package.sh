#!/usr/bin/env bash
# Builds the release launcher.exe (size-optimised, stripped), signs it when the
# environment names a certificate, and packs it. In the build folder it leaves
#   VarnholtLauncher-VERSION-win32.zip   the package, holding launcher.exe
#   unsigned/launcher.exe                the program as built, before signing
#   SHA256SUMS                           the hashes of both (sha256sum -c)
# Everything but the signature depends only on the sources: the ZIP's entries
# carry the time of the commit (or SOURCE_DATE_EPOCH when set).
#
#   scripts/package.sh [CMAKE_ARGUMENTS...]
#
# LAUNCHER_RELEASE_DIR           build folder (default build/release)
# LAUNCHER_SIGN_PKCS12           PKCS#12 file with the code-signing key and its chain
# LAUNCHER_SIGN_PASSWORD_FILE    file holding that file's password
# LAUNCHER_SIGN_TIMESTAMP_URL    RFC 3161 timestamp server (optional)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

fail() {
  echo "package: $*" >&2
  exit 1
}

build=$(realpath -m "${LAUNCHER_RELEASE_DIR:-build/release}")
p12=${LAUNCHER_SIGN_PKCS12:-}
password=${LAUNCHER_SIGN_PASSWORD_FILE:-}
timestamp=${LAUNCHER_SIGN_TIMESTAMP_URL:-}

# A package from an earlier run must not pass for this run's when this one fails.
mkdir -p "$build"
rm -rf "$build/unsigned" "$build/SHA256SUMS" "$build"/VarnholtLauncher-*-win32.zip

work=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Refuses, before anything is built, a certificate that cannot sign.
check_certificate() {
  [ -n "$password" ] || fail "LAUNCHER_SIGN_PASSWORD_FILE is not set (the password of $p12)"
  [ -f "$p12" ] || fail "the certificate file $p12 (LAUNCHER_SIGN_PKCS12) does not exist"
  [ -f "$password" ] || fail "the password file $password (LAUNCHER_SIGN_PASSWORD_FILE) does not exist"
  local cert=$work/certificate.pem
  # Files from older tools need OpenSSL's legacy ciphers.
  local open=(pkcs12 -in "$p12" -passin "file:$password" -nokeys -clcerts -out "$cert")
  if ! openssl "${open[@]}" 2>/dev/null && ! openssl "${open[@]}" -legacy 2>/dev/null; then
    fail "cannot open $p12 with the password in $password (wrong password, or not a PKCS#12 file)"
  fi
  [ -s "$cert" ] || fail "$p12 holds no certificate for its key"
  local subject not_before not_after
  subject=$(openssl x509 -in "$cert" -noout -subject | sed 's/^subject= *//')
  not_before=$(openssl x509 -in "$cert" -noout -startdate | cut -d= -f2)
  not_after=$(openssl x509 -in "$cert" -noout -enddate | cut -d= -f2)
  openssl x509 -in "$cert" -noout -checkend 0 >/dev/null ||
    fail "the certificate '$subject' expired on $not_after"
  [ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
    fail "the certificate '$subject' is not valid before $not_before"
  openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    fail "the certificate '$subject' is not for code signing (no Code Signing extended key usage)"
  echo "package: signing with '$subject', valid until $not_after"
  if [ -z "$timestamp" ]; then
    echo "package: warning: no timestamp (LAUNCHER_SIGN_TIMESTAMP_URL is not set): the signature" \
      "stops validating when the certificate expires on $not_after"
  fi
}

if [ -n "$p12$password$timestamp" ]; then
  [ -n "$p12" ] || fail "a signing variable is set but not LAUNCHER_SIGN_PKCS12, the certificate"
  check_certificate
fi

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    fail "not a git checkout: set SOURCE_DATE_EPOCH to the time of the sources"
  [ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "package: note: the sources differ from the last commit, whose time the package carries"
fi
# strip stamps the image header with this time rather than the current one.
export SOURCE_DATE_EPOCH

scripts/setup.sh
cmake --preset release -B "$build" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
package=VarnholtLauncher-$version-win32.zip

mkdir -p "$work/unsigned" "$work/package"
cmake --install "$build" --strip --prefix "$work/install" >/dev/null
cp "$work/install/launcher.exe" "$work/unsigned/launcher.exe"

if [ -n "$p12" ]; then
  sign=(osslsigncode sign -pkcs12 "$p12" -readpass "$password" -h sha256 -n "Varnholt Launcher")
  [ -z "$timestamp" ] || sign+=(-ts "$timestamp")
  if ! "${sign[@]}" -in "$work/unsigned/launcher.exe" -out "$work/package/launcher.exe" \
    >"$work/sign.log" 2>&1; then
    fail "signing failed, no package written: $(grep -v '^Connecting' "$work/sign.log" | head -3 | tr '\n' ' ')"
  fi
else
  cp "$work/unsigned/launcher.exe" "$work/package/launcher.exe"
  echo "package: not signed (LAUNCHER_SIGN_PKCS12 is not set)"
fi

python3 tools/pack_zip.py "$work/$package" "$SOURCE_DATE_EPOCH" "$work/package/launcher.exe"
(cd "$work" && sha256sum unsigned/launcher.exe "$package" >SHA256SUMS)

mv "$work/unsigned" "$build/unsigned"
mv "$work/$package" "$build/$package"
mv "$work/SHA256SUMS" "$build/SHA256SUMS"
cat "$build/SHA256SUMS"
echo "package: $build/$package"
