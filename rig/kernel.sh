# SPDX-License-Identifier: MIT
# Sourced: the installed kernel that has the IPMI modules, as
# kernel_version and kernel_image.
kernel_version=
for d in /lib/modules/*/kernel/drivers/char/ipmi; do
  v=${d#/lib/modules/}
  v=${v%%/*}
  [ -f "/boot/vmlinuz-$v" ] && kernel_version=$v
done
if [ -z "$kernel_version" ]; then
  echo "rig: no installed kernel with IPMI modules (package linux-image-amd64)" >&2
  exit 1
fi
kernel_image=/boot/vmlinuz-$kernel_version
