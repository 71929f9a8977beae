# Sourced by .ci/run: stages timed one by one, and lanes of stages run side by
# side on the machine's two cores.
#
# A stage is a command (usually `bash .ci/stages/NAME.sh`). Each one's wall
# and CPU time (user + system of everything it ran) is appended to the table
# in $CI_TIMES; a stage running past its time limit is stopped and fails.

CI_STAGE_LIMIT=${CI_STAGE_LIMIT:-1800}  # seconds: a hung stage fails instead of eating the run

# cpu_now FILE: user plus system seconds of every child this shell has waited
# for so far, written to FILE. `times` must run in this shell: in a command
# substitution it would count the subshell's children.
cpu_now() {
  times >"$1.times"
  awk 'NR == 2 {
    total = 0
    for (i = 1; i <= 2; i++) { split($i, part, "m"); sub("s", "", part[2]); total += part[1] * 60 + part[2] }
    printf "%.1f\n", total }' "$1.times" >"$1"
}

# stage NAME COMMAND...: runs COMMAND, records its times and result, and
# returns its status.
stage() {
  local name=$1 start status=0 mark="$CI_LOGS/cpu.$BASHPID"
  shift
  printf '\n==== %s (%s)\n' "$name" "$(date +%H:%M:%S)"
  start=$(date +%s)
  cpu_now "$mark.before"
  timeout -k 30 "$CI_STAGE_LIMIT" "$@" || status=$?
  cpu_now "$mark.after"
  [ "$status" -eq 124 ] && echo "stage '$name' stopped after its limit of $CI_STAGE_LIMIT s" >&2
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "${CI_LANE:-main}" "$(( $(date +%s) - start ))" \
    "$(awk '{ v[NR] = $1 } END { printf "%.0f", v[2] - v[1] }' "$mark.before" "$mark.after")" \
    "$([ "$status" -eq 0 ] && echo ok || echo "FAILED ($status)")" >>"$CI_TIMES"
  printf '==== %s: %s in %s s\n' "$name" "$([ "$status" -eq 0 ] && echo passed || echo FAILED)" "$(( $(date +%s) - start ))"
  return "$status"
}

# lane NAME STAGE...: the stages one after another (each given as one string,
# "name|command"); the first failure ends the lane.
lane() {
  local CI_LANE=$1 entry
  shift
  for entry in "$@"; do
    # shellcheck disable=SC2086
    stage "${entry%%|*}" ${entry#*|} || return 1
  done
}

# The table of stages, and the whole run's time against CI's limits.
print_times() {
  local run_start=$1
  local total=$(( $(date +%s) - run_start ))
  printf '\n%-58s %-7s %8s %8s  %s\n' stage lane "wall s" "CPU s" result
  awk -F'\t' '{ printf "%-58s %-7s %8s %8s  %s\n", $1, $2, $3, $4, $5 }' "$CI_TIMES"
  printf '%-58s %-7s %8s\n' "whole run (goal 2400 s, limit 5400 s)" "" "$total"
}
