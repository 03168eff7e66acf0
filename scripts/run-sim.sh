#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds qb40tool-sim and runs it on the simulator's default machine.
# Arguments go to the tool; the run happens in build/demo, which keeps the
# log files. Needs no test dependency: a build tree that does not exist yet
# is configured without the tests, one that does keeps its settings.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --no-tests
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim
mkdir -p build/demo
cd build/demo
exec ../qb40tool-sim "$@"
