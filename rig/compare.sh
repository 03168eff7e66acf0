# SPDX-License-Identifier: MIT
# Sourced by run-scenario.sh: comparing the guest run with the simulator run.

# The date and time the tool prints ("Sat Dec  5 16:37:19 2026") differ by
# nature; everything else must not.
normalise() {
  sed -E 's/(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}/<date>/g' "$1"
}

# The simulator run the guest run is compared with: sim (on the scenario's
# machine file), or sim-model and sim-replay (on the machines made from the
# guest's capture).
side=sim

# compare_file NAME: guest/NAME against $side/NAME, diff in NAME.diff (with
# the side's name before it for the runs on a capture's machines). A
# difference that the real stack forces is written down in the scenario as
# expected/NAME.diff (explained in its scenario file); then the runs must
# differ by exactly that.
compare_file() {
  local f=$1 d=$dir/$1.diff what=$1
  [ "$side" = sim ] || d=$dir/$side-$f.diff what="$side/$f"
  if [ -e "$dir/guest/$f" ] && [ ! -e "$dir/$side/$f" ]; then fail "$f only in the guest"; return; fi
  if [ ! -e "$dir/guest/$f" ] && [ -e "$dir/$side/$f" ]; then fail "$what only in the simulator"; return; fi
  [ -e "$dir/guest/$f" ] || return 0
  diff -u --label "sim/$f" --label "guest/$f" <(normalise "$dir/$side/$f") <(normalise "$dir/guest/$f") >"$d"
  if [ -f "$src/expected/$f.diff" ]; then
    if ! cmp -s "$src/expected/$f.diff" "$d"; then
      fail "$what does not differ as expected/$f.diff says (see ${d#"$dir/"})"
      return
    fi
  elif [ -s "$d" ]; then
    fail "$what differs ($(grep -c '^[-+][^-+]' "$d") lines, see ${d#"$dir/"})"
    return
  fi
  rm -f "$d"
}

# bmc_lines TRACE NAME: the side of BMC NAME (bmc0) in a trace: what the BMC
# received and answered and what its devices did, without times, message
# ids or the road's name. Left out: the simulated machine's own events
# (sleeps, shell, device nodes, ports, keys, terminal), the external BMC's
# connection events, and the commands that only the real driver sends
# (everything but Master Write-Read, 18 52).
bmc_lines() {
  sed -E 's/^[0-9]+\.[0-9]+ //' "$1" |
    grep -Ev '^(sleep|shell|open|close|iopl|inb|outb|key|terminal) |^[a-z0-9]+ vm (connected|disconnected|version|capabilities|irq)' |
    sed -E 's/^([a-z0-9]+) (driver|kcs|vm) (request|response)( id [0-9]+)?: /\1 \3: /' |
    awk -v name="$2" '$1 != name && $2 != name { next }
      $2 ~ /^(request|response):$/ && !($3 ~ /^(18|1C)$/ && $4 == "52") { next } { print }'
}

# A machine made from a capture gives its answers by its own means (a
# replay has no devices, a model's fault rules stand for what no device
# explained, its erase time is inferred): there the BMC side is what each
# BMC received and answered.
rebuilt_exchanges() {
  if [ "$side" = sim ]; then cat; else grep -E '^[a-z0-9]+ (request|response): ' || true; fi
}

# compared WHAT: whether the scenario has the runs agree on WHAT.
compared() { [[ " ${compare[*]} " == *" $1 "* ]]; }

