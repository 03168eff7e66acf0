#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one scenario of rig/scenarios in its own guest and on qb40tool-sim,
# compares the two and prints one line: "PASS NAME ..." or "FAIL NAME: why"
# followed by the first differing lines. Leaves everything in OUT/NAME
# (guest/, sim/, the BMC traces, the diffs) and a file PASS there when it
# passed.
#
#   rig/run-scenario.sh NAME OUT        (OUT prepared by rig/make-base.sh)
#
# A scenario is a directory with machine.json and a file "scenario" (bash).
# A scenario of several runs, each in a guest of its own with fresh BMCs, is
# a directory with machine.json, an optional file "common" (bash, read
# before each run's file) and one directory per run with its file "scenario"
# (and its own machine.json where it needs one); NAME is then DIR/RUN.
# The file "scenario" may set:
#   args=(...)        the tool's arguments
#   stdin=TEXT        its standard input (default: empty)
#   driver=STATE      the guest's driver: loaded (at boot), loadable (modules
#                     present, not loaded) or absent (no modules); must match
#                     the machine file's "driver"
#   road=ROAD         the road the tool takes: driver (default) or kcs (-dio);
#                     the external BMC's fault rules that watch one road
#                     follow it
#   interfaces=(...)  the guest's IPMI system interfaces, one per BMC of the
#                     machine file and in its order (default: one, kcs):
#                     "kcs" (QEMU's isa-ipmi-kcs, at 0xCA2 and IRQ 5 unless
#                     told otherwise) or "bt" (isa-ipmi-bt, 0xE4, IRQ 5),
#                     with QEMU's properties: "kcs,ioport=0xca8,irq=7". Each
#                     needs an IRQ of its own (5, 7, 10, 11, 3 or 14).
#                     Interface N is machine BMC N, served by its own
#                     qb40sim-bmc, and the driver makes it /dev/ipmiN.
#   files=(...)       files copied into the working directory (e.g. images),
#                     made by prepare() or kept in the scenario directory
#   prepare DIR       writes files into DIR before the runs
#   guest_command=(...) what the guest runs instead of qb40tool with args
#                     (the simulator runs the tool all the same)
#   tools=(...)       further programs of this machine for the guest, with
#                     the shared libraries they load
#   prepare_guest DIR writes further files into the guest's working
#                     directory DIR, after the simulator's run (its trace is
#                     $dir/sim-trace.txt)
#   compare=(...)     what must agree between the runs: "tool" (exit status,
#                     console, standard error, logs) and "bmc-side" (each
#                     BMC's side of the traces); default both
#   stderr_allowed=RE standard-error lines left out of the comparison: what
#                     the system's own commands print in their own words
#   guest_timeout=S   bound of the guest run (default 240 s)
#   capture=FILE      the file the tool's --capture writes (args name it):
#                     the guest sends it back, and qb40sim-capture makes a
#                     machine of it alone, by "model" (--exact: it must
#                     answer every request of the capture as the capture
#                     has it) and by "replay"; the tool runs again on each
#                     with the same arguments (in sim-model/ and
#                     sim-replay/) and must agree with the guest as the
#                     first simulator run does, and the captures of all
#                     three runs must not differ from the guest's
#                     (qb40sim-capture diff, without the times; the first
#                     run's with --ignore-ports on the KCS road)
#   bmc=KIND          the BMC behind the guest's interfaces: "ours" (default,
#                     qb40sim-bmc on the machine file) or "qemu" (QEMU's
#                     own ipmi-bmc-sim, which answers Master Write-Read with
#                     completion code 0xC1; one interface, no BMC trace, so
#                     compare=(tool); the machine file stands for it)
#   capture_image=F   the image the captured run programmed, for the
#                     byte commands' data (qb40sim-capture --image)
#   check()           further checks; call fail "why" for each problem
#   run_sim()         the simulator's side, when it is more than one run of
#                     qb40tool with args: it leaves console.txt, stderr.txt
#                     and status in $dir/sim and the trace in
#                     $dir/sim-trace.txt (the default is below)
set -uo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
scenario_started=$SECONDS
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
interfaces=(kcs)
files=()
guest_command=()
tools=()
compare=(tool bmc-side)
stderr_allowed='^$'
guest_timeout=240
check() { :; }
prepare() { :; }
prepare_guest() { :; }
capture=""
capture_image=""
bmc=ours
# run_sim_on SIDE MACHINE: the tool with args on qb40tool-sim in $dir/SIDE,
# its trace in $dir/SIDE-trace.txt.
run_sim_on() {
  (
    cd "$dir/$1" &&
      printf '%s' "$stdin" >../sim-stdin &&
      PATH=$out/bin:$PATH QB40SIM_MACHINE=$2 QB40SIM_TRACE=$dir/$1-trace.txt \
        QB40SIM_PANEL=$dir/$1-panel.txt timeout 120 qb40tool "${args[@]}" <../sim-stdin >console.txt 2>stderr.txt
    echo $? >status
  )
}
run_sim() { run_sim_on sim "$machine"; }
machine=$src/machine.json
[ -f "$machine" ] || [ "$name" = "${name%/*}" ] || machine=$(dirname "$src")/machine.json
if [ ! -f "$src/scenario" ] || [ ! -f "$machine" ]; then
  echo "FAIL $name: no such scenario (rig/scenarios/$name/scenario and machine.json)"
  exit 1
