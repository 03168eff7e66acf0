#!/usr/bin/env bash
# Installs the Debian packages the build needs, and any packages named as
# arguments, if any are missing.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev nlohmann-json3-dev libbenchmark-dev "$@")
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