compare_runs() {
  if compared tool; then
    local gs ss run
    gs=$(cat "$dir/guest/status" 2>/dev/null || echo none)
    ss=$(cat "$dir/$side/status" 2>/dev/null || echo none)
    [ "$gs" = "$ss" ] || fail "exit status $gs in the guest, $ss on the simulator ($side)"
    compare_file console.txt
    compare_file log.txt
    compare_file logprev.txt
    # Standard error: what the system's own commands print (modprobe) may
    # differ in wording; the scenario names those lines, the rest must agree.
    for run in guest "$side"; do
      [ -f "$dir/$run/stderr.txt" ] && grep -Ev "$stderr_allowed" "$dir/$run/stderr.txt" >"$dir/$run/stderr.compared"
    done
    compare_file stderr.compared
  fi
  if compared bmc-side; then
    local n
    for n in "${!interfaces[@]}"; do
      bmc_lines "$dir/$side-trace.txt" "bmc$n" | rebuilt_exchanges >"$dir/$side/bmc$n-side.txt"
      bmc_lines "$dir/bmc$n-trace.txt" "bmc$n" | rebuilt_exchanges >"$dir/guest/bmc$n-side.txt"
      compare_file "bmc$n-side.txt"
    done
  fi
}

# The guest's capture alone made into a machine by qb40sim-capture, by
# "model" (which must answer every request of the capture as the capture has
# it: --exact) and by "replay": the tool runs on each as on the scenario's
# machine file, and each run must agree with the guest's as that one does.
# The capture of the simulator's first run must hold the guest's requests,
# answers, nodes, keys and pauses. At the KCS ports the two interfaces go
# through their states by different steps that the tool handles alike
# (QEMU's shows a dummy byte after each byte written and IBF while the BMC
# works, the scenario's machine the command flag and the read state), so
# there its transfers are compared by requests and answers
# (--ignore-ports); the model and the replay go through the ports as the
# guest did, so their captures must not differ from the guest's even so.
compare_rebuilt_runs() {
  local kind f image=() exact ports=()
  if [ ! -s "$dir/guest/$capture" ]; then
    fail "the guest wrote no capture $capture"
    return
  fi
  [ -z "$capture_image" ] || image=(--image "$dir/files/$capture_image")
  [ "$road" = driver ] || ports=(--ignore-ports)
  compare_capture sim "${ports[@]}"
  for kind in model replay; do
    exact=()
    [ "$kind" = model ] && exact=(--exact)
    if ! build/qb40sim-capture "$kind" "$dir/guest/$capture" "${image[@]}" "${exact[@]}" >"$dir/$kind.json" 2>"$dir/$kind.stderr"; then
      fail "qb40sim-capture $kind: $(grep -v ': model: .*\(default\|bounded\|taken\|answer time\|fault rule\|KCS interface:\)' "$dir/$kind.stderr" | head -c 300)"
      [ -s "$dir/$kind.json" ] || continue
    fi
    mkdir -p "$dir/sim-$kind"
    for f in "${files[@]}"; do cp "$dir/files/$f" "$dir/sim-$kind/"; done
    run_sim_on "sim-$kind" "$dir/$kind.json"
    side=sim-$kind
    compare_runs
    side=sim
    compare_capture "sim-$kind"
  done
}

# compare_capture SIDE [OPTION]: the capture of the run on SIDE against the
# guest's (qb40sim-capture diff, without the times), in SIDE-capture.diff.
compare_capture() {
  local d=$dir/$1-capture.diff
  build/qb40sim-capture diff "${@:2}" "$dir/guest/$capture" "$dir/$1/$capture" >"$d" 2>&1 ||
    fail "the capture of the run on $1 differs from the guest's (${d#"$dir/"}: $(grep -m1 -E '^(A|B|only)' "$d" | cut -c1-160))"
  [ -s "$d" ] || rm -f "$d"
}

# What the driver tells of interface N (/sys/class/ipmi/ipmiN/device/params
# begins with it): "kcs,i/o,0xca8,".
interface_params() {
  local iface=${interfaces[$1]} kind port
  kind=${iface%%,*}
  case $kind in kcs) port=0xca2 ;; bt) port=0xe4 ;; *) port=? ;; esac
  [[ $iface =~ ioport=(0x[0-9a-fA-F]+) ]] && port=${BASH_REMATCH[1],,}
  echo "$kind,i/o,$port,"
}

