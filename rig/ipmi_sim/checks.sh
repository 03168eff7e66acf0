#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ipmitool (-I lanplus) against OpenIPMI's ipmi_sim with our Master
# Write-Read module, one check per CTest test (CMakeLists.txt):
#
#   checks.sh CHECK
#
# Each check starts its own ipmi_sim (ipmi-sim.sh) on a free port, on the
# machine file QB40_IPMI_MACHINE (default sim/machines/default.json), and
# keeps its files in QB40_CHECK_DIR. What it expects of a device comes from
# the machine file, what it expects of ipmi_sim is what README.md records.
# Environment (set by CTest): QB40_IPMI_MODULE (qb40sim-ipmi.so),
# QB40_UDP_RELAY (qb40-udp-relay), QB40TOOL_SIM, QB40TOOL, QB40_CHECK_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
check=${1:?usage: checks.sh CHECK}
: "${QB40_IPMI_MODULE:?}" "${QB40_CHECK_DIR:?}"
machine=${QB40_IPMI_MACHINE:-$root/sim/machines/default.json}
dir=$QB40_CHECK_DIR
rm -rf "$dir"
mkdir -p "$dir"
bmc=$dir/bmc

fail() {
  echo "FAIL ($check): $*" >&2
  exit 1
}

# ipmi_sim for this check, stopped when the check ends however it ends.
serve() {
  port=$("$here/ipmi-sim.sh" start "$bmc" --module "$QB40_IPMI_MODULE" --machine "$machine" --lifetime 120 "$@")
  trap '"$here/ipmi-sim.sh" stop "$bmc" >/dev/null 2>&1 || true' EXIT
}

# ipmitool with cipher suite 3 as USER (its password file), bounded. It
# waits 5 s before it sends a request again: ipmi_sim would run a request
# sent again (README.md), and on a loaded machine 1 s can pass.
ipmi_as() {
  local user=$1
  shift
  timeout 60 ipmitool -I lanplus -H 127.0.0.1 -p "${to_port:-$port}" -C 3 -U "$user" -f "$bmc/$user.password" \
    -N 5 -R 2 "$@"
}
ipmi() { ipmi_as admin "$@"; }

# What the machine file holds, one line each (its first BMC; devices on the
# buses themselves):
#   controller BUS ADDR CHIP      a QB40xx controller and its chip ID byte
#   eeprom BUS ADDR HEX...        a VPD EEPROM and its contents
#   absent BUS ADDR               an address no device answers on a bus there
#   no-bus BUS                    a bus byte the BMC does not have
machine_facts() {
  python3 - "$machine" <<'EOF'
import json, sys
bmc = json.load(open(sys.argv[1]))["bmcs"][0]
buses = {int(k, 16): v for k, v in bmc.get("buses", {}).items()}
for bus, b in sorted(buses.items()):
    used = set()
    for d in b.get("devices", []):
        addr = int(d["address"], 16)
        used.add(addr)
        if d["type"] == "qb40xx":
            chip = d["chip_id"]
            chip = ord(chip) if isinstance(chip, str) and len(chip) == 1 else int(str(chip), 0)
            print("controller 0x%02x 0x%02x %02x" % (bus, addr, chip))
        elif d["type"] == "eeprom":
            print("eeprom 0x%02x 0x%02x %s" % (bus, addr, d["contents"].lower()))
    free = [a for a in range(0xC0, 0xC8, 2) if a not in used]
    if free and not b.get("bmc_switches_mux") and "same_bus_as" not in b:
        print("absent 0x%02x 0x%02x" % (bus, free[0]))
print("no-bus 0x%02x" % next(x for x in range(0x0F, 0, -1) if x not in buses))
EOF
}

# Bytes FROM to TO (exclusive) of a hex string, as ipmitool prints data:
# " xx" each, sixteen a line.
bytes_as_printed() {
  local hex=$1 from=$2 to=$3
  echo "$hex" | awk -v from="$from" -v to="$to" '{
    line = ""; n = 0
    for (i = from + 1; i <= to; i++) { line = line " " $i; if (++n % 16 == 0) { print line; line = "" } }
    if (line != "" || n == 0) print line }'
}

# The module's trace: requests and answers, "request: 18 52 ..." and
# "response: 1C 52 ...", without times.
module_exchanges() {
  sed -nE 's/^[0-9.]+ bmc0 ipmi_sim (request|response): /\1: /p' "$bmc/trace.txt"
}

