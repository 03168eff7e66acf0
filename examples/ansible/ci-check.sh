#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: the fleet collection (collection/) as an operator runs it: built with
# ansible-galaxy, installed from the tarball into a scratch collections
# path, ansible-lint (production profile) on it and on the inventory
# example, the installed plugins' unit tests, then its playbook run from
# the installed collection against fourteen servers on this machine (local
# connection), each a qb40tool-sim run on a machine file of its own that
# remembers what every run left (ci/sim-server), with its own working
# directory, lock and shell:
#
#   n01..n04, hang, lost, wrongsha   one QB4077 on 1.0.0 and one on 1.2.0
#             (n03's upgrade is three seconds slower)
#   n05       two BMCs, one QB4077 on 1.0.0 behind each
#   n06       both QB4077s already on 1.2.0
#   other     a QB4077 and a QB4080, and the one QB4077 image of the others
#   mixed     a QB4077 on bus 1, two QB4080s on buses 2 and 3, and the
#             QB4080 image beside the others' QB4077 one
#   failing   two QB4077 on 1.0.0; the second comes back on 1.0.0 (4)
#   wrongsha  pins a well-formed digest that is not the image's, and
#             expects no number of controllers
#   hang      its tool ignores SIGTERM in an upgrade (2 s bound, 3 s grace)
#   lost      drops off the network as its upgrade begins
#   down      unreachable from the start
#   canary    the group canary, last in the inventory
#
# Each case (the table at the end) proves one failure path or promise of a
# rollout, numbered: 1 a server lost mid-batch, 2 the time bound, 3 the
# whole-fleet plan, 4 the strategy, 5 the logs of a failed batch, 6 the
# inputs, 7 the defaults and shape (families, records, tags), 8 the canary
# (none, or a few servers), 9 a batch goes at once, 10 the README's walk
# for a new user on the example inventory (ci/sim-fleet: relative image
# paths, the canary first, changed=0 again, --tags summary and fetch), 11
# the round trips a server costs (timing.sh measures the time), 12 out of
# band: twelve BMCs reached from this machine (case_oob). The check runs
# them all and fails if one fails.
#
#   QB40_FLEET_PLAYBOOK=PATH  the cases against another playbook (such as an
#                             earlier version's upgrade.yml) instead of the
#                             collection, without lint or build
#   QB40_FLEET_COLLECTION=DIR the cases against another collection source
#                             (such as an earlier version's), built and linted
#   QB40_FLEET_CASES="a b"    only those cases (while working on them)
#   QB40_FLEET_KEEP=1         keeps the work directory for a look afterwards
# Installs ansible-core and ansible-lint through scripts/deps.sh if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
scripts/deps.sh --no-tests ansible-core ansible-lint
# The test command's build when there is one; else one without the tests.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim qb40tool qb40sim-bmc >/dev/null
root=$PWD
collection=${QB40_FLEET_COLLECTION:-$root/examples/ansible/collection}

work=$(mktemp -d)
cleanup() {
  # A hung run that an earlier playbook left behind is this check's own.
  for pid in "$work"/*/pid; do
    [ -f "$pid" ] && kill -9 "$(cat "$pid")" 2>/dev/null || true
  done
  stop_bmcs
  rm -rf "$work"
}
# The simulated BMCs of the out-of-band run end with the check, kept or not.
stop_bmcs() {
  for pid in "$work"/oob/*/server.pid; do
    [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true
  done
}
trap cleanup EXIT
[ -z "${QB40_FLEET_KEEP:-}" ] || trap 'stop_bmcs; echo "fleet check: work directory $work"' EXIT
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=10 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_RETRY_FILES_ENABLED=false
export ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_HOST_KEY_CHECKING=false

playbook=${QB40_FLEET_PLAYBOOK:-}
if [ -z "$playbook" ]; then
  ansible-galaxy collection build "$collection" --output-path "$work" >"$work/build.txt"
  ansible-galaxy collection install -p "$work/collections" "$work"/qb40tool-fleet-*.tar.gz >"$work/install.txt"
  # Linted with the installed copy in sight, through a path that ends in
  # ansible_collections: the one form in which ansible-lint's own templating
  # finds the collection's filters.
  for dir in "$collection" "$collection/.."; do
    # The collection, then the inventory example beside it.
    (cd "$dir" && ANSIBLE_COLLECTIONS_PATH=$work/collections/ansible_collections \
      ansible-lint --offline --nocolor --profile production $([ "$dir" = "$collection" ] || echo inventory.example.yml)) \
      >"$work/lint.txt" 2>&1 || {
      cat "$work/lint.txt"
      echo "fleet check: FAIL: ansible-lint in $dir"
      exit 1
    }
    lint="${lint:+$lint; }$(tail -n 1 "$work/lint.txt")"
  done
  # The unit tests of the installed copy: what the tarball holds is tested,
  # by the Python Ansible runs on, its collection loader set up before the
  # first import of the collection (as ansible-playbook has it).
  read -ra ansible_python < <(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")
  "${ansible_python[@]}" -c 'import sys, unittest, ansible.plugins.loader
unittest.main(module=None, argv=["unittest", "discover", "-s", sys.argv[1], "-t", sys.argv[2]])' \
    "$work/collections/ansible_collections/qb40tool/fleet/tests/unit" "$work/collections" >"$work/unit.txt" 2>&1 || {
    cat "$work/unit.txt"
    echo "fleet check: FAIL: the plugins' unit tests"
    exit 1
  }
  unit=$(grep "^Ran " "$work/unit.txt")
  playbook=qb40tool.fleet.upgrade
fi
setup_seconds=$((SECONDS - start))

# A machine of QB40xx controllers at 0xC0: one BMC:BUS:CHIP:VERSION each.
machine() {
  python3 - "$@" <<'PYTHON'
import json, sys
bmcs = []
for entry in sys.argv[1:]:
    bmc, bus, chip, fw = entry.split(":")
    while len(bmcs) <= int(bmc):
        bmcs.append({"node": f"/dev/ipmi{len(bmcs)}", "buses": {}})
    bmcs[int(bmc)]["buses"][bus] = {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": int(chip),
                                                 "firmware": [int(x) for x in fw.split(".")]}]}
