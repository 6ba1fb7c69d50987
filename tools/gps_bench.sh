#!/bin/sh
# Times the programming of a 1 MiB GPS firmware on a fresh simulated terminal along both paths:
# the binary image through the flash engine, and the same image as S-records through the boot
# loader. For each it prints the virtual time of the programming (from the GPS driver's hand-over
# to its taking back, as the run report gives them) against what it must be, and the wall time
# of the whole "vostrel sim run". Run it by hand after a build:
#
#   tools/gps_bench.sh [BUILD_DIR]
#
# What it must be: the bytes that crossed the line, 10 bit times each at the rate they were sent
# at (the exchanges never overlap: each side waits for the other), plus the waits the protocols
# order (flash engine: 500 ms before the first-stage loader and 500 ms after the baud switch;
# boot loader: 2000 ms before the S-records and the 10 ms read that drains the port), plus what
# the chip takes and the terminal waits for (flash engine: every sector erase and every write;
# boot loader: the flash erase before "SA", whose reads poll every 11 ms; the programming of the
# lines runs while further lines arrive and costs the terminal nothing).
set -eu
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/firmware.txt" <<'END'
version = 9.0.0
size = 1048576
binary = FW900.BIN
srecord = FW900.SRE
boot_loader = GPSBOOT.LDR
END
"$build/tools/gps_images/make_gps_images" examples "$work/firmware.txt" "$work/made"
mkdir -p "$work/engine" "$work/bootloader"
cp "$work/made/FW900.BIN" "$work/engine/"
cp "$work/made/FW900.SRE" "$work/made/GPSBOOT.LDR" "$work/bootloader/"
printf '[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\nGpsSoftware1=GPS|9.0.0|FW900.BIN^FIRMWARE\r\n' \
  >"$work/engine.ini"
printf '[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\nGpsSoftware1=GPS|2|GPSBOOT.LDR^BOOT\r\nGpsSoftware2=GPS|9.0.0|FW900.SRE^FIRMWARE\r\n' \
  >"$work/bootloader.ini"

for path in engine bootloader; do
  "$build/vostrel" pack build "$work/$path.pkg" --ini "$work/$path.ini" --dir "$work/$path" >/dev/null
  "$build/vostrel" sim init "$work/t-$path" >/dev/null
  start=$(date +%s%N)
  "$build/vostrel" sim run "$work/t-$path" --package "$work/$path.pkg" --keys PLAY \
    --report "$work/$path.json" >/dev/null
  end=$(date +%s%N)
  python3 - "$work/$path.json" "$path" "$(( (end - start) / 1000000 ))" <<'END'
import json, sys
report, path, wall = json.load(open(sys.argv[1])), sys.argv[2], int(sys.argv[3])
gps = report["gps_programming"]
measured = gps["taken_back_ms"] - gps["handed_over_ms"]
wire = {}
for side in ("terminal_bytes", "chip_bytes"):
    for baud, count in gps[side].items():
        wire[int(baud)] = wire.get(int(baud), 0) + count
wire_ms = sum(count * 10 * 1000 / baud for baud, count in wire.items())
if path == "engine":
    waits, chip = 500 + 500, gps["erase_ms"] + gps["program_ms"]
    name = "flash engine, 1 MiB binary image"
else:
    waits, chip = 2000 + 10, gps["erase_ms"]
    name = "boot loader, 1 MiB image as S-records"
expected = wire_ms + waits + chip
print(f"{name}: final screen {report['final_screen']}, GPS {report['parts']['gps']['installed_after']}")
for baud, count in sorted(wire.items()):
    print(f"  {count:>9} bytes at {baud:>6} baud  {count * 10 * 1000 / baud / 1000:9.3f} s")
print(f"  waits the protocol orders   {waits / 1000:9.3f} s")
print(f"  chip erasing and writing    {chip / 1000:9.3f} s  (erase {gps['erase_ms'] / 1000:.3f} s,"
      f" program {gps['program_ms'] / 1000:.3f} s)")
print(f"  expected                    {expected / 1000:9.3f} s")
print(f"  virtual time measured       {measured / 1000:9.3f} s  ({100 * (measured - expected) / expected:+.2f}%)")
print(f"  wall time of the whole run  {wall / 1000:9.3f} s")
END
done
