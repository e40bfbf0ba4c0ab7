#!/usr/bin/env bash
# A reinstall replaces an installed monitor whose build lies outside 2451..2551 and keeps one
# inside it; printers on the monitor's port keep it either way. (Wine never refuses to delete
# a monitor in use, so printers are never parked on "file:" here: the unit tests of the port
# monitor prove the parking and the move back by injection.)
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin monitor_versions
monitor='C:\windows\system32\tvlmon64.dll'

e2e_add_foreign_printer Other
e2e_add_foreign_printer OnPort Zentavo:
read -r -d '' printers <<'EOF'
printer "OnPort" port "Zentavo:" driver "Foreign printer" comment "" location "" attributes 0x00000000
printer "Other" port "LPT1:" driver "Foreign printer" comment "" location "" attributes 0x00000000
printer "Zentavo" SubKey REG_SZ "kept"
printer "Zentavo" DsUser\SubKey REG_SZ "kept"
printer "Zentavo" port "Zentavo:" driver "Zentavo printer" comment "" location "" attributes 0x00000000
EOF
printers=$(sort <<<"$printers")

# Installs the monitor of FOLDER (over nothing), then reinstalls with the tool's own files.
reinstall_over() {
    local folder=$1 build=$2
    e2e_setup uninstall
    e2e_layout "$folder"
    e2e_setup install
    e2e_check_eq "$folder: install exits 1" "1" "$E2E_CODE"
    e2e_check_eq "$folder: its monitor installed" "$build" "$(e2e_inspect build "$monitor")"
    e2e_spoolctl subkey Zentavo kept >/dev/null
    e2e_layout
    e2e_setup install
    e2e_check_eq "$folder: reinstall exits 1" "1" "$E2E_CODE"
    e2e_check_eq "$folder: no log window" "" "$E2E_LOGWIN"
}

for variant in "monitor-2450 2450" "monitor-2552 2552" "monitor-noversion none"; do
    set -- $variant
    reinstall_over "$1" "$2"
    e2e_check_eq "$1: monitor file replaced by build 2551" "2551" "$(e2e_inspect build "$monitor")"
    e2e_check_has "$1: monitor registered" "$(e2e_inspect monitors)" 'monitor "Zentavo:" dll "tvlmon64.dll"'
    e2e_check_eq "$1: printers keep their ports" "$printers" "$(e2e_inspect printers)"
done

reinstall_over monitor-2451 2451
e2e_check_eq "monitor-2451: monitor kept, build stays 2451" "2451" "$(e2e_inspect build "$monitor")"
e2e_check_has "monitor-2451: monitor still registered" "$(e2e_inspect monitors)" \
    'monitor "Zentavo:" dll "tvlmon64.dll"'
e2e_check_has "monitor-2451: its port still listed" "$(e2e_inspect ports)" 'port "Zentavo:"'
e2e_check_eq "monitor-2451: printers keep their ports" "$printers" "$(e2e_inspect printers)"

e2e_end