print(json.dumps({"clock": {"start": 1700000000}, "bmcs": bmcs}))
PYTHON
}
hosts=(n01 other n02 lost n03 n04 n05 failing n06 mixed wrongsha hang down canary)
image=$root/sim/images/fw_4077.bin
digest=$(sha256sum "$image" | cut -c1-64)
sim/images/make-image.sh "$work/fw_4080.bin" 4096 1 3 0
digest80=$(sha256sum "$work/fw_4080.bin" | cut -c1-64)
{
  cat <<INVENTORY
backplanes:
  vars:
    ansible_connection: local
    ansible_python_interpreter: auto_silent
    qb40tool_upgrade_tool: $root/examples/ansible/ci/sim-server
    qb40tool_upgrade_image: $image
    qb40tool_upgrade_image_sha256: $digest
    qb40tool_upgrade_expect: 2
    qb40tool_upgrade_timeout: 120
    qb40tool_upgrade_poll: 1
  hosts:
INVENTORY
  for h in "${hosts[@]}"; do
    mkdir -p "$work/$h"
    case $h in
      failing) cp sim/machines/fleet_failing.json "$work/$h/machine.json" ;;
      n05) machine 0:0x01:77:1.0.0 1:0x03:77:1.0.0 >"$work/$h/machine.json" ;;
      n06) machine 0:0x01:77:1.2.0 0:0x02:77:1.2.0 >"$work/$h/machine.json" ;;
      other) machine 0:0x01:77:1.0.0 0:0x02:80:1.0.0 >"$work/$h/machine.json" ;;
      mixed) machine 0:0x01:77:1.0.0 0:0x02:80:1.0.0 0:0x03:80:1.0.0 >"$work/$h/machine.json" ;;
      *) cp sim/machines/fleet_healthy.json "$work/$h/machine.json" ;;
    esac
    cp "$work/$h/machine.json" "$work/$h/machine.start.json"
    # The host's shell: once its flag exists, it refuses what begins every
    # task on a host, the task's remote temporary directory, as a host that
    # went away does (Ansible: unreachable); a task already begun ends.
    # Every command it is given is noted in commands.txt, with its time.
    cat >"$work/$h/shell" <<SHELL
#!/bin/sh
case "\$*" in *mkdir*ansible-tmp-*) [ -e $work/$h/unreachable ] && exit 1 ;; esac
printf '%s %.200s\\n' "\$(date +%s.%N)" "\$(printf '%s' "\$*" | tr '\\n' ' ')" >>$work/$h/commands.txt
exec /bin/sh "\$@"
SHELL
    chmod +x "$work/$h/shell"
    cat <<HOST
    $h:
      ansible_shell_executable: $work/$h/shell
      qb40tool_upgrade_workdir: $work/$h/work
      qb40tool_upgrade_lock_file: $work/$h/qb40tool.lock
      qb40tool_upgrade_environment:
        QB40SIM_TOOL: $root/build/qb40tool-sim
        QB40SIM_STATE: $work/$h/machine.json
        QB40SIM_TRACES: $work/$h/traces.txt
        QB40SIM_RUNS: $work/$h/runs.txt
HOST
    case $h in
      lost) printf '        QB40SIM_LOST_ON: --strict\n        QB40SIM_LOST_FLAG: %s\n' "$work/$h/unreachable" ;;
      n03) printf '        QB40SIM_SLOW_ON: --strict\n' ;;
      hang)
        printf '        QB40SIM_HANG_ON: --strict\n        QB40SIM_PID: %s\n' "$work/$h/pid"
        printf '      qb40tool_upgrade_timeout: 2\n      qb40tool_upgrade_stop_grace: 3\n'
        ;;
      wrongsha) printf '      qb40tool_upgrade_image_sha256: "%064d"\n      qb40tool_upgrade_expect: null\n' 0 ;;
      mixed)
        cat <<MIXED
      qb40tool_upgrade_expect: 3
      qb40tool_upgrade_images:
        "4080": {image: $work/fw_4080.bin, sha256: $digest80}
MIXED
        ;;
    esac
  done
  printf 'canary:\n  hosts:\n    canary:\n'
} >"$work/inventory.yml"

# reset HOST...: the servers as they were at the start, reachable.
reset() {
  for h in "$@"; do
    cp "$work/$h/machine.start.json" "$work/$h/machine.json"
    rm -rf "$work/$h/work" "$work/$h/traces.txt" "$work/$h/runs.txt" "$work/$h/unreachable" "$work/$h/pid" \
      "$work/$h/commands.txt"
  done
  touch "$work/down/unreachable"
}
reset "${hosts[@]}"

