#!/usr/bin/env bash
# Runs a fuzzing campaign over each fuzz target built by the fuzz preset (build-fuzz/), starting
# from its corpus in tests/fuzz/corpus/<name>/, and adds to it, minimised, the inputs it finds
# that reach code the corpus did not.
#
#   tools/fuzz_campaign.sh [--seconds N] [--runs N] [TARGET...]
#
# Each target runs for N seconds (default 60) or N executions, whichever is given (with both,
# whichever ends first). A crash stops the campaign of that target; its input is left in
# build-fuzz/findings/<name>/ and the script exits 1 at the end. Without targets, every
# tests/fuzz/*_fuzz.cpp is run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
runs=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; seconds=""; shift 2 ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz_campaign.sh: unknown option $1" >&2; exit 64 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

status=0
summary=()
for target in "${targets[@]}"; do
  binary="build-fuzz/tests/$target"
  corpus="tests/fuzz/corpus/${target%_fuzz}"
  if [ ! -x "$binary" ]; then
    echo "fuzz_campaign.sh: $binary is not built (make fuzz builds it)" >&2
    exit 1
  fi
  mkdir -p "$corpus"
  work="build-fuzz/campaign/$target"
  findings="build-fuzz/findings/$target"
  rm -rf "$work"
  mkdir -p "$work/new" "$findings"
  limits=()
  [ -n "$seconds" ] && limits+=("-max_total_time=$seconds")
  [ -n "$runs" ] && limits+=("-runs=$runs")
  echo "== $target: ${seconds:+$seconds s}${runs:+$runs executions} from $(ls "$corpus" | wc -l) inputs"
  if ! "$binary" "${limits[@]}" -print_final_stats=1 -artifact_prefix="$findings/" \
       "$work/new" "$corpus" >"$work/log" 2>&1; then
    echo "   FOUND a failure; the input is in $findings/, the log in $work/log"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | cut -d' ' -f2)
  # Keep, of what the campaign found, only the inputs that reach something the corpus does not;
  # the seeds stay as they are.
  "$binary" -merge=1 "$corpus" "$work/new" >"$work/merge.log" 2>&1 || true
  size=$(ls "$corpus" | wc -l)
  line=$(printf '%-22s %12s executions  coverage %6s  corpus %4s inputs' \
                "$target" "${execs:-?}" "${cov:-?}" "$size")
  echo "   $line"
  summary+=("$line")
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
