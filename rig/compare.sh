# Sourced by run-scenario.sh: comparing the guest run with the simulator run.

# The date and time the tool prints ("Sat Dec  5 16:37:19 2026") differ by
# nature; everything else must not.
normalise() {
  sed -E 's/(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}/<date>/g' "$1"
}

# compare_file NAME: guest/NAME against sim/NAME, diff in NAME.diff.
compare_file() {
  local f=$1
  if [ -e "$dir/guest/$f" ] && [ ! -e "$dir/sim/$f" ]; then fail "$f only in the guest"; return; fi
  if [ ! -e "$dir/guest/$f" ] && [ -e "$dir/sim/$f" ]; then fail "$f only in the simulator"; return; fi
  [ -e "$dir/guest/$f" ] || return 0
  if ! diff -u --label "sim/$f" --label "guest/$f" <(normalise "$dir/sim/$f") <(normalise "$dir/guest/$f") \
    >"$dir/$f.diff"; then
    fail "$f differs ($(grep -c '^[-+][^-+]' "$dir/$f.diff") lines, see $f.diff)"
  else
    rm -f "$dir/$f.diff"
  fi
}

compare_runs() {
  local gs ss
  gs=$(cat "$dir/guest/status" 2>/dev/null || echo none)
  ss=$(cat "$dir/sim/status" 2>/dev/null || echo none)
  [ "$gs" = "$ss" ] || fail "exit status $gs in the guest, $ss on the simulator"
  compare_file console.txt
  compare_file log.txt
  compare_file logprev.txt
  # Standard error: what the system's own commands print (modprobe) may
  # differ in wording; the scenario names those lines, the rest must agree.
  local side
  for side in guest sim; do
    [ -f "$dir/$side/stderr.txt" ] && grep -Ev "$stderr_allowed" "$dir/$side/stderr.txt" >"$dir/$side/stderr.compared"
  done
  compare_file stderr.compared
}

# ", tool N.NN s" for the PASS line.
timing_note() {
  [ -f "$dir/guest/elapsed" ] && printf ', tool %s s' "$(cat "$dir/guest/elapsed")"
}
