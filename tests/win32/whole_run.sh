#!/usr/bin/env bash
# Whole updates of the demo's package by VostrelHHT.exe under Wine, on a terminal folder that the
# native vostrel makes, serves and checks:
#
#   whole_run.sh VOSTREL PROGRAMS MODE
#
# VOSTREL is the native vostrel command, PROGRAMS the folder of VostrelHHT.exe and the stand-ins,
# MODE "terminal" (the package beside the program), "desktop" (ACTIVESYNC, the package served
# by "vostrel desktop serve" on the terminal's root folder) or "signed" (beside the program, on a
# terminal that trusts a fresh key: first the unsigned package must end on screen 2 and change
# nothing, then the package signed with the key is the update, with no second run). The GPS chip
# runs on a pseudo-terminal behind the Wine prefix's COM6 ("vostrel sim gps serve"), the screen
# is a window under Xvfb. The update (PLAY PLAY) must end on screen 8, what it left must be what
# "vostrel demo" checks, and a second run must end on screen 5; every screen of the update is
# compared with the simulator's picture of it. As root, Wine and everything that touches the
# terminal run as the unprivileged user of tests/win32/wine.sh.
set -euo pipefail
vostrel=$1
programs=$2
mode=$3
here=$(cd "$(dirname "$0")" && pwd)
user=${VOSTREL_WINE_USER:-vostrelwine}

if [ "$(id -u)" -eq 0 ]; then
  home=$(getent passwd "$user" | cut -d: -f6)
  as_user() {
    setpriv --reuid="$user" --regid="$user" --init-groups \
      env HOME="$home" WINEPREFIX="$home/prefix" "$@"
  }
  # For a program in the background: the subshell becomes the program, so that $! is its own.
  as_user_bg() {
    exec setpriv --reuid="$user" --regid="$user" --init-groups \
      env HOME="$home" WINEPREFIX="$home/prefix" "$@"
  }
  prefix=$home/prefix
else
  as_user() { env WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vostrel}" "$@"; }
  as_user_bg() { exec env WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vostrel}" "$@"; }
  prefix=${WINEPREFIX:-$HOME/.wine-vostrel}
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

