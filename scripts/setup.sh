#!/usr/bin/env bash
# Installs, idempotently, everything a fresh Debian 12 machine needs to build
# the launcher with the i686 MinGW-w64 cross compiler, to run it and its
# tests under 32-bit Wine inside Xvfb, to sign the release package and to
# check the portal's pages (scripts/check-portal.sh parses their scripts with
# acorn and runs them in jsdom inside a bubblewrap sandbox with a seccomp
# filter, and reads their stylesheets with css-tree, with what IE11 lacks
# taken from MDN's compatibility data; its sandbox test fetches Node 18 with
# npm).
#
#   scripts/setup.sh [--portal-check]
#
# --portal-check installs only what scripts/check-portal.sh needs (a portal's
# deployment pipeline on a bare Debian 12 image): no i386 architecture, Wine,
# MinGW or npm. Runs apt only for what is missing.
#
# Wine's own fonts (fonts-wine, only recommended by libwine, and recommends are
# not installed) give the test bed's dialogs MS Sans Serif's metrics, as on
# Windows (scripts/with-wine.sh links them into its prefix); without them Wine
# draws dialogs in a wider substitute.
set -euo pipefail

# The portal check: python3 runs it, node with Debian's modules judges and runs
# the page and reads its scripts' source maps, bwrap, python3-seccomp and
# util-linux's prlimit and setpriv make the page runs' sandbox, and
# ca-certificates lets it trust an https portal.
portal_packages=(
  python3 nodejs node-acorn node-jsdom node-mdn-browser-compat-data node-css-tree node-source-map
  bubblewrap python3-seccomp util-linux ca-certificates
)

packages=(
  cmake make ninja-build git python3
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
  wine wine32:i386 fonts-wine
  xvfb xauth xdotool x11-utils imagemagick
  libgl1:i386 libgl1-mesa-dri:i386 libglx-mesa0:i386
  googletest icoutils attr
  clang clang-format cppcheck libclang-rt-14-dev
  openssl osslsigncode
  python3-jsonschema  # the portal check's test of its SARIF log
  "${portal_packages[@]}"
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

portal_only=
case "${1:-}" in
  "") ;;
  --portal-check) portal_only=1; packages=("${portal_packages[@]}") ;;
  *) echo "usage: scripts/setup.sh [--portal-check]" >&2; exit 2 ;;
esac

if [ -z "$portal_only" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  # dpkg-query needs the architecture qualifier only for foreign packages.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The sandbox test fetches Node 18 with npm; a node from elsewhere (NodeSource's)
# brings an npm of its own, and Debian's would clash with it.
[ -n "$portal_only" ] || command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ -n "${need_update:-}" ] || [ ! -f /var/lib/apt/periodic/update-success-stamp ] || true; then
  as_root apt-get update -qq
fi
as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
