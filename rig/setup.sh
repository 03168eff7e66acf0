#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the rig needs beyond the build's packages, if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh qemu-system-x86 linux-image-amd64 busybox-static kmod cpio ipmitool
