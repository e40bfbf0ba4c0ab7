#!/usr/bin/env bash
# Command lines the tool does not act on give 6 and change nothing; a parent handle that names
# no window (or one ignored for an extra word) leaves the install as it is: "in notray" is an
# install whose second word is taken for a handle.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin bad_input
companion_log=$(e2e_file 'C:\Program Files\Zentavo\zentray.log')

e2e_layout
e2e_setup install
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
before=$(e2e_inspect)
log_before=$(cat "$companion_log")

for words in "" "bogus" "DEF.SET" "Def.set" "installer" "in_tray" "bogus 123"; do
    # shellcheck disable=SC2086
    e2e_setup $words
    e2e_check_eq "'$words' exits 6" "6" "$E2E_CODE"
    e2e_check_eq "'$words' opens no window" "" "$E2E_LOGWIN"
    e2e_check_eq "'$words' changed nothing" "$before" "$(e2e_inspect)"
    e2e_check_eq "'$words' left the companion alone" "$log_before" "$(cat "$companion_log")"
done

for words in "install 123456" "install abc" "install 0 extra" "INSTALL -5" "in notray"; do
    # shellcheck disable=SC2086
    e2e_setup $words
    e2e_check_eq "'$words' installs: exits 1" "1" "$E2E_CODE"
    e2e_check_eq "'$words' opens no window" "" "$E2E_LOGWIN"
    e2e_check_eq "'$words' leaves the same state" "$before" "$(e2e_inspect)"
done

e2e_end
