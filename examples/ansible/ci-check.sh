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
# Each case (the table at the end) proves one failure path of a rollout,
# numbered: 1 a server lost mid-batch, 2 the time bound, 3 the whole-fleet
# plan, 4 the strategy, 5 the logs of a failed batch, 6 the inputs, 7 the
# defaults and shape (canary, families, records, tags). The check runs
# them all and fails if one fails.
#
#   QB40_FLEET_PLAYBOOK=PATH  the cases against another playbook (such as an
#                             earlier version's upgrade.yml) instead of the
#                             collection, without lint or build
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
cmake --build build --target qb40tool-sim >/dev/null
root=$PWD
collection=$root/examples/ansible/collection

work=$(mktemp -d)
cleanup() {
  # A hung run that an earlier playbook left behind is this check's own.
  for pid in "$work"/*/pid; do
    [ -f "$pid" ] && kill -9 "$(cat "$pid")" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
[ -z "${QB40_FLEET_KEEP:-}" ] || trap 'echo "fleet check: work directory $work"' EXIT
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
  # The unit tests of the installed copy: what the tarball holds is tested.
  python3 -m unittest discover -s "$work/collections/ansible_collections/qb40tool/fleet/tests/unit" \
    -t "$work/collections" >"$work/unit.txt" 2>&1 || {
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
    cat >"$work/$h/shell" <<SHELL
#!/bin/sh
case "\$*" in *mkdir*ansible-tmp-*) [ -e $work/$h/unreachable ] && exit 1 ;; esac
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
    rm -rf "$work/$h/work" "$work/$h/traces.txt" "$work/$h/runs.txt" "$work/$h/unreachable" "$work/$h/pid"
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
# The hosts of the first batch of the upgrade play, as its first task lists them.
first_batch() {
  awk '/^PLAY \[Upgrade/ { n++ } n == 1 && /^(ok|changed|skipping|fatal): \[/ { print }' "$work/$1.txt" |
    sed -nE 's/^[a-z]+: \[([a-z0-9]+)[] ].*/\1/p' | sort -u | tr '\n' ' '
}

# Each case: a function that returns non-zero with a reason in $why.
why=""
no() {
  why=$*
  return 1
}

case_inputs() {
  local bad
  for bad in 'qb40tool_upgrade_image_sha256=not-a-digest' '{"qb40tool_upgrade_batches": [0]}' \
    "qb40tool_upgrade_image=$work/nothere_4077.bin"; do
    reset "${hosts[@]}"
    [ "$(play inputs -e "$bad")" != 0 ] || no "a run with $bad ended with 0" || return
    for h in "${hosts[@]}"; do
      ! touched "$h" || no "a run with $bad touched $h" || return
    done
    case $bad in
      *not-a-digest) grep -q "'not-a-digest' is not 64 hexadecimal digits" "$work/inputs.txt" ;;
      *batches*) grep -q 'qb40tool_upgrade_batches: 0 is neither' "$work/inputs.txt" ;;
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
case_recover() {
  local s
  rm -f "$work/lost/unreachable"
  s=$(play recover --tags fetch --limit lost -e "qb40tool_upgrade_run_dir=$(run_dir unreachable)")
  [ "$s" = 0 ] || no "--tags fetch on lost ended with $s" || return
  [ "$(status unreachable lost)" = upgraded ] || no "lost is $(status unreachable lost) after --tags fetch" || return
  [ -f "$(run_dir unreachable)/lost.4077.log.txt" ] || [ -f "$(run_dir unreachable)/lost.log.txt" ] ||
    no "lost's log was not fetched" || return
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
  s=$(ANSIBLE_STRATEGY=free play free --limit n01,n03 -e '{"qb40tool_upgrade_batches": [2]}')
  [ "$s" = 0 ] || no "the rollout under the free strategy ended with $s" || return
  ! grep -Eq 'not.run' "$(run_dir free)/summary.txt" || no "the summary shows a server not run" || return
  [ "$(status free n01) $(status free n03)" = "upgraded upgraded" ] ||
    no "n01, n03: $(status free n01) $(status free n03)" || return
}