# play NAME [ansible-playbook arguments]: runs the playbook with the reports
# in reports/NAME, its output in NAME.txt; prints its exit status.
play() {
  local name=$1 status=0
  shift
  echo "ansible-playbook -i inventory.yml $playbook $*" >"$work/$name.args"
  ansible-playbook -i "$work/inventory.yml" "$playbook" -e "qb40tool_upgrade_reports_dir=$work/reports/$name" \
    "$@" </dev/null >"$work/$name.txt" 2>&1 || status=$?
  echo "$status"
}
# The directory of a run's reports (the collection's: one per run; an
# earlier role's: the reports directory itself).
run_dir() {
  local d
  d=$(find "$work/reports/$1" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | sort | tail -n 1)
  echo "${d:-$work/reports/$1}"
}
# status NAME HOST: the host's status in the run's summary.json.
status() {
  python3 -c 'import json, sys
try:
    s = json.load(open(sys.argv[1]))
except OSError:
    sys.exit(print("(no summary.json)"))
print(*[r["status"] for r in s["servers"] if r["host"] == sys.argv[2]] or ["absent"])' \
    "$(run_dir "$1")/summary.json" "$2"
}
meaning() {
  python3 -c 'import json, sys
s = json.load(open(sys.argv[1]))
print(*[r["meaning"] for r in s["servers"] if r["host"] == sys.argv[2]])' "$(run_dir "$1")/summary.json" "$2"
}
# The hosts of a playbook output's recap, with their changed count: "canary 1".
changed_counts() {
  sed -nE 's/^([a-z0-9]+) +: ok=[0-9]+ +changed=([0-9]+) .*/\1 \2/p' "$work/$1.txt" | sort
}
# The versions a server's controllers run, in machine file order: "1.2.0 1.0.0";
# firmware HOST start: those it began with.
firmware() {
  python3 -c 'import json, sys
m = json.load(open(sys.argv[1]))
print(" ".join(".".join(map(str, d["firmware"])) for b in m["bmcs"] for bus in sorted(b["buses"])
               for d in b["buses"][bus]["devices"]))' "$work/$1/machine${2:+.$2}.json"
}
flashed() { [ -f "$work/$1/traces.txt" ] && grep -q ' flash ' "$work/$1/traces.txt"; }
# A request that writes more than a register's number (or a mux's channels),
# or an LED that changed.
wrote() { [ -f "$work/$1/traces.txt" ] && grep -qE ' request id [0-9]+:( [0-9A-F]{2}){7}| led ' "$work/$1/traces.txt"; }
touched() { [ -e "$work/$1/runs.txt" ] || [ -e "$work/$1/work" ]; }
# The hosts of the first batch of the upgrade play, as its tasks list them:
# first_batch NAME for a play's output, first_batch_of FILE.
first_batch_of() {
  awk '/^PLAY \[Upgrade/ { n++ } n == 1 && /^(ok|changed|skipping|fatal): \[/ { print }' "$1" |
    sed -nE 's/^[a-z]+: \[([a-z0-9.-]+)[] ].*/\1/p' | sort -u | tr '\n' ' '
}
first_batch() { first_batch_of "$work/$1.txt"; }

# Each case: a function that returns non-zero with a reason in $why.
why=""
no() {
  why=$*
  return 1
}

case_inputs() {
  local bad
  for bad in 'qb40tool_upgrade_image_sha256=not-a-digest' '{"qb40tool_upgrade_batches": [0]}' \
    "qb40tool_upgrade_image=$work/nothere_4077.bin" qb40tool_upgrade_canary=backplanes \
    '{"qb40tool_upgrade_canary": ["n01", "n02"]}'; do
    reset "${hosts[@]}"
    [ "$(play inputs -e "$bad")" != 0 ] || no "a run with $bad ended with 0" || return
    for h in "${hosts[@]}"; do
      ! touched "$h" || no "a run with $bad touched $h" || return
    done
    case $bad in
      *not-a-digest) grep -q "'not-a-digest' is not 64 hexadecimal digits" "$work/inputs.txt" ;;
      *batches*) grep -q 'qb40tool_upgrade_batches: 0 is neither' "$work/inputs.txt" ;;
      *=backplanes) grep -q "qb40tool_upgrade_canary names every server (${#hosts[@]})" "$work/inputs.txt" ;;
      *canary*) grep -q 'qb40tool_upgrade_canary names 2 servers (n01, n02), more than the first batch after it holds (1' \
        "$work/inputs.txt" ;;
      *) grep -q "image $work/nothere_4077.bin: no such file on the control node" "$work/inputs.txt" ;;
    esac || no "the failure of the run with $bad does not name the bad value" || return
  done
}

# The plans' temporary directories on the servers (this machine's /tmp).
plan_dirs() { find /tmp -maxdepth 1 -name 'qb40tool-plan.*' | sort; }

case_plan() {
  local h s
  local -A want=([n01]=planned [other]=refused [n02]=planned [lost]=planned [n03]=planned [n04]=planned
    [n05]=planned [n06]=unchanged [mixed]=planned [wrongsha]=refused [failing]=planned [hang]=planned
    [down]=unreachable [canary]=planned)
  reset "${hosts[@]}"
  plan_dirs >"$work/tmp.before"
  s=$(play plan --check --diff)
  for h in "${hosts[@]}"; do
    [ "$h" = down ] || grep -q '"--plan"' "$work/$h/runs.txt" 2>/dev/null || no "$h was never planned" || return
  done
  for h in "${hosts[@]}"; do
    ! flashed "$h" || no "the plan sent a flash command to $h" || return
    ! wrote "$h" || no "the plan wrote a register of $h" || return
    [ ! -e "$work/$h/work" ] || no "the plan left a working directory on $h" || return
    [ "$(status plan "$h")" = "${want[$h]}" ] || no "$h is $(status plan "$h") in the plan, not ${want[$h]}" || return
  done
  [ "$s" = 2 ] || no "the plan with refused servers ended with $s, not 2" || return
  grep -q '"--expect", "2"' "$work/n01/runs.txt" && ! grep -q -- '--expect' "$work/wrongsha/runs.txt" ||
    no "qb40tool_upgrade_expect did not reach the command line as it should" || return
  [ "$(grep -c '^PLAY \[Plan every server' "$work/plan.txt")" = 1 ] || no "the plan ran in batches" || return
  plan_dirs | cmp -s "$work/tmp.before" - ||
    no "the plan left a temporary directory" || return
  [[ "$(meaning plan other)" == "QB4080 at BMC 0 bus 0x02 address 0xC0: another family"* ]] ||
    no "other's refusal says: $(meaning plan other)" || return
  [[ "$(meaning plan wrongsha)" == "image fw_4077.bin has SHA-256 $digest, not 0000"* ]] ||
    no "wrongsha's refusal says: $(meaning plan wrongsha)" || return
  grep -q '^-BMC 0 bus 0x01 address 0xC0 QB4077: 1.0.0$' "$work/plan.txt" &&
    grep -q '^+BMC 0 bus 0x01 address 0xC0 QB4077: 1.2.0$' "$work/plan.txt" ||
    no "--check --diff does not show a controller's version before and after" || return
}