# Every node the driver made is the interface of the BMC with its number,
# and a driver loaded at boot made one per interface.
check_nodes() {
  local node params want count=0
  while read -r node params; do
    count=$((count + 1))
    if [ "${node#ipmi}" -ge "${#interfaces[@]}" ]; then
      fail "/dev/$node is $params, beyond the interfaces"
      continue
    fi
    want=$(interface_params "${node#ipmi}")
    [[ $params == "$want"* ]] || fail "/dev/$node is $params, not ${want%,}"
  done <"$dir/guest/nodes.txt"
  [ "$driver" != loaded ] || [ $count -eq ${#interfaces[@]} ] ||
    fail "the driver made $count nodes for ${#interfaces[@]} interfaces"
}

# For the PASS line: the tool's run time in the guest, and per BMC the
# exchanges it saw with the median time from one Master Write-Read request
# to the next (one round trip through the guest's road and interface, the
# tool included).
timing_note() {
  local n
  [ -f "$dir/guest/elapsed" ] && printf ', tool %s s' "$(cat "$dir/guest/elapsed")"
  for n in "${!interfaces[@]}"; do
    [ -f "$dir/bmc$n-trace.txt" ] || continue
    sed -nE 's/^([0-9]+\.[0-9]+) [a-z0-9]+ vm request id [0-9]+: 18 52 .*/\1/p' "$dir/bmc$n-trace.txt" |
      awk 'NR > 1 { print ($1 - last) * 1000 } { last = $1 }' | sort -g |
      awk -v what="bmc$n $road/${interfaces[n]%%,*}" '{ v[NR] = $1 }
        END { if (NR > 0) printf ", %s: %d exchanges, median round trip %.3f ms", what, NR + 1, v[int((NR + 1) / 2)] }'
  done
}

# For the FAIL line: the first differing lines of every difference found.
first_differences() {
  local d
  for d in "$dir"/*.diff; do
    [ -e "$d" ] || continue
    printf '\n  %s:' "${d#"$dir/"}"
    tail -n +3 "$d" | grep -E '^[-+]' | head -n 6 | cut -c1-160 | awk '{ printf "\n    %s", $0 }'
  done
}

# check_flash_trace TRACE BUS ADDR IMAGE COUNT: the external BMC's trace shows
# the first COUNT bytes of IMAGE written (55 AA E0) and then verified (55 AA
# E1) at the controller ADDR on bus BUS, each address once and in order, each
# command answered with completion code 00.
check_flash_trace() {
  local trace=$1 bus=$2 addr=$3 image=$4 count=$5 phase
  od -An -v -tx1 -w1 "$image" | head -n "$count" |
    awk '{ printf "%04X %s\n", NR - 1, toupper($1) }' >"$dir/flash-expected.txt"
  for phase in E0 E1; do
    awk -v bus="$bus" -v addr="$addr" -v phase="$phase" '
      $3 == "vm" && $4 == "request" && $7 == "18" && $8 == "52" && $9 == bus && $10 == addr &&
          $12 == "55" && $13 == "AA" && $14 == phase {
        print $15 $16 " " $17; asked[$6] = 1; next }
      $3 == "vm" && $4 == "response" && ($6 in asked) {
        if ($9 != "00") print "answered " $9 > "/dev/stderr"; delete asked[$6] }
    ' "$trace" >"$dir/flash-$bus-$phase.txt" 2>"$dir/flash-$bus-$phase.errors"
    if ! cmp -s "$dir/flash-expected.txt" "$dir/flash-$bus-$phase.txt"; then
      fail "bus $bus: the $phase commands do not carry the image ($(wc -l <"$dir/flash-$bus-$phase.txt") commands, see flash-$bus-$phase.txt)"
    elif [ -s "$dir/flash-$bus-$phase.errors" ]; then
      fail "bus $bus: $phase commands not accepted (flash-$bus-$phase.errors)"
    else
      rm -f "$dir/flash-$bus-$phase.txt" "$dir/flash-$bus-$phase.errors"
    fi
  done
  rm -f "$dir/flash-expected.txt"
}
