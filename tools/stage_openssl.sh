#!/bin/sh
# Stages Debian 12's static libcrypto and OpenSSL headers for ARCH (amd64 or arm64)
# under build/openssl-ARCH, for tools/build_wheel.sh: a library built against glibc
# 2.36's headers needs no glibc symbol newer than 2.25, where a newer system's would.
#   tools/stage_openssl.sh ARCH
set -eu
arch=${1:?usage: tools/stage_openssl.sh amd64|arm64}
cd "$(dirname "$0")/.."
dest="build/openssl-$arch"
[ ! -f "$dest/lib/libcrypto.a" ] || exit 0
case "$arch" in amd64) triplet=x86_64-linux-gnu ;; arm64) triplet=aarch64-linux-gnu ;; *) exit 2 ;; esac
rm -rf "$dest.partial"; mkdir -p "$dest.partial/include/openssl" "$dest.partial/lib"
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  root=""
else
  # The foreign library from Debian 12's own package, unpacked without installing it.
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch"
    $SUDO apt-get update -q >/dev/null
  fi
  scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
  (cd "$scratch" && apt-get download "libssl-dev:$arch" >/dev/null && dpkg -x libssl-dev_*.deb root)
  root="$scratch/root"
fi
cp "$root"/usr/include/openssl/*.h "$root/usr/include/$triplet"/openssl/*.h "$dest.partial/include/openssl/"
cp "$root/usr/lib/$triplet/libcrypto.a" "$dest.partial/lib/"
mv "$dest.partial" "$dest"