case_mixed() {
  local s
  reset mixed
  s=$(play mixed --limit mixed)
  [ "$(firmware mixed)" = "1.2.0 1.3.0 1.3.0" ] || no "mixed's controllers run $(firmware mixed)" || return
  [ "$s" = 0 ] || no "the rollout on mixed ended with $s" || return
  python3 - "$work/mixed/runs.txt" "$digest" "$digest80" <<'PYTHON' ||
    no "the runs on mixed: $(cat "$work/mixed/runs.txt")" || return
import json, sys
runs = [json.loads(line)["args"] for line in open(sys.argv[1])]
upgrades = [a for a in runs if "--strict" in a]
pinned = {(a[a.index("-f") + 1], a[a.index("--image-sha256") + 1], a[a.index("--expect") + 1])
          for a in upgrades if "--image-sha256" in a}
assert len(upgrades) == 2, upgrades
assert pinned == {("fw_4077.bin", sys.argv[2], "1"), ("fw_4080.bin", sys.argv[3], "2")}, pinned
assert all(any(x.startswith("-b") for x in a) for a in upgrades), upgrades
PYTHON
  [ "$(status mixed mixed)" = upgraded ] || no "mixed is $(status mixed mixed)" || return
}

case_happy() {
  local s first
  local set=(canary n01 n02 n03 n04 n05 n06)
  reset "${set[@]}"
  s=$(play happy --limit "$(
    IFS=,
    echo "${set[*]}"
  )")
  [ "$s" = 0 ] || no "the rollout ended with $s" || return
  first=$(first_batch happy)
  [ "$first" = "canary " ] || no "the first batch was ${first:-none}, not the canary" || return
  for h in "${set[@]}"; do
    [ "$(firmware "$h")" = "1.2.0 1.2.0" ] || no "$h runs $(firmware "$h")" || return
  done
  [ "$(status happy n06)/$(status happy n01)" = "unchanged/upgraded" ] ||
    no "n06, n01: $(status happy n06) $(status happy n01)" || return
  s=$(play again --limit "$(
    IFS=,
    echo "${set[*]}"
  )")
  [ "$s" = 0 ] || no "the second rollout ended with $s" || return
  [ -z "$(changed_counts again | grep -v ' 0$')" ] ||
    no "the second rollout changed: $(changed_counts again | grep -v ' 0$')" || return
  [ "$(status again n01)" = unchanged ] || no "n01 is $(status again n01) the second time" || return
  # The summary again from the records alone.
  mv "$(run_dir again)/summary.json" "$work/again.summary.json"
  s=$(play rebuild --tags summary -e "qb40tool_upgrade_run_dir=$(run_dir again)" --limit "$(
    IFS=,
    echo "${set[*]}"
  )")
  cmp -s "$work/again.summary.json" "$(run_dir again)/summary.json" ||
    no "--tags summary did not rebuild the summary" || return
}

case_lock() {
  local s
  reset n06
  exec {lock}>"$work/n06/qb40tool.lock"
  flock --nonblock "$lock" || no "cannot take n06's lock" || return
  s=$(play locked --limit n06)
  exec {lock}>&-
  [ "$s" = 2 ] || no "a run under a held lock ended with $s" || return
  grep -q 'another run holds the lock' "$work/locked.txt" || no "the failure does not name the lock" || return
}

cases=(
  "1|unreachable|an unreachable server mid-batch: no later batch flashes"
  "1|recover|the unreachable server back: --tags fetch brings its record"
  "2|sigterm|a tool that ignores SIGTERM: no process left after the bound"
  "3|plan|a whole-fleet plan with refused servers: every server planned"
  "4|free|the free strategy: the summary right"
  "5|failing_batch|a failing batch: every log fetched"
  "6|inputs|a malformed digest, bad batches, no image: stopped before any server"
  "7|mixed|mixed families on one server: both upgraded, each pinned"
  "7|happy|the happy path twice: canary first, changed=0 the second time, --tags summary"
  "-|lock|a held lock fails the server at once"
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
echo "== $(cat "$work/happy.args")"
cat "$(run_dir happy)/summary.txt" 2>/dev/null || true
echo "== fleet check: result, failure path, case, time"
printf '%s\n' "${table[@]}"
[ -z "${lint:-}" ] || echo "ansible-lint --profile production: $lint; plugins' unit tests: $unit"
if [ "$failed" != 0 ]; then
  echo "fleet check: FAIL (${#hosts[@]} servers, $playbook) in $((SECONDS - start)) s"
  exit 1
fi
echo "fleet check: PASS (${#hosts[@]} servers, $playbook; setup ${setup_seconds} s) in $((SECONDS - start)) s"