case_unreachable() {
  local s
  reset "${hosts[@]}"
  s=$(play unreachable --limit canary,n01,n02,lost,n03 -e '{"qb40tool_upgrade_batches": [1, 2, "100%"]}')
  ! flashed n03 || no "n03, of the batch after the unreachable server, was flashed" || return
  [ "$(firmware n03)" = "$(firmware n03 start)" ] || no "n03 changed after lost became unreachable" || return
  [ "$s" != 0 ] || no "the rollout with an unreachable server ended with 0" || return
  [ "$(status unreachable lost)" = unreachable ] || no "lost is $(status unreachable lost)" || return
  [ "$(meaning unreachable lost)" = "run may still be in progress; rerun the plan when it is back" ] ||
    no "lost's meaning: $(meaning unreachable lost)" || return
  [ "$(status unreachable n03)" = not_run ] || no "n03 is $(status unreachable n03)" || return
  # Its run goes on where nobody sees it.
  for _ in $(seq 20); do
    grep -q -- --strict "$work/lost/runs.txt" 2>/dev/null && break
    sleep 1
  done
  [ "$(firmware lost)" = "1.2.0 1.2.0" ] || no "lost's run did not go on to its end" || return
}

# After the unreachable server is back: --tags fetch into that run.
# Without a run's directory --tags fetch refuses, naming the latest
# rollout, and makes no run of its own.
case_recover() {
  local s
  rm -f "$work/lost/unreachable"
  s=$(play unreachable --tags fetch --limit lost)
  [ "$s" != 0 ] || no "--tags fetch without a run directory ended with 0" || return
  grep -q "qb40tool_upgrade_run_dir=DIR (the latest rollout is $(run_dir unreachable))" "$work/unreachable.txt" ||
    no "--tags fetch without a run directory does not name the latest rollout" || return
  [ "$(find "$work/reports/unreachable" -mindepth 1 -maxdepth 1 | wc -l)" = 1 ] ||
    no "--tags fetch without a run directory made a run" || return
  s=$(play recover --tags fetch --limit lost -e "qb40tool_upgrade_run_dir=$(run_dir unreachable)")
  [ "$s" = 0 ] || no "--tags fetch on lost ended with $s" || return
  [ "$(status unreachable lost)" = upgraded ] || no "lost is $(status unreachable lost) after --tags fetch" || return
  [ -f "$(run_dir unreachable)/lost.4077.log.txt" ] || no "lost's log is not lost.4077.log.txt" || return
  grep -q "records of lost brought back into run $(basename "$(run_dir unreachable)"): $(run_dir unreachable)" \
    "$work/recover.txt" || no "--tags fetch does not say which run it filled" || return
}

case_sigterm() {
  local s pid state begin=$SECONDS
  reset hang
  s=$(play sigterm --limit hang)
  [ -f "$work/hang/pid" ] || no "the hung run never started" || return
  pid=$(cat "$work/hang/pid")
  # Killed with timeout's process group, timeout included, the run may
  # still wait as a zombie for the system to reap it: dead all the same.
  state=$(ps -o stat= -p "$pid" 2>/dev/null) || state=gone
  [[ $state == gone || $state == Z* ]] || no "the hung run (pid $pid, state $state) is still there after the playbook" ||
    return
  flock --nonblock "$work/hang/qb40tool.lock" true || no "hang's lock is still held" || return
  [ "$s" != 0 ] || no "the hung run ended with 0" || return
  [ "$(status sigterm hang)" = failed ] || no "hang is $(status sigterm hang)" || return
  [[ "$(meaning sigterm hang)" == "killed at the time bound after the stop grace (its report never ended)"* ]] ||
    no "hang's meaning: $(meaning sigterm hang)" || return
  [ $((SECONDS - begin)) -lt 60 ] || no "the hung run took $((SECONDS - begin)) s" || return
}

# The stop grace against what the tool promises (qb40tool(8), SIGNALS):
# the role's default outlasts the longest stop in the programming of a
# controller, with a BMC that answers and with one that stops answering
# (the bounded figures; the erase and reset waits of about an hour no grace
# covers), by the margin the role's README gives for the closing writes;
# and the role's defaults, argument_specs and README say the same
# value.
case_grace() {
  python3 - docs/qb40tool.8 "$collection/roles/upgrade" >"$work/grace.check.txt" 2>&1 <<'PYTHON' ||
import re, sys
manual, role = sys.argv[1:]
roff = open(manual).read()
signals = re.search(r"^\.SH SIGNALS\n(.*?)^\.SH ", roff, re.S | re.M).group(1)
def text(roff):
    lines = [re.sub(r'^\.(B|BR|RB|I|IR)\s+', "", l) for l in roff.splitlines() if not re.match(r"\.(TP|PP)\b", l)]
    return re.sub(r"\s+", " ", re.sub(r'\\f[BIR]|\\e|"', "", " ".join(lines)))
# Each phase: its heading line, then its paragraph (up to the next .PP).
phases = {text(p.split("\n", 1)[0]): text(re.split(r"^\.PP\n", p.split("\n", 1)[1], flags=re.M)[0])
          for p in re.split(r"^\.TP\n", signals, flags=re.M)[1:]}
programming = {head: body for head, body in phases.items() if not head.startswith("Outside")}
assert len(programming) >= 4, "the manual's SIGNALS section has no phases of a programming: %s" % list(phases)
def figures(pattern, texts):
    return [float(x) for t in texts for x in re.findall(pattern, t)]
answered = figures(r"(?i)at most ([0-9.]+) seconds", programming.values())
silent = figures(r"(?i)about ([0-9.]+) seconds", programming.values())
promise = figures(r"So a run ends at most ([0-9.]+) seconds after a signal while its BMC answers", [text(signals)])
floor = figures(r"at least ([0-9.]+) seconds for a run that may upgrade", [text(signals)])
assert answered and silent and promise and floor, "the manual gives no longest stop of a programming"
assert max(answered) == promise[0], "the manual's phases give %s s, its summary %s s" % (max(answered), promise[0])
defaults = open(role + "/defaults/main.yml").read()
meta = open(role + "/meta/main.yml").read()
readme = open(role + "/README.md").read()
grace = int(re.search(r"^qb40tool_upgrade_stop_grace: ([0-9]+)$", defaults, re.M).group(1))
said = {
    "meta/main.yml": re.search(r"qb40tool_upgrade_stop_grace:\n +type: int\n +default: ([0-9]+)", meta),
    "README.md's table": re.search(r"^\| `qb40tool_upgrade_stop_grace` \| `([0-9]+)` \|", readme, re.M),
    "README.md's time bound": re.search(r"^The stop grace is ([0-9]+) seconds by default", readme, re.M),
}
for where, m in said.items():
    assert m and int(m.group(1)) == grace, "%s does not give the default stop grace %d s" % (where, grace)
margin = int(re.search(r"outlasts the longest of\s+those by ([0-9]+)", readme).group(1))
longest = max(silent + answered + floor)
assert grace >= longest + margin, "the default stop grace, %d s, is not %d s more than the manual's longest stop " \
    "of a programming (%g s)" % (grace, margin, longest)
print("stop grace %d s: longest stop of a programming %g s (%g s while the BMC answers), margin %d s" %
      (grace, longest, max(answered), margin))
PYTHON
    no "$(tail -n 1 "$work/grace.check.txt")"
}

