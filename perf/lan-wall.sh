#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The network road's wall time against its floor, for a scan with VPD and a
# whole QB4077 upgrade (about 45 s) on sim/machines/lan_bmc.json, whose LAN
# BMC answers each datagram after 1 ms. The floor is what the run must wait
# for whatever the road: the tool's prescribed waits and 1 ms per exchange,
# which is the driver road's run on the same machine with a 1 ms answer
# time. On the virtual clock (the capture's last time) the --lan run adds to
# it only its session's own round trips; on the wall clock, the real
# qb40tool against qb40sim-bmc --road lan on loopback adds its own CPU, the
# kernel's, the server's and the wake-ups of an idle machine.
#
#   perf/lan-wall.sh [BUILD]       (default: build, as scripts/test.sh leaves it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
machine=$root/sim/machines/lan_bmc.json
work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
printf 'qb40-lan-secret\n' >pw
chmod 600 pw
# A 16 KB QB4077 image of version 1.2.0 (bytes 51-53), as the tests make.
python3 - <<'EOF'
image = bytearray((i * 7 + 3) & 0xFF for i in range(16384))
image[51:54] = bytes([1, 2, 0])
open("fw_4077.bin", "wb").write(image)
EOF

# The machine with its LAN BMC, and as a driver road's BMC with the given
# answer time.
python3 - "$machine" <<'EOF2'
import json, sys
m = json.load(open(sys.argv[1]))
json.dump(m, open("lan.json", "w"))
for name, latency in (("driver0", 0), ("driver1", 1000)):
    d = json.loads(json.dumps(m))
    bmc = d["bmcs"][0]
    del bmc["lan"]
    bmc.update({"node": "/dev/ipmi0", "kcs": 0, "latency_us": latency})
    json.dump(d, open(name + ".json", "w"))
EOF2

now_us() { echo $(($(date +%s%N) / 1000)); }

virtual_us() {  # MACHINE ARGS...: the run's duration on the virtual clock
  local m=$1
  shift
  QB40SIM_MACHINE=$m "$build/qb40tool-sim" --capture run.jsonl "$@" </dev/null >/dev/null 2>&1 || true
  tail -n 1 run.jsonl | python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["t"])'
}

measure() {  # NAME ARGS...
  local name=$1
  shift
  local lan=(--lan-user admin --lan-password-file pw)
  local d0 d1 l1
  d0=$(virtual_us driver0.json "$@")
  d1=$(virtual_us driver1.json "$@")
  l1=$(virtual_us lan.json --lan bmc-a.lab "${lan[@]}" "$@")
  rm -f port
  "$build/qb40sim-bmc" lan.json --road lan --listen 127.0.0.1:0 --port-file port >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do [ -s port ] && break; sleep 0.05; done
  local begin end
  begin=$(now_us)
  "$build/qb40tool" --lan "127.0.0.1:$(cat port)" "${lan[@]}" "$@" </dev/null >/dev/null 2>&1 || true
  end=$(now_us)
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
  awk -v n="$name" -v d0="$d0" -v d1="$d1" -v l1="$l1" -v w="$((end - begin))" 'BEGIN {
    printf "%s: prescribed waits %.3f s, floor (driver road, 1 ms answers) %.3f s\n", n, d0 / 1e6, d1 / 1e6
    printf "  --lan on the virtual clock: %.3f s, %.4f x floor (%d ms more)\n", l1 / 1e6, l1 / d1, (l1 - d1) / 1000
    printf "  --lan, the real qb40tool against qb40sim-bmc on loopback: %.3f s, %.4f x floor\n", w / 1e6, w / d1
  }'
}

measure "scan, VPD (-i -vpd)" -i -vpd
measure "QB4077 upgrade (-u -f)" -u -f fw_4077.bin
