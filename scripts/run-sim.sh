#!/usr/bin/env bash
# Builds qb40tool-sim and runs it on the simulator's default machine.
# Arguments go to the tool; the run happens in build/demo, which keeps the
# log files.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
mkdir -p build/demo
cd build/demo
exec ../qb40tool-sim "$@"