case_failing_batch() {
  local s h d
  reset failing n04 n05 n06
  s=$(play failing --limit failing,n04,n05,n06 -e '{"qb40tool_upgrade_batches": [3]}')
  d=$(run_dir failing)
  for h in failing n04 n05; do
    ls "$d/$h".*log.txt >/dev/null 2>&1 || no "$h's log was not fetched" || return
    ls "$d/$h".*json >/dev/null 2>&1 || no "$h's report was not fetched" || return
  done
  [ "$s" = 2 ] || no "the failing batch ended with $s" || return
  ! flashed n06 || no "n06, of the next batch, was flashed" || return
  grep -q 'BMC 0 bus 0x02 address 0xC0 QB4077 version_mismatch at read_back (firmware 1.0.0)' "$work/failing.txt" ||
    no "the failure does not name the controller and its step" || return
  [ "$(status failing n04) $(status failing n05) $(status failing n06)" = "upgraded upgraded not_run" ] ||
    no "n04, n05, n06: $(status failing n04) $(status failing n05) $(status failing n06)" || return
}

# n03's upgrade takes three seconds more than n01's.
case_free() {
  local s
  reset n01 n03
  s=$(ANSIBLE_STRATEGY=free play free --limit n01,n03 -e '{"qb40tool_upgrade_batches": [2], "qb40tool_upgrade_poll": 30}')
  [ "$s" = 0 ] || no "the rollout under the free strategy ended with $s" || return
  ! grep -Eq 'not.run' "$(run_dir free)/summary.txt" || no "the summary shows a server not run" || return
  [ "$(status free n01) $(status free n03)" = "upgraded upgraded" ] ||
    no "n01, n03: $(status free n01) $(status free n03)" || return
  # Its plans, its upgrade's start and end, its report and log in one
  # call on the server that ends with the upgrade, though it could wait 30
  # s (five commands: the temporary directory's home, the directory, its
  # mode, the call, the directory removed), and Ansible's two looks for
  # its Python.
  [ "$(wc -l <"$work/n01/commands.txt")" -le 7 ] ||
    no "n01's rollout took $(wc -l <"$work/n01/commands.txt") commands on it" || return
  python3 - "$work/n01" >"$work/free.check.txt" 2>&1 <<'PYTHON' || no "$(tail -n 1 "$work/free.check.txt")"
import json, sys
ended = [r["ended"] for r in map(json.loads, open(sys.argv[1] + "/runs.txt")) if "--strict" in r["args"]][0]
last = float(open(sys.argv[1] + "/commands.txt").read().splitlines()[-1].split()[0])
assert last - ended < 15, "the call ended %.1f s after the upgrade" % (last - ended)
PYTHON
}

case_mixed() {
  local s
  reset mixed
  s=$(play mixed --limit mixed)
  [ "$(firmware mixed)" = "1.2.0 1.3.0 1.3.0" ] || no "mixed's controllers run $(firmware mixed)" || return
  [ "$s" = 0 ] || no "the rollout on mixed ended with $s" || return
  # (The here-document begins on the next line: what follows PYTHON goes on.)
  if ! python3 - "$work/mixed/runs.txt" "$digest" "$digest80" <<'PYTHON' >"$work/mixed.check.txt" 2>&1; then
import json, sys
runs = [json.loads(line)["args"] for line in open(sys.argv[1])]
upgrades = [a for a in runs if "--strict" in a]
pinned = {(a[a.index("-f") + 1], a[a.index("--image-sha256") + 1], a[a.index("--expect") + 1])
          for a in upgrades if "--image-sha256" in a}
assert len(upgrades) == 2, upgrades
assert pinned == {("fw_4077.bin", sys.argv[2], "1"), ("fw_4080.bin", sys.argv[3], "2")}, pinned
assert all(any(x.startswith("-b") for x in a) for a in upgrades), upgrades
PYTHON
    no "the runs on mixed: $(tail -n 1 "$work/mixed.check.txt")" || return
  fi
  [ "$(status mixed mixed)" = upgraded ] || no "mixed is $(status mixed mixed)" || return
}

