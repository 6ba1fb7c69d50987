#!/usr/bin/env bash
# Two throughput checks against standard tools, each measured side by side in one run with the
# files warm in the page cache. Run by hand, not by ctest:
#
#   tests/bench/package_bench.sh [build/vostrel] [ROUNDS]
#
# 1. "vostrel pack verify" of a 512 MiB package against "cat" of the same file to /dev/null
#    (goal: verify at least 0.95 times as fast as cat).
# 2. A whole application update in terminal mode through "vostrel sim run", whose script copies
#    a 256 MiB member, against two "cp" of the same bytes: the package, and the member (goal: a
#    time ratio of at most 1.2). Each run gets a fresh terminal, made untimed.
# The commands take turns for ROUNDS rounds (default 5); the best wall time of each counts. The
# load average before and after tells how busy the machine was.
set -euo pipefail

. "$(dirname "$0")/bench_setup.sh" "$@"

calc() { python3 -c "print(f'{$1:.2f}')"; }
echo "load average before: $(load) on $(nproc) cores"

# 1. pack verify.
mkdir -p big/Data
head -c $((512 * 1024 * 1024 - 4096)) /dev/urandom > big/Data/blob.bin
printf '[SoftwareToUpdate]\r\nUpdate1=Application\r\n[Application]\r\nAppSoftware1=Application|9.0|S\r\n[S]\r\n###CommandStart###\r\n###CommandEnd###\r\n' \
  > big/Vostrel.ini
"$VOSTREL" pack build big.bin --dir big > /dev/null 2>&1
rm -rf big
"$VOSTREL" pack verify big.bin > /dev/null
mapfile -t times < <("$TIMER" "$ROUNDS" "cat big.bin" "$VOSTREL pack verify big.bin")
cat_s=${times[0]}
verify_s=${times[1]}
echo "package:             $(stat -c %s big.bin) bytes"
echo "cat > /dev/null:     $cat_s s"
echo "vostrel pack verify: $verify_s s"
echo "speed of verify:     $(calc "$cat_s / $verify_s") of cat's (goal: at least 0.95)"
rm -f big.bin

# 2. A 256 MiB application copy through a whole run.
mkdir -p app/Navigator
head -c $((256 * 1024 * 1024)) /dev/urandom > app/Navigator/Region.map
printf '[SoftwareToUpdate]\r\nUpdate1=Application\r\n[Application]\r\nAppSoftware1=Application|9.0|S\r\n[S]\r\n###CommandStart###\r\nMKDIR|\\Flash Disk2\\Navigator\r\nCOPY|Navigator\\Region.map|\\Flash Disk2\\Navigator\\Region.map\r\n###CommandEnd###\r\n' \
  > app/Vostrel.ini
"$VOSTREL" pack build app.bin --dir app > /dev/null 2>&1
"$VOSTREL" sim init t0 > /dev/null
fresh="rm -rf t copy1.bin copy2.bin && cp -a t0 t"
cp -a t0 t
"$VOSTREL" sim run t --package app.bin --keys "PLAY PLAY" > run.out
grep -q "Final screen: 8" run.out || { cat run.out; echo "the update did not complete"; exit 1; }
cmp app/Navigator/Region.map "t/fs/Flash Disk2/Navigator/Region.map"
mapfile -t times < <("$TIMER" "$ROUNDS" \
  "$fresh ;; cp app.bin copy1.bin && cp app/Navigator/Region.map copy2.bin" \
  "$fresh ;; $VOSTREL sim run t --package app.bin --keys 'PLAY PLAY'")
cp_s=${times[0]}
run_s=${times[1]}
echo "package:             $(stat -c %s app.bin) bytes, member 268435456 bytes"
echo "two cp:              $cp_s s"
echo "vostrel sim run:     $run_s s"
echo "time ratio:          $(calc "$run_s / $cp_s") (goal: at most 1.2)"
echo "load average after:  $(load)"
