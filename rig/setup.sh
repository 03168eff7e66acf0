#!/usr/bin/env bash
# Installs what the rig needs beyond the build's packages, if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
packages=(qemu-system-x86 linux-image-amd64 busybox-static kmod cpio)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
