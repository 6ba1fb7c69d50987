#!/usr/bin/env bash
# Two throughput checks against standard tools, each measured in one run with the files warm in
# the page cache. Run by hand, not by ctest:
#
#   tests/bench/package_bench.sh [build/vostrel]
#
# 1. "vostrel pack verify" of a 512 MiB package against "cat" of the same file to /dev/null
#    (goal: verify at least 0.85 times as fast as cat, i.e. a time ratio of at most 1/0.85).
# 2. A whole application update through "vostrel sim run" whose script copies a 256 MiB member,
#    against two "cp" of the same bytes (goal: a time ratio of at most 1.5). The terminal reads
#    the package once to check it and once to copy the member out of it.
# Each command runs three times; the best wall time of each counts.
set -euo pipefail

VOSTREL=$(realpath "${1:-build/vostrel}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

best() {  # best wall time in seconds of three runs of "$@"
  python3 - "$@" <<'PY'
import subprocess, sys, time
times = []
for _ in range(3):
    start = time.perf_counter()
    subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times.append(time.perf_counter() - start)
print(f"{min(times):.3f}")
PY
}
calc() { python3 -c "print(f'{$1:.2f}')"; }

# 1. pack verify.
mkdir -p big/Data
head -c $((512 * 1024 * 1024 - 4096)) /dev/urandom > big/Data/blob.bin
printf '[SoftwareToUpdate]\r\nUpdate1=Application\r\n[Application]\r\nAppSoftware1=Application|9.0|S\r\n[S]\r\n###CommandStart###\r\n###CommandEnd###\r\n' \
  > big/Vostrel.ini
"$VOSTREL" pack build big.bin --dir big > /dev/null 2>&1
cat big.bin > /dev/null
"$VOSTREL" pack verify big.bin > /dev/null
cat_s=$(best sh -c "cat big.bin > /dev/null")
verify_s=$(best "$VOSTREL" pack verify big.bin)
echo "package:             $(stat -c %s big.bin) bytes"
echo "cat > /dev/null:     $cat_s s"
echo "vostrel pack verify: $verify_s s"
echo "speed of verify:     $(calc "$cat_s / $verify_s") of cat's (goal: at least 0.85)"
rm -rf big big.bin

# 2. A 256 MiB application copy through a whole run.
mkdir -p app/Navigator
head -c $((256 * 1024 * 1024)) /dev/urandom > app/Navigator/Region.map
printf '[SoftwareToUpdate]\r\nUpdate1=Application\r\n[Application]\r\nAppSoftware1=Application|9.0|S\r\n[S]\r\n###CommandStart###\r\nMKDIR|\\Flash Disk2\\Navigator\r\nCOPY|Navigator\\Region.map|\\Flash Disk2\\Navigator\\Region.map\r\n###CommandEnd###\r\n' \
  > app/Vostrel.ini
"$VOSTREL" pack build app.bin --dir app > /dev/null 2>&1
cat app.bin > /dev/null
run_once() {
  rm -rf terminal
  "$VOSTREL" sim init terminal > /dev/null
  "$VOSTREL" sim run terminal --package app.bin --keys "PLAY PLAY" > run.out
  grep -q "Final screen: 8" run.out
}
export -f run_once
export VOSTREL
run_once
cmp app/Navigator/Region.map "terminal/fs/Flash Disk2/Navigator/Region.map"
# The terminal's initialisation is not part of the update: time it alone and take it off.
init_s=$(best sh -c 'rm -rf t0 && "$VOSTREL" sim init t0')
run_s=$(best bash -c run_once)
cp_s=$(best sh -c "cp app.bin copy1.bin && cp app/Navigator/Region.map copy2.bin")
update_s=$(calc "$run_s - $init_s")
echo "sim init:            $init_s s"
echo "sim init + run:      $run_s s"
echo "the update:          $update_s s"
echo "two cp:              $cp_s s"
echo "time ratio:          $(calc "$update_s / $cp_s") (goal: at most 1.5)"
