#!/usr/bin/env bash
# CI: the fleet playbook as an operator would run it, against localhost with
# a local connection, qb40tool-sim standing in for qb40tool on two servers:
# "healthy" (one controller to upgrade, one already on the image) and
# "failing" (one controller takes the downcopy-and-reset and comes back on
# its old version), both expected to have two controllers. Checks the
# summary table, that exactly "failing" failed, that the expected count
# reached the tool, and that qb40_image_sha256 pins the image of "healthy"
# alone. Installs ansible-core through scripts/deps.sh if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
scripts/deps.sh --no-tests ansible-core
# The test command's build when there is one; else one without the tests.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$PWD
cat >"$work/inventory.yml" <<INVENTORY
backplanes:
  vars:
    ansible_connection: local
    ansible_python_interpreter: auto_silent
    qb40_tool: $root/build/qb40tool-sim
    qb40_image: $root/sim/images/fw_4077.bin
    qb40_expect: 2
  hosts:
    healthy:
      qb40_image_sha256: $(sha256sum sim/images/fw_4077.bin | cut -c1-64)
      qb40_workdir: $work/healthy
      qb40_environment: {QB40SIM_MACHINE: $root/sim/machines/fleet_healthy.json}
    failing:
      qb40_workdir: $work/failing
      qb40_environment: {QB40SIM_MACHINE: $root/sim/machines/fleet_failing.json}
INVENTORY

status=0
ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_RETRY_FILES_ENABLED=false \
  ansible-playbook -i "$work/inventory.yml" -e "qb40_reports_dir=$work/reports" \
  examples/ansible/upgrade.yml >"$work/playbook.txt" 2>&1 || status=$?

expected="host                 result  exit  meaning                        upgraded same_version  failed
healthy              ok         0  done                                  1            1       0
failing              FAILED     4  not every controller upgraded         1            0       1"
fail() {
  cat "$work/playbook.txt"
  echo "fleet check: FAIL: $*"
  exit 1
}
[ "$status" -eq 2 ] || fail "ansible-playbook ended with $status, not 2 (some hosts failed)"
[ "$(cat "$work/reports/summary.txt")" = "$expected" ] || fail "summary table differs:
$(diff <(echo "$expected") "$work/reports/summary.txt")"
grep -Eq '^healthy +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=0 ' "$work/playbook.txt" ||
  fail "healthy did not pass"
grep -Eq '^failing +: ok=[0-9]+ +changed=[0-9]+ +unreachable=0 +failed=1 ' "$work/playbook.txt" ||
  fail "failing did not fail"
grep -q 'bus 0x02 address 0xC0 version_mismatch (firmware 1.0.0)' "$work/playbook.txt" ||
  fail "the failure message does not name the controller"
grep -q '^Selected --expect for at least 2 controllers$' "$work/healthy/log.txt" ||
  fail "qb40_expect did not reach the command line"
# qb40_image_sha256 pins the image where it is set, and only there.
grep -q '"sha256_matched": true' "$work/reports/healthy.json" || fail "healthy did not run with --image-sha256"
grep -q '"sha256_matched": null' "$work/reports/failing.json" || fail "failing ran with --image-sha256"
echo "fleet check: PASS (2 hosts, 1 failed as expected) in $((SECONDS - start)) s"
