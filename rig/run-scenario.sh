#!/usr/bin/env bash
# Runs one scenario of rig/scenarios in its own guest and on qb40tool-sim,
# compares the two and prints one line: "PASS NAME ..." or "FAIL NAME: why".
# Leaves everything in OUT/NAME (guest/, sim/, the BMC traces, the diffs) and
# a file PASS there when it passed.
#
#   rig/run-scenario.sh NAME OUT        (OUT prepared by rig/make-base.sh)
#
# A scenario is a directory with machine.json and a file "scenario" (bash)
# that may set:
#   args=(...)        the tool's arguments
#   stdin=TEXT        its standard input (default: empty)
#   driver=STATE      the guest's driver: loaded (at boot), loadable (modules
#                     present, not loaded) or absent (no modules); must match
#                     the machine file's "driver"
#   road=ROAD         the road the tool takes: driver (default) or kcs (-dio);
#                     the external BMC's fault rules that watch one road
#                     follow it
#   files=(...)       files copied into the working directory (e.g. images),
#                     made by prepare() or kept in the scenario directory
#   prepare DIR       writes files into DIR before the runs
#   stderr_allowed=RE standard-error lines left out of the comparison: what
#                     the system's own commands print in their own words
#   guest_timeout=S   bound of the guest run (default 240 s)
#   check()           further checks; call fail "why" for each problem
set -uo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
name=$1
out=$(realpath "$2")
src=$root_dir/rig/scenarios/$name
dir=$out/$name
rm -rf "$dir"
mkdir -p "$dir/guest" "$dir/sim"

problems=()
fail() { problems+=("$*"); }

args=()
stdin=""
driver=loaded
road=driver
files=()
stderr_allowed='^$'
guest_timeout=240
check() { :; }
prepare() { :; }
if [ ! -f "$src/scenario" ] || [ ! -f "$src/machine.json" ]; then
  echo "FAIL $name: no such scenario (rig/scenarios/$name/scenario and machine.json)"
  exit 1
fi
source "$src/scenario"
source rig/compare.sh

machine_driver=$(grep -o '"driver" *: *"[a-z]*"' "$src/machine.json" | grep -o '[a-z]*"$' | tr -d '"')
if [ "${machine_driver:-loaded}" != "$driver" ]; then
  echo "FAIL $name: scenario driver=$driver but the machine file says ${machine_driver:-loaded}"
  exit 1
fi

# --- The guest's part of the initramfs --------------------------------------
mkdir -p "$dir/files"
prepare "$dir/files"
for f in "${files[@]}"; do [ -e "$dir/files/$f" ] || cp "$src/$f" "$dir/files/"; done
sroot=$dir/initramfs
mkdir -p "$sroot/scenario/work"
: >"$sroot/scenario/args"
for a in "${args[@]}"; do printf '%s\n' "$a" >>"$sroot/scenario/args"; done
printf '%s' "$stdin" >"$sroot/scenario/stdin"
echo "DRIVER=$driver" >"$sroot/scenario/settings"
for f in "${files[@]}"; do cp "$dir/files/$f" "$sroot/scenario/work/"; done
(cd "$sroot" && find scenario | sort | cpio -o -H newc --quiet >"$dir/scenario.cpio")
pieces=("$out/base.cpio")
[ "$driver" != absent ] && pieces+=("$out/modules.cpio")
pieces+=("$dir/scenario.cpio")
cat "${pieces[@]}" >"$dir/initrd"

# --- The BMC, then the guest ---------------------------------------------------
timeout $((guest_timeout + 60)) build/qb40sim-bmc "$src/machine.json" --road "$road" \
  --port-file "$dir/port" --trace "$dir/bmc-trace.txt" 2>"$dir/bmc-stderr.txt" &
server=$!
for _ in $(seq 100); do
  [ -s "$dir/port" ] && break
  sleep 0.05
done
if [ ! -s "$dir/port" ]; then
  kill "$server" 2>/dev/null
  echo "FAIL $name: qb40sim-bmc did not start: $(head -c 300 "$dir/bmc-stderr.txt")"
  exit 1
fi
port=$(cat "$dir/port")

guest_started=$SECONDS
timeout "$guest_timeout" qemu-system-x86_64 -machine pc,accel=tcg -cpu max -smp 1 -m 256 \
  -display none -monitor none -serial "file:$dir/console.raw" -no-reboot -nic none \
  -kernel "$out/kernel" -initrd "$dir/initrd" \
  -append "console=ttyS0 panic=-1 quiet" \
  -chardev "socket,id=bmcsock,host=127.0.0.1,port=$port,reconnect=1" \
  -device ipmi-bmc-extern,chardev=bmcsock,id=bmc0 \
  -device isa-ipmi-kcs,bmc=bmc0 \
  </dev/null >"$dir/qemu.txt" 2>&1
qemu_status=$?
guest_seconds=$((SECONDS - guest_started))
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
[ $qemu_status -eq 124 ] && fail "guest did not finish within ${guest_timeout} s"

# --- What the guest reported -------------------------------------------------
# Lines "QB40RIG ..." anywhere in the console; files between "file NAME" and
# "end" as base64.
tr -d '\r' <"$dir/console.raw" | grep -ao 'QB40RIG .*' | sed 's/^QB40RIG //' >"$dir/report.txt"
awk -v dir="$dir/guest" '
  $1 == "file" { name = dir "/" $2 ".b64"; printf "" > name; next }
  $1 == "b64"  { print $2 >> name; next }
  $1 == "end"  { close(name); name = ""; next }
  $1 == "status" { print $2 > (dir "/status") }
  $1 == "elapsed" { print $3 - $2 > (dir "/elapsed") }
' "$dir/report.txt"
for b in "$dir"/guest/*.b64; do
  [ -e "$b" ] || continue
  base64 -d "$b" >"${b%.b64}" && rm "$b"
done
grep -q '^done$' "$dir/report.txt" || fail "the guest's report is incomplete (see console.raw)"

# --- The same on qb40tool-sim ------------------------------------------------
# Run under the tool's name, so that the command line the log records is the
# same in both.
mkdir -p "$out/bin"
ln -sf "$root_dir/build/qb40tool-sim" "$out/bin/qb40tool"
for f in "${files[@]}"; do cp "$dir/files/$f" "$dir/sim/"; done
(
  cd "$dir/sim" &&
    printf '%s' "$stdin" >../sim-stdin &&
    PATH=$out/bin:$PATH QB40SIM_MACHINE=$src/machine.json QB40SIM_TRACE=$dir/sim-trace.txt \
      timeout 120 qb40tool "${args[@]}" <../sim-stdin >console.txt 2>stderr.txt
  echo $? >status
)

# --- Compare -----------------------------------------------------------------
compare_runs
check

if [ ${#problems[@]} -eq 0 ]; then
  touch "$dir/PASS"
  echo "PASS $name (guest ${guest_seconds} s$(timing_note))"
else
  echo "FAIL $name: $(IFS=';'; echo "${problems[*]}")"
  exit 1
fi
