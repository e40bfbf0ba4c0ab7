#!/usr/bin/env bash
# Files the tool cannot delete: scheduled for deletion at the next boot (exit 101), nothing else
# lost, and the boot takes exactly those; an install before that boot keeps its new monitor.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin locked_files
system=$(e2e_file 'C:\windows\system32')
staging=$(e2e_file 'C:\windows\system32\spool\drivers\x64')
monitor='C:\windows\system32\tvlmon64.dll'

e2e_layout
clean=$(e2e_inspect)
e2e_setup install
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
installed=$(e2e_inspect)

# Uninstall while the monitor DLL is held open: everything else goes, the DLL is scheduled.
e2e_hold_file "$monitor"
e2e_setup uninstall
e2e_check_eq "uninstall with the monitor DLL held exits 101" "101" "$E2E_CODE"
e2e_check_eq "no log window (no error)" "" "$E2E_LOGWIN"
# Read before any cold start of the wineserver, which would carry the deletion out.
e2e_check_eq "the rest removed, the DLL pending deletion" \
    "${clean/pending none/pending 1 \"\\??\\$monitor\" -> \"\"}" "$(e2e_inspect)"
e2e_check "the DLL still there before the reboot" test -f "$system/tvlmon64.dll"
e2e_release_file
e2e_reboot
e2e_check "the reboot deleted it" test ! -e "$system/tvlmon64.dll"
e2e_check_eq "state clean after the reboot" "$clean" "$(e2e_inspect)"

# Install while a staged driver file is held by a reader that refuses only deletion: the
# tool copies over it and the spooler takes it, but it cannot be deleted afterwards.
cp "$E2E_STANDINS/default/tvlui64.dll" "$staging/tvlui64.dll"
e2e_hold_file 'C:\windows\system32\spool\drivers\x64\tvlui64.dll' nodelete
e2e_setup install
e2e_check_eq "install with a staged file held exits 101" "101" "$E2E_CODE"
e2e_check_eq "installed, the staged file pending deletion" \
    "${installed/pending none/pending 1 \"\\??\\C:\\windows\\system32\\spool\\drivers\\x64\\tvlui64.dll\" -> \"\"}" \
    "$(e2e_inspect)"
e2e_release_file
e2e_reboot
e2e_check "the reboot deleted the staged file" test ! -e "$staging/tvlui64.dll"
e2e_check_eq "the installed product intact after the reboot" "$installed" "$(e2e_inspect)"
e2e_check_eq "monitor DLL in the system folder" "2551" "$(e2e_inspect build "$monitor")"
for file in tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    e2e_check "$file in the driver store" test -f "$staging/3/$file"
done

# Uninstall that leaves the monitor DLL scheduled, then an install before the reboot: the new
# DLL lies where the boot would delete the old one. The install takes exactly that deletion out
# of the list; another program's pending deletion stays.
mkdir -p "$(e2e_file 'C:\other')"
echo other >"$(e2e_file 'C:\other\leftover.txt')"
e2e_spoolctl deletelater 'C:\other\leftover.txt' >/dev/null
e2e_hold_file "$monitor"
e2e_setup uninstall
e2e_check_eq "uninstall with the monitor DLL held exits 101" "101" "$E2E_CODE"
e2e_release_file
pending=$(e2e_inspect pending)
e2e_check_eq "two deletions pending" \
    "pending 1 \"\\??\\C:\\other\\leftover.txt\" -> \"\"
pending 2 \"\\??\\$monitor\" -> \"\"" "$pending"
e2e_setup install
e2e_check_eq "install before the reboot exits 1" "1" "$E2E_CODE"
e2e_check_eq "only the monitor's deletion taken out" \
    "pending 1 \"\\??\\C:\\other\\leftover.txt\" -> \"\"" "$(e2e_inspect pending)"
e2e_reboot
e2e_check_eq "the new monitor DLL survives the reboot" "2551" "$(e2e_inspect build "$monitor")"
e2e_check_eq "the installed product intact after the reboot" "$installed" "$(e2e_inspect)"

rm -rf "$(e2e_file 'C:\other')"
e2e_end
