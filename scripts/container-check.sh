#!/usr/bin/env bash
# Runs the portal check as a deployment pipeline runs it: in a default
# container (Podman's default seccomp profile, capabilities and masked /proc)
# of a bare Debian 12 with only what `scripts/setup.sh --portal-check`
# installs, against a loopback portal served here. It shows which sandbox the
# page runs get in such a container, or that they get none.
#
#   scripts/container-check.sh [CHECK-OPTION...]     # e.g. --fail-on warn, --json
#
# Needs root (debootstrap, chroot, Podman), and installs podman, runc and
# debootstrap when they are missing. The image is built once per version of
# scripts/setup.sh and kept (`podman rmi` it to rebuild); this checkout is
# mounted into the container read-only, so a change to the check needs no
# rebuild. Prints what the check printed, as it printed it, then its exit
# code on a line of its own, and exits with that code. Outside CI: the tests
# do not run it.
set -euo pipefail

checkout=$(cd "$(dirname "$0")/.." && pwd)
tag=$(sha256sum "$checkout/scripts/setup.sh" | cut -c1-12)
image=localhost/varnholt-portal-check:$tag
rootfs=/var/tmp/varnholt-portal-check-$tag
apt_options=(-y -qq --no-install-recommends -o DPkg::Lock::Timeout=600)

say() { echo "container-check: $*" >&2; }

[ "$(id -u)" -eq 0 ] || { say "run it as root"; exit 2; }

install_tools() {
  local missing=() tool
  for tool in podman runc debootstrap; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] && return
  say "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install "${apt_options[@]}" "${missing[@]}" >/dev/null
}

# The root file system: Debian 12's minimal base, then the check's packages
# through this checkout's own setup script, so the image holds what a pipeline
# following docs/portal-check.md would.
build_image() {
  if [ ! -e "$rootfs/.portal-check-ready" ]; then
    rm -rf "$rootfs"
    say "debootstrap --variant=minbase bookworm $rootfs"
    debootstrap --variant=minbase bookworm "$rootfs" >/dev/null
    cp "$checkout/scripts/setup.sh" "$rootfs/tmp/setup.sh"
    cp /etc/resolv.conf "$rootfs/etc/resolv.conf"
    say "scripts/setup.sh --portal-check in the new root"
    mount -t proc proc "$rootfs/proc"
    trap 'umount "$rootfs/proc" 2>/dev/null || true' EXIT
    DEBIAN_FRONTEND=noninteractive chroot "$rootfs" /bin/bash /tmp/setup.sh --portal-check >&2
    if [ -n "$(chroot "$rootfs" /bin/bash /tmp/setup.sh --portal-check)" ]; then
      say "a second scripts/setup.sh --portal-check still installed packages"
      exit 1
    fi
    umount "$rootfs/proc"
    trap - EXIT
    chroot "$rootfs" apt-get clean
    rm -f "$rootfs/tmp/setup.sh"
    touch "$rootfs/.portal-check-ready"
  fi
  say "podman import $image"
  tar -C "$rootfs" --exclude=./.portal-check-ready -c . | podman import - "$image" >/dev/null
}

# A portal whose script adds one that adds another holding an arrow function,
# and whose page calls Object.assign as it loads: two faults on IE11 that only
# a run of the page finds (without one, the added scripts are not even fetched).
make_portal() {
  local site=$1
  mkdir -p "$site/stats"
  cat > "$site/index.html" <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Varnholt</title>
<meta http-equiv="X-UA-Compatible" content="IE=edge">
<script src="/app.js"></script>
<script>var settings = Object.assign({}, {news: true});</script>
</head><body><p>News</p></body></html>
EOF
  printf '%s\n' "var s = document.createElement('script');" "s.src = '/loader.js';" \
    "document.head.appendChild(s);" > "$site/app.js"
  sed 's#/loader.js#/news.js#' "$site/app.js" > "$site/loader.js"
  printf '%s\n' "var shown = [1, 2].map((x) => x * 2);" > "$site/news.js"
  echo '<p>Statistics</p>' > "$site/stats/varnholt.html"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

install_tools
podman image exists "$image" || build_image

site=$(mktemp -d)
port=$(free_port)
make_portal "$site"
python3 -m http.server --bind 127.0.0.1 --directory "$site" "$port" >/dev/null 2>&1 &
server=$!
trap 'kill $server; rm -rf "$site"' EXIT
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null \
    && break
  sleep 0.1
done

status=0
podman --runtime /usr/sbin/runc --cgroup-manager=cgroupfs run --rm \
  --ulimit nofile=20000:20000 --ulimit nproc=4096:4096 --network host \
  -v "$checkout:/src:ro" "$image" /src/scripts/check-portal.sh "$@" "127.0.0.1:$port" \
  || status=$?
echo "exit code: $status"
exit "$status"