work=$(mktemp -d /tmp/vostrel-win32-"$mode".XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  as_user /usr/lib/wine/wineserver -k > /dev/null 2>&1 || true
  if [ -z "${VOSTREL_KEEP_RUN:-}" ]; then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT

# The package, and the simulator's update of it with a picture of every screen.
"$vostrel" demo "$work/demo" > "$work/demo.txt"
terminal=$work/terminal
trust=()
if [ "$mode" = signed ]; then
  "$vostrel" pack keygen "$work/signer.pem" "$work/signer.pub" > /dev/null
  cp "$work/demo/install.bin" "$work/signed.bin"
  "$vostrel" pack sign "$work/signed.bin" --key "$work/signer.pem" > /dev/null
  trust=(--trust "$work/signer.pub")
fi
"$vostrel" sim demo-init "$terminal" "${trust[@]}" > /dev/null
# A service engineer's debug marker, as the demo leaves one.
: > "$terminal/fs/Flash Disk2/progress.dbg"
chmod a-w "$terminal/fs/Flash Disk2/progress.dbg"
mkdir "$work/programs"
cp "$programs"/VostrelHHT.exe "$programs"/tavimon.exe "$programs"/rerunner.exe "$work/programs/"
# The user may not reach the build where it lies; vostrel finds its renderer beside itself.
cp "$vostrel" "$(dirname "$vostrel")"/libvostrel_display.so "$work/programs/"
served=$work/programs/vostrel
[ "$mode" != desktop ] && cp "$work/demo/install.bin" "$terminal/fs/Storage Card/install.bin"
[ "$(id -u)" -eq 0 ] && chown -R "$user" "$work"

# Wine makes its serial ports from the prefix's dosdevices links when its server starts: the link
# goes first, to a stable name that the chip's pseudo-terminal then takes.
as_user /usr/lib/wine/wineserver -k > /dev/null 2>&1 || true
as_user ln -sfn "$work/com6" "$prefix/dosdevices/com6"
as_user_bg "$served" sim gps serve "$terminal" --link "$work/com6" --speed 20 > "$work/gps.txt" &
pids+=($!)
for _ in $(seq 100); do [ -L "$work/com6" ] && break; sleep 0.1; done
commandLine=()
[ "$mode" = desktop ] && commandLine=(ACTIVESYNC)
# In desktop mode the desktop serves each run until the terminal says it finished.
desktop() {
  as_user_bg "$served" desktop serve --package "$work/demo/install.bin" --root "$terminal/fs" \
    > "$work/desktop-$1.txt" &
  pids+=($!)
}

run() {  # run NAME KEYS: one run of the updater in a window under Xvfb
  as_user xvfb-run -a -s "-screen 0 640x480x24" /usr/lib/wine/wine64 \
    "$work/programs/VostrelHHT.exe" --terminal "$terminal" --keys "$2" \
    --screens "$work/$1-screens" --report "$work/$1.json" "${commandLine[@]}" || true
}

final_screen() { sed -n 's/^  "final_screen": \([0-9]*\),*$/\1/p' "$1"; }

# What a refused package must leave as it was: the files, the flash and the GPS chip, but the
# logs that say why.
contents() {
  (cd "$terminal" && find fs flash gps -type f ! -name '*.log' ! -name '*.dbg' -print0 |
    sort -z | xargs -0 sha256sum)
}

failed=0
if [ "$mode" = signed ]; then
  before=$(contents)
  run refused PLAY
  if [ "$(final_screen "$work/refused.json")" != 2 ]; then
    echo "FAILED: the unsigned package on a terminal that trusts a key did not end on screen 2"
    failed=1
  fi
  if ! grep -q "Package is not signed" "$terminal/fs/Flash Disk2/Vostrel.log"; then
    echo "FAILED: the log does not say that the package is not signed"
    failed=1
  fi
  if [ "$(contents)" != "$before" ]; then
    echo "FAILED: the refused package changed the terminal"
    diff <(echo "$before") <(contents) || true
    failed=1
  fi
  as_user cp "$work/signed.bin" "$terminal/fs/Storage Card/install.bin"
fi
[ "$mode" = desktop ] && desktop update
run update "PLAY PLAY"
cat "$work/update.json"
if [ "$(final_screen "$work/update.json")" != 8 ]; then
  echo "FAILED: the update did not end on screen 8"
  tail -20 "$terminal/fs/Flash Disk2/Vostrel.log" 2>/dev/null || true
  failed=1
fi
if [ "$mode" != signed ]; then
  [ "$mode" = desktop ] && desktop again
  run again "PLAY PLAY"
  if [ "$(final_screen "$work/again.json")" != 5 ]; then
    echo "FAILED: the second run did not end on screen 5"
    failed=1
  fi
fi
kill "${pids[0]}"
wait "${pids[0]}" || true
as_user /usr/lib/wine/wineserver -k > /dev/null 2>&1 || true

echo "== what the update left, checked as vostrel demo checks it"
"$vostrel" sim demo-check "$terminal" --demo "$work/demo" || failed=1
"$vostrel" sim show "$terminal"

echo "== each screen of the update as it was left, compared with the simulator's picture of it"
reference=$work/demo/screens/$([ "$mode" = desktop ] && echo desktop-terminal || echo terminal)-run1
for screen in $(ls "$work/update-screens" | sed -n 's/^[0-9]*-screen\([0-9]*\)\.bmp$/\1/p' | sort -u); do
  shot=$(ls "$work"/update-screens/*-screen"$screen".bmp | tail -1)
  picture=$(ls "$reference"/*-screen"$screen".png 2>/dev/null | tail -1)
  echo "screen $screen: $(basename "$shot") and the simulator's $(basename "${picture:-none}")"
  [ -n "$picture" ] && { "$vostrel" sim compare-screens "$shot" "$picture" || true; }
done
[ -n "${VOSTREL_SCREENSHOTS:-}" ] && cp -r "$work/update-screens" "$VOSTREL_SCREENSHOTS"
exit "$failed"
