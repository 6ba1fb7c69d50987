#!/bin/sh
# Runs a Win32 program under Wine: wine.sh PROGRAM.exe [ARGUMENTS...], or wine.sh --init to make
# the Wine prefix. Wine keeps the read-only attribute in the files' write permissions, which root
# ignores, so as root (CI) the program runs as the unprivileged user VOSTREL_WINE_USER
# (vostrelwine, made by "make test-win32") in that user's own prefix, from a copy of the
# program's folder when that user cannot read it where it is. Any other user runs it as itself.
set -eu
user=${VOSTREL_WINE_USER:-vostrelwine}
wine=/usr/lib/wine/wine64

if [ "$(id -u)" -eq 0 ]; then
  home=$(getent passwd "$user" | cut -d: -f6)
  [ -n "$home" ] || { echo "wine.sh: no user $user (make test-win32 makes it)" >&2; exit 1; }
  run() {
    cd "$home" && setpriv --reuid="$user" --regid="$user" --init-groups \
      env HOME="$home" WINEPREFIX="$home/prefix" "$@"
  }
else
  home=$HOME
  run() { env WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vostrel}" "$@"; }
fi
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="

if [ "${1:-}" = "--init" ]; then
  run "$wine" wineboot --init
  run /usr/lib/wine/wineserver -w
  exit 0
fi

program=$1
shift
if [ "$(id -u)" -eq 0 ] && ! setpriv --reuid="$user" --regid="$user" --init-groups test -r "$program"; then
  stage="$home/stage/$(basename "$(dirname "$program")")"
  mkdir -p "$stage"
  cp "$(dirname "$program")"/*.exe "$stage/"
  chown -R "$user" "$home/stage"
  program="$stage/$(basename "$program")"
fi
run "$wine" "$program" "$@"
