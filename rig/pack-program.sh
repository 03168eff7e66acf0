#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Packs a program installed on this machine into a cpio piece for the
# guests' initramfs: the binary in /bin and the shared libraries it loads
# (its ELF interpreter included) at the paths where it looks for them.
# Only the scenarios that name the program carry the piece.
#
#   rig/pack-program.sh PROGRAM OUT.cpio
set -euo pipefail
program=$(command -v "$1") || { echo "rig: $1 is not installed" >&2; exit 1; }
out=$(realpath "$2")
root=$out.root
rm -rf "$root"
mkdir -p "$root/bin"
cp "$program" "$root/bin/"
# ldd lists "libx.so => /path (addr)" and the interpreter as "/path (addr)".
for lib in $(ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
(cd "$root" && find . | sort | cpio -o -H newc --quiet >"$out")
rm -rf "$root"