expect_equal() {
  local what=$1 want=$2 got=$3
  [ "$want" = "$got" ] || fail "$what: expected [$want], got [$got]"
}

case $check in
  mc-info)
    # Get Device ID over an RMCP+ session, answered by ipmi_sim from the
    # values ipmi-sim.sh gave it; the module is not asked.
    serve
    read -r _ _ id _ rev major minor _ mfg product < <(grep '^mc_add' "$bmc/bmc.emu")
    out=$(ipmi mc info)
    for line in "Device ID : $((id))" "Device Revision : $((rev & 0x0F))" \
      "Firmware Revision : $major.$(printf %02x "$minor")" "IPMI Version : 2.0" \
      "Manufacturer ID : $((mfg))" "Product ID : $((product)) ($(printf 0x%04x "$product"))"; do
      echo "$out" | sed -E 's/ +: /: /; s/ +$//' | grep -qxF "${line/ : /: }" || fail "mc info lacks '$line': $out"
    done
    [ -z "$(module_exchanges)" ] || fail "mc info reached the module"
    ;;

  chip-id)
    # A register pointer write, then a one-byte read: the chip ID the
    # machine file gives each controller.
    serve
    n=0
    while read -r _ bus addr chip; do
      expect_equal "pointer write at $bus $addr" "" "$(ipmi raw 0x06 0x52 "$bus" "$addr" 0x00 0x63)"
      expect_equal "chip ID at $bus $addr" " $chip" "$(ipmi raw 0x06 0x52 "$bus" "$addr" 0x01)"
      n=$((n + 1))
    done < <(machine_facts | grep '^controller')
    [ "$n" -gt 0 ] || fail "the machine file has no controller"
    expect_equal "module exchanges" "$((4 * n))" "$(module_exchanges | wc -l)"
    ;;

  vpd-read)
    # The VPD dump's reads: offset 0 written, then 16 bytes, twice; the
    # second read goes on where the first ended.
    serve
    n=0
    while read -r _ bus addr contents; do
      ipmi raw 0x06 0x52 "$bus" "$addr" 0x00 0x00 >/dev/null
      expect_equal "VPD 0-15 at $bus $addr" "$(bytes_as_printed "$contents" 0 16)" \
        "$(ipmi raw 0x06 0x52 "$bus" "$addr" 0x10)"
      expect_equal "VPD 16-31 at $bus $addr" "$(bytes_as_printed "$contents" 16 32)" \
        "$(ipmi raw 0x06 0x52 "$bus" "$addr" 0x10)"
      n=$((n + 1))
    done < <(machine_facts | grep '^eeprom')
    [ "$n" -gt 0 ] || fail "the machine file has no VPD EEPROM"
    ;;

  long-read)
    # ipmi_sim gives the answer 36 bytes: 35 data bytes are read, 36 are
    # refused with 0xCA before the EEPROM's pointer moves.
    serve
    read -r _ bus addr contents < <(machine_facts | grep -m1 '^eeprom')
    [ "$(echo "$contents" | wc -w)" -ge 51 ] || fail "the first VPD EEPROM holds fewer than 51 bytes"
    ipmi raw 0x06 0x52 "$bus" "$addr" 0x00 0x00 >/dev/null
    expect_equal "35-byte read" "$(bytes_as_printed "$contents" 0 35)" "$(ipmi raw 0x06 0x52 "$bus" "$addr" 35)"
    ipmi raw 0x06 0x52 "$bus" "$addr" 36 >"$dir/out" 2>"$dir/err" && fail "a 36-byte read was answered"
    grep -q 'rsp=0xca' "$dir/err" || fail "a 36-byte read: $(cat "$dir/err")"
    expect_equal "the read after it" "$(bytes_as_printed "$contents" 35 51)" "$(ipmi raw 0x06 0x52 "$bus" "$addr" 16)"
    grep -q 'bmc0 ipmi_sim answer room 36 bytes' "$bmc/trace.txt" || fail "the module saw another answer room"
    ;;

  refusals)
    # An address nobody answers at and a bus the BMC lacks: the completion
    # codes of the simulator's BMC (0x83, 0xCC), as ipmitool reports them.
    serve
    read -r _ bus addr < <(machine_facts | grep -m1 '^absent')
    read -r _ nobus < <(machine_facts | grep '^no-bus')
    ipmi raw 0x06 0x52 "$bus" "$addr" 0x01 >/dev/null 2>"$dir/err" && fail "the absent address answered"
    grep -q 'rsp=0x83)' "$dir/err" || fail "absent address: $(cat "$dir/err")"
    ipmi raw 0x06 0x52 "$nobus" 0xC0 0x01 >/dev/null 2>"$dir/err" && fail "the missing bus answered"
    grep -q 'rsp=0xcc)' "$dir/err" || fail "missing bus: $(cat "$dir/err")"
    expect_equal "module answers" "$(printf 'response: 1C 52 83\nresponse: 1C 52 CC')" \
      "$(module_exchanges | grep '^response')"
    ;;

  agrees-with-simulator)
    # Every Master Write-Read of qb40tool-sim's report run on the machine
    # (-i -vpd: chip IDs, registers, 16-byte VPD reads, 0x83 and 0xCC), sent
    # again by ipmitool over one RMCP+ session: the same answers, and the
    # BMC side of the two traces (requests, answers, LEDs) is the same.
    : "${QB40TOOL_SIM:?}"
    mkdir -p "$dir/sim"
    (cd "$dir/sim" && QB40SIM_MACHINE=$machine QB40SIM_TRACE=$dir/sim-trace.txt timeout 60 "$QB40TOOL_SIM" -i -vpd \
      </dev/null >/dev/null 2>&1) || fail "qb40tool-sim's report run failed"
    sed -nE 's/^[0-9.]+ bmc0 driver request id [0-9]+: 18 52 (.*)$/\1/p' "$dir/sim-trace.txt" |
      awk '{ line = "raw 0x06 0x52"; for (i = 1; i <= NF; i++) line = line " 0x" tolower($i); print line }' \
        >"$dir/requests.txt"
    [ "$(wc -l <"$dir/requests.txt")" -eq "$(grep -c ' bmc0 driver request id ' "$dir/sim-trace.txt")" ] ||
      fail "the simulator's run sent requests other than Master Write-Read"
    serve
    ipmi exec "$dir/requests.txt" >"$dir/answers.txt" 2>"$dir/stderr.txt" || true
    sed -nE 's/^[0-9.]+ bmc0 driver response id [0-9]+: [0-9A-F]{2} 52 (.*)$/\1/p' "$dir/sim-trace.txt" |
      awk '$1 == "00" { line = ""
             for (i = 2; i <= NF; i++) line = line ((i > 2 && (i - 2) % 16 == 0) ? "\n" : "") " " tolower($i)
             print line }' >"$dir/sim-answers.txt"
    diff -u "$dir/sim-answers.txt" "$dir/answers.txt" >&2 || fail "ipmitool's data differ from the simulator's"
    sed -nE 's/^[0-9.]+ bmc0 driver response id [0-9]+: [0-9A-F]{2} 52 ([0-9A-F]{2}).*$/\1/p' "$dir/sim-trace.txt" |
      grep -v '^00$' | tr 'A-F' 'a-f' >"$dir/sim-refusals.txt"
    sed -nE 's/^Unable to send RAW command .* rsp=0x([0-9a-f]+)\).*/\1/p' "$dir/stderr.txt" >"$dir/refusals.txt"
    diff -u "$dir/sim-refusals.txt" "$dir/refusals.txt" >&2 || fail "the completion codes differ from the simulator's"
    if ! grep -qx 83 "$dir/refusals.txt" || ! grep -qx cc "$dir/refusals.txt"; then
      fail "the report no longer meets both a NAK (83) and a refused bus (cc)"
    fi
    bmc_side() {
      sed -nE -e 's/^[0-9.]+ bmc0 (driver|ipmi_sim) (request|response)( id [0-9]+)?: /\2: /p' \
        -e 's/^[0-9.]+ (led bmc0 .*)$/\1/p' "$1"
    }
    bmc_side "$dir/sim-trace.txt" >"$dir/sim-bmc-side.txt"
    bmc_side "$bmc/trace.txt" >"$dir/bmc-side.txt"
    diff -u "$dir/sim-bmc-side.txt" "$dir/bmc-side.txt" >&2 || fail "the BMC sides of the traces differ"
    ;;

  session-info)
    # The sessions as ipmi_sim shows them to their owners.
    serve
    out=$(ipmi session info active)
    for line in "user id : 2" "privilege level : ADMINISTRATOR" "session type : IPMIv2/RMCP+" \
      "channel number : 0x01" "active sessions : 1"; do
      echo "$out" | sed -E 's/ +: / : /; s/ +$//' | grep -qxF "$line" || fail "lacks '$line': $out"
    done
    out=$(ipmi_as operator -L OPERATOR session info active)
    for line in "user id : 3" "privilege level : OPERATOR"; do
      echo "$out" | sed -E 's/ +: / : /; s/ +$//' | grep -qxF "$line" || fail "operator lacks '$line': $out"
    done
    ;;

  operator)
    # Master Write-Read needs operator privilege: the operator user has it,
    # a session at user privilege gets 0xD4 and the module is not asked.
    # ipmi_sim gives the operator user administrator when ipmitool asks for
    # it (its default): it does not hold a session to the user's limit.
    serve
    read -r _ bus addr chip < <(machine_facts | grep -m1 '^controller')
    ipmi_as operator -L OPERATOR raw 0x06 0x52 "$bus" "$addr" 0x00 0x63 >/dev/null
    expect_equal "chip ID as operator" " $chip" "$(ipmi_as operator -L OPERATOR raw 0x06 0x52 "$bus" "$addr" 0x01)"
    ipmi_as operator -L USER raw 0x06 0x52 "$bus" "$addr" 0x01 >/dev/null 2>"$dir/err" &&
      fail "a user-privilege session was answered"
    grep -q 'rsp=0xd4): Insufficient privilege level' "$dir/err" || fail "user privilege: $(cat "$dir/err")"
    expect_equal "module requests" 2 "$(module_exchanges | grep -c '^request')"
    ipmi_as operator session info active | grep -qE '^privilege level +: ADMINISTRATOR$' ||
      fail "ipmi_sim no longer gives the operator user administrator: README.md says it does"
    ;;

  wrong-password)
    # Refused in RAKP: the BMC's RAKP 2 does not match the password; a user
    # it does not know gets "unauthorized name". Nothing reaches the module.
    serve
    echo "not-$(cat "$bmc/admin.password")" >"$dir/wrong.password"
    cmd=(timeout 30 ipmitool -I lanplus -H 127.0.0.1 -p "$port" -C 3 -N 5 -R 2 -vv)
    "${cmd[@]}" -U admin -f "$dir/wrong.password" mc info >"$dir/out" 2>&1 && fail "a wrong password was let in"
    grep -q '^> RAKP 2 HMAC is invalid$' "$dir/out" || fail "wrong password: $(cat "$dir/out")"
    grep -q '^Error: Unable to establish IPMI v2 / RMCP+ session$' "$dir/out" || fail "wrong password: $(cat "$dir/out")"
    "${cmd[@]}" -U nobody -f "$bmc/admin.password" mc info >"$dir/out" 2>&1 && fail "an unknown user was let in"
    grep -q '^RAKP 2 message indicates an error : unauthorized name$' "$dir/out" || fail "unknown user: $(cat "$dir/out")"
    [ -z "$(module_exchanges)" ] || fail "a refused session reached the module"
    ;;

  cipher-17)
    # ipmi_sim has no HMAC-SHA256: Open Session for suite 17 is refused.
    serve
    timeout 30 ipmitool -I lanplus -H 127.0.0.1 -p "$port" -C 17 -U admin -f "$bmc/admin.password" -N 5 -R 2 \
      mc info >"$dir/out" 2>&1 && fail "suite 17 was accepted"
    grep -q '^Error in open session response message : invalid authentication algorithm$' "$dir/out" ||
      fail "suite 17: $(cat "$dir/out")"
    ipmi mc info >/dev/null || fail "suite 3 is refused too"
    ;;

  channel-answers)
    # Get Channel Cipher Suites (in a session, by suite, as many records as
    # the BMC has): suites 0 to 14, suite 3 is RAKP-HMAC-SHA1, HMAC-SHA1-96,
    # AES-CBC-128, and no 17. Get Channel Authentication Capabilities
    # before the session, seen through the relay; inside it, 0xD5.
    serve
    records=""
    for index in $(seq 0 63); do
      chunk=$(ipmi raw 0x06 0x54 0x01 0x00 $((0x80 + index)) | tr -d '\n')
      chunk=${chunk# 01}  # the channel
      [ -n "$chunk" ] || break
      records+=$chunk
    done
    suites=$(echo "$records" | awk '{ for (i = 1; i < NF; i++) if ($i == "c0") print $(i + 1) }' |
      while read -r id; do printf '%d ' "0x$id"; done)
    expect_equal "cipher suites" "$(seq -s ' ' 0 14) " "$suites"
    echo "$records" | grep -q ' c0 03 01 41 81' || fail "suite 3 is not HMAC-SHA1, HMAC-SHA1-96, AES-CBC-128: $records"
    ipmi channel authcap 1 4 >/dev/null 2>"$dir/err" && fail "Get Channel Authentication Capabilities answered in a session"
    grep -q 'Command not supported in present state' "$dir/err" || fail "authcap in a session: $(cat "$dir/err")"
    : "${QB40_UDP_RELAY:?}"
    "$QB40_UDP_RELAY" --to "$port" --port-file "$dir/relay.port" --log "$dir/relay.log" --seconds 30 &
    relay=$!
    for _ in $(seq 50); do [ -s "$dir/relay.port" ] && break; sleep 0.1; done
    to_port=$(cat "$dir/relay.port") ipmi raw 0x06 0x01 >/dev/null
    kill "$relay"
    wait "$relay" || true
    # The answer to ipmitool's first datagram (IPMI v2.0 form, administrator):
    # header, completion code 00, channel 01, MD5 and "v2.0 data", 04, both
    # IPMI versions, no OEM.
    answer=$(sed -nE 's/^bmc 1 .* clear (.*)$/\1/p' "$dir/relay.log" | cut -d' ' -f7-15)
    expect_equal "Get Channel Authentication Capabilities" "00 01 84 04 03 00 00 00 00" "$answer"
    ;;

  idle-timeout)
    # A session idle for longer than the timeout is closed by the BMC: its
    # next request gets no answer, and another session sees it gone.
    # 4 s: long enough that a loaded machine's slow ipmitool start does
    # not idle the session out before its first request.
    serve --session-timeout 4
    read -r _ bus addr chip < <(machine_facts | grep -m1 '^controller')
    rm -f "$dir/fifo"
    mkfifo "$dir/fifo"
    # ipmitool takes its time to give up a session the BMC has closed: the
    # check does not wait for it.
    timeout 40 ipmitool -I lanplus -H 127.0.0.1 -p "$port" -C 3 -U admin -f "$bmc/admin.password" -N 3 -R 2 \
      shell <"$dir/fifo" >"$dir/shell.txt" 2>&1 &
    shell=$!
    exec 3>"$dir/fifo"
    echo "raw 0x06 0x52 $bus $addr 0x00 0x63" >&3
    sleep 1
    sessions() { ipmi session info active | sed -nE 's/^active sessions +: //p'; }
    expect_equal "sessions while the first is 1 s idle" 2 "$(sessions)"
    echo "raw 0x06 0x52 $bus $addr 0x01" >&3
    sleep 7
    expect_equal "sessions after 7 s idle" 1 "$(sessions)"
    echo "raw 0x06 0x52 $bus $addr 0x01" >&3
    for _ in $(seq 200); do grep -q '^Unable to send RAW' "$dir/shell.txt" && break; sleep 0.1; done
    exec 3>&-
    kill "$shell" 2>/dev/null || true
    wait "$shell" || true
    grep -qx " $chip" "$dir/shell.txt" || fail "the read before the timeout: $(cat "$dir/shell.txt")"
    grep -qx 'Unable to send RAW command (channel=0x0 netfn=0x6 lun=0x0 cmd=0x52)' "$dir/shell.txt" ||
      fail "the read after the timeout: $(cat "$dir/shell.txt")"
    expect_equal "module requests" 2 "$(module_exchanges | grep -c '^request')"
    ;;

  duplicate-and-replay)
    # ipmi_sim takes a datagram again while its sequence number is within
    # 16 of the highest it has seen: a duplicated read runs twice, a pointer
    # write replayed 16 datagrams later runs again; 17 later it is dropped.
    : "${QB40_UDP_RELAY:?}"
    read -r _ bus addr chip < <(machine_facts | grep -m1 '^controller')
    { echo "raw 0x06 0x52 $bus $addr 0x00 0x63"; for _ in $(seq 20); do echo "raw 0x06 0x52 $bus $addr 0x01"; done; } \
      >"$dir/requests.txt"
    run() {  # NAME [RELAY OPTION...]: the answers, and the module's trace in DIR/NAME.*
      local name=$1
      shift
      serve
      rm -f "$dir/relay.port"
      "$QB40_UDP_RELAY" --to "$port" --port-file "$dir/relay.port" --log "$dir/$name.relay" --seconds 60 "$@" &
      local relay=$!
      for _ in $(seq 50); do [ -s "$dir/relay.port" ] && break; sleep 0.1; done
      to_port=$(cat "$dir/relay.port") ipmi exec "$dir/requests.txt" >"$dir/$name.answers" 2>"$dir/$name.err" || true
      # The same session once more, told step by step: which datagram is which.
      [ "$name" != clean ] || to_port=$(cat "$dir/relay.port") ipmi -vv exec "$dir/requests.txt" >"$dir/$name.vv" 2>&1 ||
        true
      kill "$relay"
      wait "$relay" || true
      module_exchanges | grep '^request' >"$dir/$name.requests"
      "$here/ipmi-sim.sh" stop "$bmc" >/dev/null
      trap - EXIT
    }
    run clean
    # The pointer write's datagram: the BMC's first answer is to the first
    # datagram, then Open Session, RAKP 1 and 3, then one per command sent.
    write=$(awk '/^>> SENDING A/ || /^>> Sending IPMI command payload/ { n++ }
                 /^>>    command : 0x52/ { print n; exit }' "$dir/clean.vv")
    [ -n "$write" ] || fail "no Master Write-Read in ipmitool's log"
    expect_equal "reads without the relay's doing (two sessions)" 40 "$(grep -c 'C0 01$' "$dir/clean.requests")"
    # The first session's answers: from 1 up, one each.
    seqs=$(sed -nE 's/^bmc [0-9]+ .* payload 0x00 enc auth sid 0x[0-9A-F]+ seq ([0-9]+)$/\1/p' "$dir/clean.relay" |
      awk '$1 == 1 { n++ } n == 1' | tr '\n' ' ')
    expect_equal "the BMC's sequence numbers" "$(seq -s ' ' 1 $((write + 17))) " "$seqs"
    first=$(sed -n 2p "$dir/clean.answers")
    expect_equal "the first read" " $chip" "$first"

    run duplicate --duplicate $((write + 1))
    expect_equal "reads run, one duplicated" 21 "$(grep -c 'C0 01$' "$dir/duplicate.requests")"
    [ "$(sed -n 3p "$dir/duplicate.answers")" = "$(sed -n 4p "$dir/clean.answers")" ] ||
      fail "the duplicate did not move the pointer on: $(tr '\n' ' ' <"$dir/duplicate.answers")"

    run replay-16 --replay "$write:$((write + 16))"
    expect_equal "pointer writes run, one replayed 16 later" 2 "$(grep -c '00 63$' "$dir/replay-16.requests")"
    # The client's 17th read, the one answered after the replay: the chip ID again.
    expect_equal "the read after the replayed write" " $chip" "$(sed -n 18p "$dir/replay-16.answers")"
    run replay-17 --replay "$write:$((write + 17))"
    expect_equal "pointer writes run, one replayed 17 later" 1 "$(grep -c '00 63$' "$dir/replay-17.requests")"
    cmp -s "$dir/clean.answers" "$dir/replay-17.answers" || fail "a dropped replay changed an answer"
    ;;

  real-tool-loss)
    # The real qb40tool (cipher suite 3) through the relay, a VPD run: one
    # datagram lost by rule (the answers of a pointer write, of the register
    # read after it, of Open Session, of RAKP 3 (ipmi_sim answers RAKP 3
    # sent again inside the session), of Close Session) and 5% lost at
    # random in both directions. Each run's console and exit status, once
    # the road's own lines are set aside, equal the loss-free run's; a
    # random loss may instead end the run with its clear failure, after the
    # same lines. The
    # read's lost answer is the case a plain sending again gets wrong
    # (ipmi_sim runs it twice: the pointer moves on, "73 00" for "40 73").
    : "${QB40TOOL:?}" "${QB40_UDP_RELAY:?}"
    real() {  # NAME [RELAY OPTION...]: DIR/NAME/ holds the run, .relay and .requests beside it
      local name=$1
      shift
      serve
      rm -f "$dir/relay.port"
      "$QB40_UDP_RELAY" --to "$port" --port-file "$dir/relay.port" --log "$dir/$name.relay" --seconds 60 "$@" &
      local relay=$!
      for _ in $(seq 50); do [ -s "$dir/relay.port" ] && break; sleep 0.1; done
      mkdir -p "$dir/$name"
      set +e
      (cd "$dir/$name" && timeout 60 "$QB40TOOL" --lan "127.0.0.1:$(cat "$dir/relay.port")" --lan-user admin \
        --lan-password-file "$bmc/admin.password" --lan-cipher 3 --lan-timeout 150 -vpd </dev/null >out.txt 2>err.txt)
      echo $? >"$dir/$name/status"
      set -e
      kill "$relay"
      wait "$relay" || true
      module_exchanges | { grep '^request' || true; } >"$dir/$name.requests"
      "$here/ipmi-sim.sh" stop "$bmc" >/dev/null
      trap - EXIT
      sed -E '/^Selected --lan/d; /^Opened an RMCP\+ session/d; /^LAN: /d; s/^(Started|Finished): .*/\1:/' \
        "$dir/$name/out.txt" >"$dir/$name/console.txt"
      ! grep -qF "$(cat "$bmc/admin.password")" "$dir/$name"/*.txt "$dir/$name.relay" || fail "$name: the password shows"
    }
    same_as_clean() {  # NAME
      expect_equal "$1: exit status" "$(cat "$dir/clean/status")" "$(cat "$dir/$1/status")"
      diff -u "$dir/clean/console.txt" "$dir/$1/console.txt" >&2 || fail "$1: the console differs from the loss-free run's"
    }
    # Returns 1 when the run failed (clearly: a failure line, a status that
    # is not 0, the loss-free run's lines before it), 0 when it is the same.
    same_or_clear_failure() {  # NAME
      cmp -s "$dir/clean/console.txt" "$dir/$1/console.txt" && same_as_clean "$1" && return 0
      local failed
      failed=$(grep -n -m1 -e '^ERROR: The BMC at' -e '^ERROR: No session with the BMC' "$dir/$1/console.txt" |
        cut -d: -f1)
      [ -n "$failed" ] || { same_as_clean "$1"; fail "$1: differs, says no failure"; }
      [ "$(cat "$dir/$1/status")" != 0 ] || fail "$1: failed with exit status 0"
      cmp -s <(head -n $((failed - 1)) "$dir/clean/console.txt") <(head -n $((failed - 1)) "$dir/$1/console.txt") ||
        fail "$1: the lines before its failure differ from the loss-free run's"
      return 1
    }
    real clean
    expect_equal "loss-free exit status" 0 "$(cat "$dir/clean/status")"
    # The BMC's session answers: to Set Session Privilege Level, then one
    # per Master Write-Read the module took, then to Close Session.
    pointer=$(grep -n -m1 ' 00 63$' "$dir/clean.requests" | cut -d: -f1)
    [ -n "$pointer" ] || fail "no chip ID read in the loss-free run"
    answers=$(grep -c '^bmc .* payload 0x00 enc auth ' "$dir/clean.relay")
    expect_equal "session answers" "$(($(wc -l <"$dir/clean.requests") + 2))" "$answers"
    pointers=$(grep -c ' 00 63$' "$dir/clean.requests")
    for rule in "pointer-answer bmc:session:$((pointer + 1))" "read-answer bmc:session:$((pointer + 2))" \
      "open-answer bmc:open:1" "rakp3-answer bmc:rakp4:1" "close-answer bmc:session:$answers" \
      "loss-1 --loss 5 --seed 1" "loss-2 --loss 5 --seed 2"; do
      set -- $rule
      name=$1
      shift
      [ "$1" = --loss ] || set -- --drop "$1"
      real "$name" "$@"
      [ "$(grep -c ' dropped ' "$dir/$name.relay")" -gt 0 ] || fail "$name: nothing was lost"
      # One datagram lost by rule changes nothing; at random, a run may end
      # with its clear failure instead.
      case $name in
        loss-*) ;;
        *) same_as_clean "$name" ;;
      esac
      if same_or_clear_failure "$name"; then
        case $name in
          # What the lost answer belonged to was redone: the pointer written once more.
          pointer-answer | read-answer)
            expect_equal "$name: chip ID pointer writes" $((pointers + 1)) "$(grep -c ' 00 63$' "$dir/$name.requests")" ;;
        esac
      fi
      echo "$name: exit status $(cat "$dir/$name/status"), $(grep -c ' dropped ' "$dir/$name.relay") datagrams lost"
    done
    ;;

  *) fail "no such check" ;;
esac
echo "PASS ($check)"
