#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# OpenIPMI's ipmi_sim as a LAN BMC on loopback, with our module answering
# Master Write-Read from a machine file's BMC (README.md beside this file).
#
#   ipmi-sim.sh install
#       installs ipmi_sim (Debian openipmi) and ipmitool if missing.
#   ipmi-sim.sh start DIR --module FILE.so --machine FILE [--bmc N]
#                   [--session-timeout S] [--lifetime S] [--wait S]
#       writes the configuration into DIR (made if missing) and starts
#       ipmi_sim on 127.0.0.1 at a free UDP port; prints the port once the
#       BMC is ready (at most --wait seconds, default 10). ipmi_sim ends by
#       itself after --lifetime seconds (default 600) if nobody stops it.
#   ipmi-sim.sh stop DIR
#       stops it (SIGTERM, then SIGKILL after 5 s); ends 1 if it was gone.
#
# What DIR holds: lan.conf and bmc.emu (the configuration), port, pid,
# ipmi_sim.log (its standard output and error), trace.txt (the module's
# trace: every Master Write-Read with its answer, and the devices), and a
# password file per user, mode 0600, with a password made at start:
#   admin.password     user "admin", ID 2, administrator
#   operator.password  user "operator", ID 3, operator
# LAN channel 1 offers the RMCP+ cipher suites ipmi_sim has (0 to 14, so 3,
# not 17); sessions idle for --session-timeout seconds are closed (ipmi_sim's
# default: 30). The Get Device ID answer is set here: the values in bmc.emu.
# No root needed (but for install), no standard input, no fixed port.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

die() {
  echo "ipmi-sim.sh: $*" >&2
  exit 1
}

install_packages() {
  local missing=()
  command -v ipmi_sim >/dev/null || missing+=(openipmi)
  command -v ipmitool >/dev/null || missing+=(ipmitool)
  if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || die "needs ${missing[*]} (Debian packages): run as root to install them"
    "$root/scripts/deps.sh" --no-tests "${missing[@]}"
  fi
}

# A password ipmi_sim takes in a quoted word (it keeps 19 characters of one).
# 16 hexadecimal digits.
new_password() {
  od -An -N8 -tx1 /dev/urandom | tr -d ' \n'
}

start() {
  local dir=$1
  shift
  local module="" machine="" bmc=0 session_timeout=0 lifetime=600 wait=10
  while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || die "missing value after $1"
    case $1 in
      --module) module=$2 ;;
      --machine) machine=$2 ;;
      --bmc) bmc=$2 ;;
      --session-timeout) session_timeout=$2 ;;
      --lifetime) lifetime=$2 ;;
      --wait) wait=$2 ;;
      *) die "unknown option $1" ;;
    esac
    shift 2
  done
  [[ $bmc =~ ^[0-9]+$ && $session_timeout =~ ^[0-9]+$ && $lifetime =~ ^[0-9]+$ && $wait =~ ^[0-9]+$ ]] ||
    die "--bmc, --session-timeout, --lifetime and --wait take whole numbers"
  [ -f "$module" ] || die "no module: --module FILE.so (the build's qb40sim-ipmi.so)"
  [ -f "$machine" ] || die "no machine file: --machine FILE"
  command -v ipmi_sim >/dev/null || die "ipmi_sim is not installed (Debian openipmi): ipmi-sim.sh install"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  module=$(cd "$(dirname "$module")" && pwd)/$(basename "$module")
  machine=$(cd "$(dirname "$machine")" && pwd)/$(basename "$machine")
  # ipmi_sim's configuration reads quoted words without escapes.
  case "$dir$module$machine" in *[[:space:]\"\']*) die "paths with blanks or quotes cannot go into lan.conf" ;; esac
  if [ -f "$dir/pid" ] && running "$(cat "$dir/pid")"; then
    die "an ipmi_sim already runs for $dir"
  fi
  rm -f "$dir/port" "$dir/pid" "$dir/trace.txt"
  mkdir -p "$dir/state"

  (umask 077 && new_password >"$dir/admin.password" && new_password >"$dir/operator.password")
  local guid
  guid=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  local options="machine=$machine bmc=$bmc trace=$dir/trace.txt port_file=$dir/port"
  [ "$session_timeout" -gt 0 ] && options+=" session_timeout=$session_timeout"
  (umask 077 && cat >"$dir/lan.conf" <<EOF
# Written by rig/ipmi_sim/ipmi-sim.sh.
name "qb40sim"
set_working_mc 0x20
  startlan 1
    addr 127.0.0.1 0
    priv_limit admin
    allowed_auths_callback md5
    allowed_auths_user md5
    allowed_auths_operator md5
    allowed_auths_admin md5
    guid $guid
  endlan
  user 2 true "admin" "$(cat "$dir/admin.password")" admin 4 md5
  user 3 true "operator" "$(cat "$dir/operator.password")" operator 4 md5
loadlib "$module" "$options"
EOF
  )
  cat >"$dir/bmc.emu" <<'EOF'
# Written by rig/ipmi_sim/ipmi-sim.sh: the BMC at 0x20 (Get Device ID:
# device 0x00, revision 3, firmware 9.08, IPMI 2.0 device support 0x9f,
# manufacturer 0x1291, product 0x0f02).
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02
mc_enable 0x20
EOF

  # -n: no console on standard input; -p: nothing kept in the state
  # directory between runs. timeout ends a forgotten one.
  timeout --signal=TERM --kill-after=5 "$lifetime" \
    ipmi_sim -n -p -c "$dir/lan.conf" -f "$dir/bmc.emu" -s "$dir/state" \
    </dev/null >"$dir/ipmi_sim.log" 2>&1 &
  echo $! >"$dir/pid"
  local tries=$((wait * 20))
  while [ ! -s "$dir/port" ]; do
    if ! running "$(cat "$dir/pid")" || [ "$tries" -le 0 ]; then
      stop "$dir" >/dev/null 2>&1 || true
      echo "ipmi-sim.sh: ipmi_sim did not come up in $wait s; its output:" >&2
      cat "$dir/ipmi_sim.log" >&2
      exit 1
    fi
    sleep 0.05
    tries=$((tries - 1))
  done
  cat "$dir/port"
}

# A process that has ended but waits to be reaped by whoever inherited it
# is gone too.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

stop() {
  local dir=$1
  [ -f "$dir/pid" ] || die "no pid file in $dir"
  local pid
  pid=$(cat "$dir/pid")
  rm -f "$dir/pid"
  running "$pid" || return 1
  kill -TERM "$pid" 2>/dev/null || return 1
  for _ in $(seq 100); do
    running "$pid" || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  die "ipmi_sim did not end at SIGTERM within 5 s: killed"
}

case ${1:-} in
  install) install_packages ;;
  start)
    [ $# -ge 2 ] || die "start DIR --module FILE.so --machine FILE"
    shift
    start "$@"
    ;;
  stop)
    [ $# -eq 2 ] || die "stop DIR"
    stop "$2"
    ;;
  *) die "usage: ipmi-sim.sh install | start DIR --module FILE.so --machine FILE [...] | stop DIR" ;;
esac
