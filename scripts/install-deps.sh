#!/bin/sh
# Installs what building blankimg and running its tests need on Debian or
# Ubuntu, through sudo unless already root. Packages already there are left
# as they are.
set -eu
packages="cmake make g++ libgtest-dev groff-base strace python3 dosfstools mtools fdisk fusefat qemu-system-x86 dosbox nasm"
missing=
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then as_root=; else as_root=sudo; fi
$as_root apt-get update
# shellcheck disable=SC2086 # one word per package
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
