#!/usr/bin/env bash
# Signs one file of the product in place with osslsigncode (Authenticode, SHA-256):
#   sign_file.sh PKCS12 PASSWORD_FILE TIMESTAMP_URL|- FILE
# The build runs it for the programs before they are packed, for the installer and its
# uninstaller (from makensis) and for the Windows Installer package last.
set -euo pipefail
if [ $# -ne 4 ]; then
    echo "usage: sign_file.sh PKCS12 PASSWORD_FILE TIMESTAMP_URL|- FILE" >&2
    exit 2
fi
pkcs12=$1 password_file=$2 timestamp_url=$3 file=$4
timestamp=()
[ "$timestamp_url" != - ] && timestamp=(-ts "$timestamp_url")
# osslsigncode writes a new file; the signed one replaces the original only when complete.
signed=$file.signing
rm -f "$signed"
osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
    -n "Zentavo printer" -i "https://www.tovalin.hu/" "${timestamp[@]}" \
    -in "$file" -out "$signed" >/dev/null
mv -f "$signed" "$file"
