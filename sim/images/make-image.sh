#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes a firmware image for the simulator: SIZE bytes of a fixed pattern
# (byte n is n*13 + 7 + n/256, modulo 256) with the version bytes FW, MAJOR
# and MINOR at offsets 51, 52 and 53.
#
#   sim/images/make-image.sh FILE SIZE FW MAJOR MINOR
#   sim/images/make-image.sh sim/images/fw_4077.bin 4096 1 2 0
set -euo pipefail
if [ $# -ne 5 ]; then
  echo "usage: $0 FILE SIZE FW MAJOR MINOR" >&2
  exit 2
fi
file=$1 size=$2 fw=$3 major=$4 minor=$5
escapes=""
for ((n = 0; n < size; n++)); do
  case $n in
    51) b=$fw ;;
    52) b=$major ;;
    53) b=$minor ;;
    *) b=$(((n * 13 + 7 + (n >> 8)) & 255)) ;;
  esac
  printf -v escape '\\x%02x' "$b"
  escapes+=$escape
done
printf "$escapes" >"$file"
