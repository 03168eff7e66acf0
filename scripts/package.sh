#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages qb40tool and qb40tool-sim and the tarball with
# the statically linked qb40tool into build-pkg/, with Debian's build flags
# (hardening included). Further arguments go to CMake (-DQB40_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --no-tests dpkg-dev file
# Every hardening feature, immediate binding included.
eval "$(DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all} dpkg-buildflags --export=sh)"
scripts/build.sh build-pkg --preset package "$@"
if ! out=$(cd build-pkg && cpack 2>&1); then
  echo "$out" >&2
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
arch=$(dpkg --print-architecture)
for f in "qb40tool_${version}_$arch.deb" "qb40tool-sim_${version}_$arch.deb" "qb40tool-$version-static-x86_64.tar.gz"; do
  ls -l "build-pkg/$f"
done
