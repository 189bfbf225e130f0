#!/bin/sh
# Debian chroots for testing on interpreters and processors this machine lacks.
#
#   tools/chroot.sh make  NAME SUITE ARCH [PACKAGE...]   create (or reuse) the chroot, install packages
#   tools/chroot.sh run   NAME COMMAND...                 run COMMAND in it, the project at /src
#   tools/chroot.sh path  NAME                            print where the chroot lives
#
# Chroots live under ${ORVEL_CHROOTS:-~/.cache/orvel/chroots}/NAME: kept between runs
# when the cache survives, made afresh otherwise. `run` mounts /proc, /dev, /dev/pts
# and the project, and unmounts them again however the command ends. A foreign ARCH
# (arm64 on x86-64) runs through qemu-user-static and binfmt_misc.
set -eu

root_of() { echo "${ORVEL_CHROOTS:-$HOME/.cache/orvel/chroots}/$1"; }
project=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

# The registry's Release files of sid may be past their validity date on a machine
# whose clock or mirror lags; the packages are still signed.
APT_OPTS="-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -o Dpkg::Use-Pty=0 -q"

mounted=""
unmount_all() {
  for m in $mounted; do $SUDO umount -l "$m" 2>/dev/null || true; done
  mounted=""
}
mount_into() {  # mount_into ROOT: the project and what tests need
  root=$1
  $SUDO mkdir -p "$root/proc" "$root/dev" "$root/src"
  trap unmount_all EXIT INT TERM HUP
  $SUDO mount -t proc proc "$root/proc" && mounted="$root/proc $mounted"
  $SUDO mount --bind /dev "$root/dev" && mounted="$root/dev $mounted"
  $SUDO mkdir -p "$root/dev/pts"
  $SUDO mount -t devpts devpts "$root/dev/pts" -o newinstance,ptmxmode=0666 2>/dev/null \
    && mounted="$root/dev/pts $mounted" || true
  $SUDO mount --bind "$project" "$root/src" && mounted="$root/src $mounted"
}

enable_foreign() {  # enable_foreign ARCH: binfmt_misc for qemu-user-static
  case "$1" in amd64) return 0 ;; esac
  [ -d /proc/sys/fs/binfmt_misc ] || return 0
  [ -f /proc/sys/fs/binfmt_misc/register ] || $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || $SUDO update-binfmts --enable >/dev/null 2>&1 || true
}

cmd=${1:?usage: tools/chroot.sh make|run|path NAME ...}; shift
name=${1:?chroot name}; shift
root=$(root_of "$name")

case "$cmd" in
path)
  echo "$root" ;;
make)
  suite=${1:?suite}; arch=${2:?arch}; shift 2
  enable_foreign "$arch"
  if [ ! -x "$root/usr/bin/apt-get" ]; then
    tmp="$root.partial"
    $SUDO rm -rf "$tmp"
    $SUDO mkdir -p "$(dirname "$root")"
    $SUDO debootstrap --variant=minbase --arch="$arch" "$suite" "$tmp" http://deb.debian.org/debian >/dev/null
    $SUDO mv "$tmp" "$root"
  fi
  # What pip and apt need to reach the registries, as on the host: the host's CA bundle
  # under a name of its own (the chroot's ca-certificates package rewrites its own).
  $SUDO mkdir -p "$root/etc/ssl/certs"
  $SUDO cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca.crt"
  $SUDO cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  $SUDO cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  if [ $# -gt 0 ]; then
    mount_into "$root"
    $SUDO chroot "$root" sh -c "apt-get $APT_OPTS update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get $APT_OPTS install -y $* >/dev/null"
    unmount_all
  fi ;;
run)
  [ -x "$root/usr/bin/apt-get" ] || { echo "chroot.sh: no chroot $name (tools/chroot.sh make $name ...)" >&2; exit 1; }
  mount_into "$root"
  status=0
  $SUDO chroot "$root" env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_CERT=/etc/ssl/host-ca.crt SSL_CERT_FILE=/etc/ssl/host-ca.crt \
    REQUESTS_CA_BUNDLE=/etc/ssl/host-ca.crt sh -c 'cd /src && exec "$@"' sh "$@" || status=$?
  unmount_all
  exit $status ;;
*)
  echo "chroot.sh: unknown command $cmd" >&2; exit 2 ;;
esac
