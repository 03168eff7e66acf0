#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the parts of the guests' initramfs that every scenario shares, into
# OUT: base.cpio (busybox, init, the tool), modules.cpio (the IPMI driver
# modules with their modules.dep), and kernel (the guest kernel).
#
#   rig/make-base.sh OUT
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath "$1")
source rig/kernel.sh

root=$out/base-root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,scenario}
cp /bin/busybox "$root/bin/busybox"
cp rig/guest/init "$root/init"
strip -o "$root/bin/qb40tool" build/qb40tool-static
(cd "$root" && find . | sort | cpio -o -H newc --quiet >"$out/base.cpio")

mods=$out/modules-root
rm -rf "$mods"
dir=lib/modules/$kernel_version/kernel/drivers/char/ipmi
mkdir -p "$mods/$dir"
for m in ipmi_msghandler ipmi_si ipmi_devintf; do
  cp "/$dir/$m.ko" "$mods/$dir/"
done
depmod -b "$mods" "$kernel_version" 2>/dev/null
(cd "$mods" && find . | sort | cpio -o -H newc --quiet >"$out/modules.cpio")

cp "$kernel_image" "$out/kernel"