# The walk of examples/ansible/README.md ("Try it on simulated servers"),
# line by line as a new user types it (HOME a scratch directory, the
# collection installed into a scratch path), on the example inventory's
# servers simulated by ci/sim-fleet: its relative image paths, its canary,
# a server with -i and four controllers, one with two families.
case_walk() {
  local i line s dir plan first again
  local -a rollouts
  sed -n '/^## Try it on simulated servers/,$p' examples/ansible/README.md |
    awk '/^```sh$/ { inside = 1; next } /^```$/ && inside { exit } inside' |
    grep -v '^ *\(#.*\)\?$' >"$work/walk.sh" || true
  [ "$(wc -l <"$work/walk.sh")" -ge 8 ] || no "no walk in examples/ansible/README.md" || return
  mkdir -p "$work/home"
  (
    export HOME=$work/home ANSIBLE_COLLECTIONS_PATH=$work/walk-collections
    i=10
    while IFS= read -r line; do
      i=$((i + 1))
      printf '%s\n' "$line" >"$work/walk.$i.line"
      # The summary --tags summary rebuilds, set aside to compare.
      case $line in *"--tags summary"*)
        mv "$(ls -d qb40tool-reports/*-upgrade.* | tail -n 1)/summary.json" "$work/walk.summary.json" ;;
      esac
      s=0
      eval "$line" </dev/null >"$work/walk.$i.txt" 2>&1 || s=$?
      echo "$s" >"$work/walk.$i.status"
      [ "$s" = 0 ] || break
    done <"$work/walk.sh"
  )
  for line in "$work"/walk.*.line; do
    s=$(cat "${line%line}status")
    [ "$s" = 0 ] || no "the walk's line '$(cat "$line")' ended with $s: $(tail -n 3 "${line%line}txt")" || return
  done
  # The outputs of the lines that match: in the walk's order.
  walk() { grep -l -e "$1" "$work"/walk.*.line | sed 's/line$/txt/'; }
  dir=$work/home/fleet
  plan=$(walk '--check')
  mapfile -t rollouts < <(walk 'qb40tool.fleet.upgrade *\(#.*\)\?$')
  [ -n "$plan" ] && [ ${#rollouts[@]} = 2 ] || no "the walk has no plan, or not two rollouts" || return
  # Each play ends with its run's directory.
  ended() { grep -o "\"run directory: $dir/qb40tool-reports/[^\"]*" "$1" | tail -n 1 | cut -d' ' -f3; }
  first=$(ended "${rollouts[0]}")
  again=$(ended "${rollouts[1]}")
  [ -d "$(ended "$plan")" ] && [ -d "$first" ] && [ -d "$again" ] && [ "$first" != "$again" ] ||
    no "the plan and the rollouts do not end with their run's directory" || return
  python3 - "$(ended "$plan")" "$first" "$again" "$dir" >"$work/walk.check.txt" 2>&1 <<'PYTHON' ||
import glob, json, os, sys
plan, first, again, top = sys.argv[1:]
def statuses(run):
    return [(r["host"], r["status"]) for r in json.load(open(run + "/summary.json"))["servers"]]
hosts = ["rack01-node02.example.net", "rack01-node01.example.net", "rack02-node01.example.net",
         "rack02-node02.example.net"]
assert statuses(plan) == [(h, "planned") for h in hosts], ("the plan", statuses(plan))
assert statuses(first) == [(h, "upgraded") for h in hosts], ("the rollout", statuses(first))
assert statuses(again) == [(h, "unchanged") for h in hosts], ("the rollout again", statuses(again))
assert json.load(open(first + "/run.json"))["canary"] == [hosts[0]], "the canary is not the example's"
for m in glob.glob(top + "/servers/*/machine.json"):
    fw = [d["firmware"] for b in json.load(open(m))["bmcs"] for bus in b["buses"].values() for d in bus["devices"]]
    assert all(v in ([1, 2, 0], [1, 3, 0]) for v in fw), ("not on the images", m, fw)
# One name for every log: HOST.FAMILY.log.txt.
logs = sorted(os.path.basename(p) for run in glob.glob(top + "/qb40tool-reports/*") for p in glob.glob(run + "/*log*"))
assert logs == sorted("%s.%s.log.txt" % (h, f) for h in hosts
                      for f in ["4077"] + (["4080"] if h.startswith("rack02-node02") else [])), ("logs", logs)
PYTHON
    no "$(tail -n 1 "$work/walk.check.txt")" || return
  [ "$(first_batch_of "${rollouts[0]}")" = "rack01-node02.example.net " ] ||
    no "the first batch was $(first_batch_of "${rollouts[0]}"), not the canary" || return
  if sed -nE 's/^([a-z0-9.-]+) +: ok=[0-9]+ +changed=([0-9]+) .*/\2/p' "${rollouts[1]}" | grep -qv '^0$'; then
    no "the second rollout changed a server"
    return
  fi
  cmp -s "$work/walk.summary.json" "$again/summary.json" || no "--tags summary did not rebuild the summary" || return
  grep -q "summary of run $(basename "$again") rebuilt from its records: $again\"" "$(walk 'tags summary')" ||
    no "--tags summary does not say which run it rebuilt" || return
  grep -q "brought back into run $(basename "$first"): $first\"" "$(walk 'tags fetch')" ||
    no "--tags fetch does not say which run it filled" || return
}

# Four servers in one batch, each upgrade ten seconds long, two of them
# with settings of their own (-i and four controllers; a second family):
# every upgrade begins before any ends. (The images by absolute paths: the
# walk has the relative ones.)
case_at_once() {
  local s images
  examples/ansible/ci/sim-fleet "$work/slow" --slow 10 >/dev/null || no "sim-fleet failed" || return
  images="\"4077\": {\"image\": \"$image\", \"sha256\": \"$digest\"},"
  images+=" \"4080\": {\"image\": \"$work/fw_4080.bin\", \"sha256\": \"$digest80\"}"
  s=0
  (cd "$work/slow" && ansible-playbook -i inventory "$playbook" -e "{\"qb40tool_upgrade_canary\": [],
    \"qb40tool_upgrade_batches\": [\"100%\"], \"qb40tool_upgrade_images\": {$images}}" </dev/null) \
    >"$work/at_once.txt" 2>&1 || s=$?
  [ "$s" = 0 ] || no "the rollout in one batch ended with $s" || return
  python3 - "$work/slow/servers" >"$work/at_once.check.txt" 2>&1 <<'PYTHON' || no "$(tail -n 1 "$work/at_once.check.txt")"
import glob, json, sys
first = {}
for path in glob.glob(sys.argv[1] + "/*/runs.txt"):
    upgrades = [r for r in map(json.loads, open(path)) if "--strict" in r["args"]]
    first[path.split("/")[-2]] = (upgrades[0]["began"], upgrades[0]["ended"])
assert len(first) == 4, "upgraded: %s" % sorted(first)
began = max(b for b, _ in first.values())
ended = min(e for _, e in first.values())
assert began < ended, "an upgrade ended %.1f s before the last one began" % (began - ended)
PYTHON
}

# No canary: the first batch is the first servers by the batch sizes, and
# the budget is a number in run.json and summary.json.
case_nocanary() {
  local s
  reset n01 n02 n04
  s=$(play nocanary --limit n01,n02,n04 \
    -e '{"qb40tool_upgrade_canary": [], "qb40tool_upgrade_batches": [2, "100%"], "qb40tool_upgrade_max_fail_percentage": 50}')
  [ "$s" = 0 ] || no "the rollout without a canary ended with $s" || return
  [ "$(first_batch nocanary)" = "n01 n02 " ] || no "the first batch was $(first_batch nocanary)" || return
  python3 - "$(run_dir nocanary)" >"$work/nocanary.check.txt" 2>&1 <<'PYTHON' || no "$(tail -n 1 "$work/nocanary.check.txt")"
import json, sys
run = json.load(open(sys.argv[1] + "/run.json"))
summary = json.load(open(sys.argv[1] + "/summary.json"))
assert (run["canary"], run["serial"]) == ([], [2, "100%"]), "run.json: canary %s, batches %s" % (run["canary"], run["serial"])
assert run["max_fail_percentage"] == 50 and summary["max_fail_percentage"] == 50, \
    "max_fail_percentage: %r in run.json, %r in summary.json" % (run["max_fail_percentage"], summary["max_fail_percentage"])
PYTHON
}

# n06, the canary, under a held lock: Ansible itself ends the play, n04
# is never reached and says why.
case_lock() {
  local s
  reset n06 n04
  exec {lock}>"$work/n06/qb40tool.lock"
  flock --nonblock "$lock" || no "cannot take n06's lock" || return
  s=$(play locked --limit n06,n04 -e '{"qb40tool_upgrade_canary": ["n06"]}')
  exec {lock}>&-
  [ "$s" = 2 ] || no "a run under a held lock ended with $s" || return
  grep -q 'another run holds the lock' "$work/locked.txt" || no "the failure does not name the lock" || return
  ! touched n04 || no "n04, after the failed canary, was touched" || return
  [ "$(meaning locked n04)" = "not run: the rollout stopped at n06 (failed)" ] ||
    no "n04's meaning: $(meaning locked n04)" || return
  grep -q "\"run directory: $(run_dir locked)\"" "$work/locked.txt" ||
    no "the stopped rollout does not show its run's directory" || return
}

# Out of band: twelve BMCs served by qb40sim-bmc on loopback ports (each one
# QB4077 on 1.0.0 and one on 1.2.0), the inventory's hosts those BMCs with
# no server behind them (an SSH port where nothing listens: any task that
# reached for one would find it unreachable), the tool itself running on
# this machine with --lan, the BMCs' password in Ansible Vault. The plan
# (a held lock fails its BMC), the rollout (canary first, at most the
# throttle's BMCs at once, the password nowhere in the output at -vvv nor
# in the records), and the rollout again with nothing left to do.
oob_password=qb40-oob-s3cret
case_oob() {
  local i h port s dir=$work/oob
  mkdir -p "$dir/group_vars/backplanes"
  python3 - "$dir" "$oob_password" <<'PYTHON'
import json, os, sys
dir, password = sys.argv[1:]
for i in range(1, 13):
    os.makedirs("%s/bmc%02d" % (dir, i), exist_ok=True)
    json.dump({"clock": {"start": 1700000000}, "bmcs": [{
        "lan": {"host": "bmc%02d" % i, "ipv4": "127.0.0.1", "cipher_suites": [17, 3], "session_timeout_s": 60,
                "answer_us": 200, "users": [{"name": "op", "password": password, "privilege": "operator"}]},
        "buses": {bus: {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": fw}]}
                  for bus, fw in (("0x01", [1, 0, 0]), ("0x02", [1, 2, 0]))}}]},
        open("%s/bmc%02d/machine.json" % (dir, i), "w"))
PYTHON
  for ((i = 1; i <= 12; i++)); do
    h=$(printf 'bmc%02d' "$i")
    build/qb40sim-bmc "$dir/$h/machine.json" --road lan --listen 127.0.0.1:0 --port-file "$dir/$h/port" \
      >"$dir/$h/server.txt" 2>&1 &
    echo $! >"$dir/$h/server.pid"
  done
  for ((i = 0; i < 100; i++)); do
    [ "$(ls "$dir"/bmc*/port 2>/dev/null | wc -l)" = 12 ] && break
    sleep 0.1
  done
  [ "$(ls "$dir"/bmc*/port 2>/dev/null | wc -l)" = 12 ] || no "the simulated BMCs did not all start" || return
  echo vault-of-the-check >"$dir/vault.pw"
  ansible-vault encrypt_string --vault-password-file "$dir/vault.pw" --name qb40tool_upgrade_bmc_password \
    "$oob_password" >"$dir/group_vars/backplanes/vault.yml" 2>/dev/null
  {
    cat <<INVENTORY
backplanes:
  vars:
    ansible_host: 127.0.0.1
    ansible_port: 9
    ansible_connection: ssh
    qb40tool_upgrade_tool: $root/build/qb40tool
    qb40tool_upgrade_image: $image
    qb40tool_upgrade_image_sha256: $digest
    qb40tool_upgrade_expect: 2
    qb40tool_upgrade_bmc_user: op
    qb40tool_upgrade_extra_args: [--lan-privilege, operator]
    qb40tool_upgrade_bmc_dir: $dir/bmc
    qb40tool_upgrade_bmc_throttle: 6
    qb40tool_upgrade_batches: ["100%"]
    qb40tool_upgrade_poll: 2
    qb40tool_upgrade_timeout: 300
  hosts:
INVENTORY
    for ((i = 1; i <= 12; i++)); do
      h=$(printf 'bmc%02d' "$i")
      printf '    %s:\n      qb40tool_upgrade_bmc: "127.0.0.1:%s"\n' "$h" "$(cat "$dir/$h/port")"
    done
    printf 'canary:\n  hosts:\n    bmc01:\n'
  } >"$dir/inventory.yml"
  oob_play() {
    local name=$1 status=0
    shift
    ansible-playbook -i "$dir/inventory.yml" --vault-password-file "$dir/vault.pw" "$playbook" \
      -e "qb40tool_upgrade_reports_dir=$work/reports/$name" "$@" </dev/null >"$work/$name.txt" 2>&1 || status=$?
    echo "$status"
  }
  # The plan, bmc05's lock held by another run.
  port=$(cat "$dir/bmc05/port")
  mkdir -p "$dir/bmc/127.0.0.1:$port"
  exec {lock}>"$dir/bmc/127.0.0.1:$port/qb40tool.lock"
  flock --nonblock "$lock" || no "cannot take bmc05's lock" || return
  s=$(oob_play oob_plan --check --diff)
  exec {lock}>&-
  [ "$(status oob_plan bmc01) $(status oob_plan bmc05) $(status oob_plan bmc12)" = "planned failed planned" ] ||
    no "the plan: bmc01, bmc05, bmc12 $(status oob_plan bmc01) $(status oob_plan bmc05) $(status oob_plan bmc12)" ||
    return
  [[ "$(meaning oob_plan bmc05)" == *"another run holds the lock"* ]] ||
    no "bmc05's meaning under a held lock: $(meaning oob_plan bmc05)" || return
  s=$(oob_play oob_rollout -vvv)
  [ "$s" = 0 ] || no "the out-of-band rollout ended with $s: $(grep -m1 -A2 'fatal:' "$work/oob_rollout.txt")" || return
  [ "$(first_batch oob_rollout)" = "bmc01 " ] || no "the first batch was $(first_batch oob_rollout)" || return
  python3 - "$(run_dir oob_rollout)" "$dir/bmc" >"$work/oob.check.txt" 2>&1 <<'PYTHON' || no "$(tail -n 1 "$work/oob.check.txt")" || return
import glob, json, sys
run, bmcs = sys.argv[1:]
summary = json.load(open(run + "/summary.json"))
assert [r["status"] for r in summary["servers"]] == ["upgraded"] * 12, [(r["host"], r["status"]) for r in summary["servers"]]
# Each BMC's own directory on this machine, with its lock; the upgrades of
# the batch after the canary, at most the throttle's at once, and more than one.
spans = []
for job in glob.glob(bmcs + "/*/qb40tool-job.*.json"):
    spans += [(r["began"], r["ended"]) for r in json.load(open(job))["runs"] if r.get("ended")]
assert len(glob.glob(bmcs + "/*/qb40tool.lock")) == 12, "not a lock per BMC: %s" % glob.glob(bmcs + "/*")
assert len(spans) == 12, "%d upgrades" % len(spans)
most = max(sum(1 for b, e in spans if b <= t < e) for t, _ in spans)
assert 1 < most <= 6, "%d upgrades at once, throttle 6" % most
PYTHON
  ! grep -rlF "$oob_password" "$work/oob_rollout.txt" "$work/oob_plan.txt" "$work/reports" "$dir/bmc" ||
    no "the BMC password shows in $(grep -rlF "$oob_password" "$work/oob_rollout.txt" "$work/reports" "$dir/bmc" | head -n 1)" ||
    return
  s=$(oob_play oob_again)
  [ "$s" = 0 ] || no "the out-of-band rollout again ended with $s" || return
  if changed_counts oob_again | grep -qv ' 0$'; then
    no "the rollout again changed: $(changed_counts oob_again | grep -v ' 0$' | head -n 3)"
    return
  fi
  [ "$(status oob_again bmc07)" = unchanged ] || no "bmc07 again: $(status oob_again bmc07)" || return
}

cases=(
  "1|unreachable|an unreachable server mid-batch: no later batch flashes"
  "1|recover|the unreachable server back: --tags fetch brings its record"
  "2|sigterm|a tool that ignores SIGTERM: no process left after the bound"
  "2|grace|the stop grace outlasts the manual's longest stop in a programming"
  "3|plan|a whole-fleet plan with refused servers: every server planned"
  "4|free|the free strategy: the summary right"
  "5|failing_batch|a failing batch: every log fetched"
  "6|inputs|a malformed digest, bad batches, no image: stopped before any server"
  "7|mixed|mixed families on one server: both upgraded, each pinned"
  "8|nocanary|no canary: the first batch by the batch sizes; the budget a number"
  "8|lock|a held lock fails the canary at once; the servers after it say so"
  "9|at_once|one batch of servers with settings of their own: every upgrade at once"
  "10|walk|the README's walk: plan, canary first, changed=0 again, summary, fetch"
  "12|oob|out of band, twelve BMCs over the network: plan, lock, canary, throttle, vault"
)
failed=0
table=()
for c in "${cases[@]}"; do
  IFS='|' read -r finding name title <<<"$c"
  [ -z "${QB40_FLEET_CASES:-}" ] || [[ " $QB40_FLEET_CASES " == *" $name "* ]] || continue
  begin=$SECONDS
  why=""
  if "case_$name"; then result=PASS; else result=FAIL failed=1; fi
  table+=("$(printf '%-7s %-3s %-76s %4d s' "$result" "$finding" "$title" $((SECONDS - begin)))")
  [ "$result" = PASS ] || table+=("          $why")
done

echo "== the plan (check mode), reports/plan"
cat "$(run_dir plan)/summary.txt" 2>/dev/null || true
echo "== a rollout stopped by an unreachable server, reports/unreachable"
cat "$(run_dir unreachable)/summary.txt" 2>/dev/null || true
echo "== the README's walk: the example inventory's servers, simulated"
cat "$(ls -d "$work"/home/fleet/qb40tool-reports/*-upgrade.* 2>/dev/null | head -n 1)/summary.txt" 2>/dev/null || true
echo "== fleet check: result, failure path, case, time"
printf '%s\n' "${table[@]}"
[ -z "${lint:-}" ] || echo "ansible-lint --profile production: $lint; plugins' unit tests: $unit"
[ ! -s "$work/grace.check.txt" ] || tail -n 1 "$work/grace.check.txt"
if [ "$failed" != 0 ]; then
  echo "fleet check: FAIL (${#hosts[@]} servers, $playbook) in $((SECONDS - start)) s"
  exit 1
fi
echo "fleet check: PASS (${#hosts[@]} servers, $playbook; setup ${setup_seconds} s) in $((SECONDS - start)) s"
