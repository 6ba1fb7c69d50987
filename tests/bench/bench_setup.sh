# What every benchmark script starts with; sourced as
#   . "$(dirname "$0")/bench_setup.sh" "$@"
# Sets VOSTREL (the first argument, default build/vostrel) and ROUNDS (the second, default 5),
# TIMER (side_by_side.py), and makes a scratch folder WORK, the current folder from here on,
# removed at the end. load prints the load average.
VOSTREL=$(realpath "${1:-build/vostrel}")
ROUNDS=${2:-5}
TIMER=$(realpath "$(dirname "${BASH_SOURCE[0]}")/side_by_side.py")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

load() { cut -d' ' -f1-3 /proc/loadavg; }
