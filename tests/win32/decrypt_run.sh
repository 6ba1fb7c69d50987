#!/usr/bin/env bash
# Packages that "vostrel pack build" encrypts, with the pass phrase and with key material,
# decrypt through CryptoAPI under Wine (decrypt_member.exe, the updater's own decryption on the
# Win32 backend, on a terminal with the matching key material) to exactly the plain image, as
# the simulator's path (pack extract --decrypt) does.
#
#   decrypt_run.sh VOSTREL PROGRAMS
set -euo pipefail
vostrel=$1
programs=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/vostrel-win32-decrypt.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT

mkdir "$work/payload"
# A kernel image of 600,000 bytes in .BIN records: three chunks and a piece of a fourth.
seq 1 120000 > "$work/raw.nb0"
truncate -s 600000 "$work/raw.nb0"
"$vostrel" pack mkbin "$work/raw.nb0" "$work/payload/NK.BIN" --start 0x80200000 > /dev/null
printf '[SoftwareToUpdate]\nUpdate1=OS\n[OS]\nOSSoftware1=OS|4.2.121|NK.BIN^1^KRNL\n' \
  > "$work/Vostrel.ini"
cp "$programs/tests/win32/decrypt_member.exe" "$work/"
failed=0
for material in "" 0a1b2c3d4e5f60718293a4b5c6d7e8f9; do
  name=${material:-pass-phrase}
  options=()
  [ -n "$material" ] && options=(--key-material "$material")
  "$vostrel" pack build "$work/$name.bin" --ini "$work/Vostrel.ini" --dir "$work/payload" \
    "${options[@]}" > /dev/null
  mkdir "$work/$name"
  "$vostrel" pack extract "$work/$name.bin" NK.BIN -C "$work/$name" > /dev/null
  mv "$work/$name/NK.BIN" "$work/$name/NK.encrypted"
  "$vostrel" pack extract "$work/$name.bin" NK.BIN -C "$work/$name" --decrypt "${options[@]}" \
    > /dev/null
  "$vostrel" sim init "$work/$name/terminal" > /dev/null
  # The terminal answers the key material the package was built with, or none.
  sed -i "s/\"key_material\": null/\"key_material\": \"${material}\"/; s/\"key_material\": \"\"/\"key_material\": null/" \
    "$work/$name/terminal/terminal.json"
  sed -i 's/"running": true/"running": false/' "$work/$name/terminal/terminal.json"
  [ "$(id -u)" -eq 0 ] && chown -R "${VOSTREL_WINE_USER:-vostrelwine}" "$work"
  "$here/wine.sh" "$work/decrypt_member.exe" --terminal "$work/$name/terminal" \
    "$work/$name/NK.encrypted" "$work/$name/NK.cryptoapi"
  if cmp "$work/$name/NK.cryptoapi" "$work/$name/NK.BIN" && cmp "$work/$name/NK.BIN" "$work/payload/NK.BIN"; then
    echo "$name: CryptoAPI under Wine decrypts to the same $(stat -c %s "$work/$name/NK.BIN") bytes as the simulator's path"
  else
    echo "$name: FAILED: CryptoAPI's plain image differs"
    failed=1
  fi
done
exit "$failed"
