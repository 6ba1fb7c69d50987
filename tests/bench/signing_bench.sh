#!/usr/bin/env bash
# What signing costs, measured side by side with the files warm in the page cache. Run by hand,
# not by ctest:
#
#   tests/bench/signing_bench.sh [build/vostrel] [ROUNDS]
#
# 1. "vostrel pack verify --key" of a signed 512 MiB package (the checksum, the signature and
#    every member's hash) against "vostrel pack verify" of the same package unsigned (goal: at
#    most 1.5 times).
# 2. A whole 32 MiB kernel update through "vostrel sim run" of the signed package on a terminal
#    that trusts its key, against the unsigned package on a terminal without keys (goal: at most
#    1.3 times). Each run gets a fresh terminal, made untimed.
# The commands take turns for ROUNDS rounds (default 5); the best wall time of each counts.
set -euo pipefail

. "$(dirname "$0")/bench_setup.sh" "$@"

calc() { python3 -c "print(f'{$1:.2f}')"; }
echo "load average before: $(load) on $(nproc) cores"
"$VOSTREL" pack keygen key.pem key.pub > /dev/null

# 1. A 512 MiB package.
mkdir -p big/Data
head -c $((512 * 1024 * 1024 - 4096)) /dev/urandom > big/Data/blob.bin
printf '[SoftwareToUpdate]\r\n' > big/Vostrel.ini
"$VOSTREL" pack build big.bin --dir big > /dev/null 2>&1
"$VOSTREL" pack build signed.bin --dir big --sign key.pem > /dev/null 2>&1
rm -rf big
mapfile -t times < <("$TIMER" "$ROUNDS" "$VOSTREL pack verify big.bin" \
  "$VOSTREL pack verify signed.bin --key key.pub")
echo "pack verify (unsigned):       ${times[0]} s"
echo "pack verify --key (signed):   ${times[1]} s"
echo "ratio:                        $(calc "${times[1]} / ${times[0]}") (goal: at most 1.5)"
rm -f big.bin signed.bin

# 2. A 32 MiB kernel update.
mkdir payload
{ printf 'VOSTREL-VERSION:9.9.9\0'; head -c $((32 * 1024 * 1024 - 22)) /dev/urandom; } > nk.raw
"$VOSTREL" pack mkbin nk.raw payload/NK.BIN > /dev/null
printf '[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|9.9.9|NK.BIN^1^KRNL\r\n' \
  > payload/Vostrel.ini
"$VOSTREL" pack build plain.bin --dir payload > /dev/null 2>&1
"$VOSTREL" pack build signed.bin --dir payload --sign key.pem > /dev/null 2>&1
"$VOSTREL" sim init plain0 > /dev/null
"$VOSTREL" sim init trusting0 > /dev/null
python3 - trusting0/terminal.json key.pub <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config['security']['trusted_keys'] = [open(sys.argv[2]).read()]
json.dump(config, open(sys.argv[1], 'w'), indent=2)
PY
for kind in plain trusting; do
  rm -rf t && cp -a ${kind}0 t
  package=$([ $kind = plain ] && echo plain.bin || echo signed.bin)
  "$VOSTREL" sim run t --package $package --keys 'PLAY PLAY' > run.out
  grep -q "Final screen: 8" run.out || { cat run.out; echo "the $kind update did not complete"; exit 1; }
done
mapfile -t times < <("$TIMER" "$ROUNDS" \
  "rm -rf t && cp -a plain0 t ;; $VOSTREL sim run t --package plain.bin --keys 'PLAY PLAY'" \
  "rm -rf t && cp -a trusting0 t ;; $VOSTREL sim run t --package signed.bin --keys 'PLAY PLAY'")
echo "kernel update, unsigned:      ${times[0]} s"
echo "kernel update, signed:        ${times[1]} s"
echo "ratio:                        $(calc "${times[1]} / ${times[0]}") (goal: at most 1.3)"
echo "load average after:  $(load)"
