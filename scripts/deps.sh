#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build needs, and any packages named as
# arguments, if any are missing. With --no-tests first, only what the
# programs need (a build with -DBUILD_TESTING=OFF).
set -euo pipefail
# python3-jsonschema checks every outcome report the tests and the campaign
# produce against docs/report.schema.json (with Debian's /usr/bin/python3,
# which is the one that sees it); ipmitool is the console we did not write
# that the LAN BMC of qb40sim-bmc is checked against.
tests=(libgtest-dev libgmock-dev libbenchmark-dev python3-jsonschema ipmitool)
if [ "${1:-}" = --no-tests ]; then
  shift
  tests=()
fi
packages=(g++ cmake ninja-build pkgconf nlohmann-json3-dev nettle-dev "${tests[@]}" "$@")
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
