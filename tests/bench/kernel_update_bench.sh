#!/usr/bin/env bash
# A whole kernel update of a 32 MiB encrypted .BIN image through "vostrel sim run", against the
# same work done by standard tools: DES-ECB decryption of the same ciphertext with openssl's
# legacy provider, base64 decoding, and a copy of the image. Run by hand, not by ctest:
#
#   tests/bench/kernel_update_bench.sh [build/vostrel] [ROUNDS]
#
# The two take turns for ROUNDS rounds (default 5), each run of the update on a fresh terminal
# made untimed; the best wall time of each counts. Prints the wall times, their ratio (goal: at
# most 1.25), the CPU times and the peak memory of one more run of each, the memory bound
# (1.5 x the image + 32 MiB), and the load average before and after.
set -euo pipefail

. "$(dirname "$0")/bench_setup.sh" "$@"

IMAGE_BYTES=$((32 * 1024 * 1024))
KEY=$(printf 'Mesa cap' | sha1sum | cut -c1-16)  # the DES key of the pass phrase

# The image: its version mark, then random bytes; wrapped into 64 KiB records.
mkdir payload
{ printf 'VOSTREL-VERSION:9.9.9\0'; head -c $((IMAGE_BYTES - 22)) /dev/urandom; } > nk.raw
"$VOSTREL" pack mkbin nk.raw payload/NK.BIN > /dev/null
printf '[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|9.9.9|NK.BIN^1^KRNL\r\n' \
  > payload/Vostrel.ini
"$VOSTREL" pack build install.bin --dir payload > /dev/null 2>&1
"$VOSTREL" pack extract install.bin NK.BIN -C stored > /dev/null

# The ciphertext without the chunk lengths, for openssl.
python3 - stored/NK.BIN cipher.bin <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
out = open(sys.argv[2], 'wb')
at = 0
while at < len(data):
    n = int.from_bytes(data[at:at + 4], 'little')
    out.write(data[at + 4:at + 4 + n])
    at += 4 + n
PY

calc() { python3 -c "print($1)"; }
echo "load average before:   $(load) on $(nproc) cores"

update="\"$VOSTREL\" sim run terminal --package install.bin --keys 'PLAY PLAY' > run.out"
standard="openssl enc -d -des-ecb -nopad -K $KEY -provider legacy -provider default -in cipher.bin |
  base64 -d -i > plain.bin && cp nk.raw copy.raw"
fresh="rm -rf terminal && cp -a terminal0 terminal"
"$VOSTREL" sim init terminal0 > /dev/null

# One run of each, checked, with its CPU time and peak memory.
eval "$fresh"
/usr/bin/time -v -o run.time bash -c "$update"
grep -q "Final screen: 8" run.out || { cat run.out; echo "the update did not complete"; exit 1; }
peak_kb=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' run.time)
run_cpu=$(awk -F: '/User time|System time/ {s += $2} END {print s}' run.time)
"$VOSTREL" sim flash read terminal KRNL -o written.bin > /dev/null
cmp -n "$IMAGE_BYTES" written.bin nk.raw || { echo "the partition does not hold the image"; exit 1; }
/usr/bin/time -f '%U %S' -o tools.time bash -c "$standard"

mapfile -t times < <("$TIMER" "$ROUNDS" "rm -f plain.bin copy.raw ;; $standard" "$fresh ;; $update")
tools=${times[0]}
run=${times[1]}

bound_kb=$(( (IMAGE_BYTES * 3 / 2 + 32 * 1024 * 1024) / 1024 ))
printf 'image:                 %d bytes (%d MiB), package %d bytes\n' "$IMAGE_BYTES" \
  $((IMAGE_BYTES / 1048576)) "$(stat -c %s install.bin)"
tools_cpu=$(awk '{print $1 + $2}' tools.time)
printf 'vostrel sim run:       %.2f s wall (best of %d), %.2f s CPU, peak %d KiB\n' "$run" \
  "$ROUNDS" "$run_cpu" "$peak_kb"
printf 'openssl+base64+cp:     %.2f s wall (best of %d), %.2f s CPU (of the shell around them, children included)\n' \
  "$tools" "$ROUNDS" "$tools_cpu"
printf 'time ratio:            %.2f (goal: at most 1.25)\n' "$(calc "$run / $tools")"
printf 'memory:                %d KiB of at most %d KiB (1.5 x image + 32 MiB): %.2f of the bound\n' \
  "$peak_kb" "$bound_kb" "$(calc "$peak_kb / $bound_kb")"
echo "load average after:    $(load)"