fi
[ "$name" != "${name%/*}" ] && [ -f "$(dirname "$src")/common" ] && source "$(dirname "$src")/common"
source "$src/scenario"
source rig/compare.sh

machine_driver=$(grep -o '"driver" *: *"[a-z]*"' "$machine" | grep -o '[a-z]*"$' | tr -d '"')
if [ "${machine_driver:-loaded}" != "$driver" ]; then
  echo "FAIL $name: scenario driver=$driver but the machine file says ${machine_driver:-loaded}"
  exit 1
fi

# --- qb40tool-sim ---------------------------------------------------------------
# First, so that the guest can be given what the simulator's run did. Run
# under the tool's name, so that the command line the log records is the
# same in both.
mkdir -p "$dir/files" "$out/bin"
prepare "$dir/files"
for f in "${files[@]}"; do [ -e "$dir/files/$f" ] || cp "$src/$f" "$dir/files/"; done
ln -sf "$root_dir/build/qb40tool-sim" "$out/bin/qb40tool"
for f in "${files[@]}"; do cp "$dir/files/$f" "$dir/sim/"; done
run_sim

# --- The guest's part of the initramfs --------------------------------------
sroot=$dir/initramfs
mkdir -p "$sroot/scenario/work"
for f in "${files[@]}"; do cp "$dir/files/$f" "$sroot/scenario/work/"; done
prepare_guest "$sroot/scenario/work"
[ ${#guest_command[@]} -gt 0 ] || guest_command=(qb40tool "${args[@]}")
printf '%s\n' "${guest_command[@]}" >"$sroot/scenario/command"
printf '%s' "$stdin" >"$sroot/scenario/stdin"
printf 'DRIVER=%s\nNODES=%s\nRETURN="%s"\n' "$driver" "${#interfaces[@]}" "$capture" >"$sroot/scenario/settings"
(cd "$sroot" && find scenario | sort | cpio -o -H newc --quiet >"$dir/scenario.cpio")
pieces=("$out/base.cpio")
[ "$driver" != absent ] && pieces+=("$out/modules.cpio")
for t in "${tools[@]}"; do
  rig/pack-program.sh "$t" "$dir/$t.cpio" || { echo "FAIL $name: cannot pack $t for the guest"; exit 1; }
  pieces+=("$dir/$t.cpio")
done
pieces+=("$dir/scenario.cpio")
cat "${pieces[@]}" >"$dir/initrd"

# --- The BMCs, then the guest --------------------------------------------------
servers=()
stop_bmcs() {
  local s
  for s in "${servers[@]}"; do kill "$s" 2>/dev/null; done
  for s in "${servers[@]}"; do wait "$s" 2>/dev/null; done
}
qemu_bmcs=()
if [ "$bmc" = qemu ]; then
  qemu_bmcs+=(-device ipmi-bmc-sim,id=bmc0)
  interfaces=("${interfaces[0]}")
else
  for n in "${!interfaces[@]}"; do
    timeout $((guest_timeout + 60)) build/qb40sim-bmc "$machine" --bmc "$n" --road "$road" \
      --port-file "$dir/port$n" --trace "$dir/bmc$n-trace.txt" 2>"$dir/bmc$n-stderr.txt" &
    servers+=($!)
  done
fi
for n in "${!servers[@]}"; do
  for _ in $(seq 100); do
    [ -s "$dir/port$n" ] && break
    sleep 0.05
  done
  if [ ! -s "$dir/port$n" ]; then
    stop_bmcs
    echo "FAIL $name: qb40sim-bmc for bmc$n did not start: $(head -c 300 "$dir/bmc$n-stderr.txt")"
    exit 1
  fi
  qemu_bmcs+=(-chardev "socket,id=c$n,host=127.0.0.1,port=$(cat "$dir/port$n"),reconnect=1"
    -device "ipmi-bmc-extern,chardev=c$n,id=bmc$n")
done
# QEMU publishes the interface it creates last first, and the driver numbers
# the nodes in that order: the last BMC goes first.
for ((n = ${#interfaces[@]} - 1; n >= 0; n--)); do
  kind=${interfaces[n]%%,*}
  qemu_bmcs+=(-device "isa-ipmi-$kind,bmc=bmc$n${interfaces[n]#"$kind"}")
done

guest_started=$SECONDS
# no_timer_check: under the host's load the emulated timer's first ticks
# come late, and the kernel's check of the IO-APIC timer then panics at
# boot ("IO-APIC + timer doesn't work!", seen at load average 18).
timeout "$guest_timeout" qemu-system-x86_64 -machine pc,accel=tcg -cpu max -smp 1 -m 256 \
  -display none -monitor none -serial "file:$dir/console.raw" -no-reboot -nic none \
  -kernel "$out/kernel" -initrd "$dir/initrd" \
  -append "console=ttyS0 panic=-1 quiet no_timer_check" \
  "${qemu_bmcs[@]}" \
  </dev/null >"$dir/qemu.txt" 2>&1
qemu_status=$?
guest_seconds=$((SECONDS - guest_started))
stop_bmcs
[ $qemu_status -eq 124 ] && fail "guest did not finish within ${guest_timeout} s"

# --- What the guest reported -------------------------------------------------
# Lines "QB40RIG ..." anywhere in the console; files between "file NAME" and
# "end" as base64.
tr -d '\r' <"$dir/console.raw" | grep -ao 'QB40RIG .*' | sed 's/^QB40RIG //' >"$dir/report.txt"
: >"$dir/guest/nodes.txt"
awk -v dir="$dir/guest" '
  $1 == "file" { name = dir "/" $2 ".b64"; printf "" > name; next }
  $1 == "b64"  { print $2 >> name; next }
  $1 == "end"  { close(name); name = ""; next }
  $1 == "status" { print $2 > (dir "/status") }
  $1 == "elapsed" { print $3 - $2 > (dir "/elapsed") }
  $1 == "node" { print $2, $3 > (dir "/nodes.txt") }
' "$dir/report.txt"
for b in "$dir"/guest/*.b64; do
  [ -e "$b" ] || continue
  base64 -d "$b" >"${b%.b64}" && rm "$b"
done
grep -q '^done$' "$dir/report.txt" || fail "the guest's report is incomplete (see console.raw)"

# --- Compare -----------------------------------------------------------------
compare_runs
[ -z "$capture" ] || compare_rebuilt_runs
check_nodes
check

wall="$((SECONDS - scenario_started)) s, guest ${guest_seconds} s"
if [ ${#problems[@]} -eq 0 ]; then
  touch "$dir/PASS"
  echo "PASS $name ($wall$(timing_note))"
else
  # One write, so that the lines of scenarios running side by side do not
  # interleave.
  printf '%s\n' "FAIL $name ($wall): $(IFS=';'; echo "${problems[*]}")$(first_differences)"
  exit 1
fi
