#!/usr/bin/env bash
# The status commands: "onInit" (200 product file pending, 102 default printer not a product
# printer, 3 otherwise), "onChkDrv" (103 current driver, 3 old or none), "def.set" (4).
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin probes
monitor='C:\windows\system32\tvlmon64.dll'

# Probe COMMAND EXPECTED [DESCRIPTION]: the exit code, and no change to the state or setup.log.
probe() {
    local before log_before
    before=$(e2e_inspect)
    log_before=$(e2e_setup_log | md5sum)
    e2e_setup "$1"
    e2e_check_eq "$1 exits $2${3:+: $3}" "$2" "$E2E_CODE"
    e2e_check_eq "$1 changed nothing" "$before" "$(e2e_inspect)"
    e2e_check_eq "$1 wrote nothing to setup.log" "$log_before" "$(e2e_setup_log | md5sum)"
}

e2e_layout
probe onInit 102 "no default printer"
probe onChkDrv 3 "no product printer"
e2e_check_eq "the probes left the fresh prefix's spooler stopped" "STOPPED" "$(e2e_spooler_state)"

# The install starts it and leaves it running: the product's printers need it.
e2e_setup install
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
e2e_check_eq "the install left the spooler running" "RUNNING" "$(e2e_spooler_state)"
e2e_check_has "and says so" "$(e2e_setup_log last)" \
    "    The spooler was stopped before this install: it stays running, the product's printers need it"
probe onInit 102 "the new printer is not the default"
probe onChkDrv 103 "driver build 2551"

e2e_setup def.set
e2e_check_eq "def.set exits 4" "4" "$E2E_CODE"
e2e_check_eq "the product printer is the default" 'default "Zentavo"' "$(e2e_inspect default)"
probe onInit 3 "the default is a product printer"

e2e_add_foreign_printer Other
e2e_spoolctl default Other >/dev/null
probe onInit 102 "the default uses another driver"
e2e_setup def.set
e2e_check_eq "def.set exits 4" "4" "$E2E_CODE"
e2e_check_eq "the product printer is the default again" 'default "Zentavo"' "$(e2e_inspect default)"

# An old driver build.
e2e_layout driver-2450
e2e_setup install
e2e_check_eq "install of driver build 2450 exits 1" "1" "$E2E_CODE"
probe onChkDrv 3 "driver build 2450"
e2e_layout
e2e_setup install
probe onChkDrv 103 "driver build 2551 again"

# A product file pending deletion that stays locked; once released, the probe deletes it. The
# probe's restarts of a spooler it found stopped leave it stopped.
e2e_hold_file "$monitor"
e2e_spoolctl deletelater "$monitor" >/dev/null
e2e_wine net stop spooler >/dev/null
probe onInit 200 "the monitor DLL pending and held"
e2e_check_eq "the probe left the stopped spooler stopped" "STOPPED" "$(e2e_spooler_state)"
e2e_release_file
# "Zentavo" had no "SubKey": the reinstalls re-created it as new, and the default went to
# "Other" when the old one was deleted.
e2e_check_eq "the default is the foreign printer" 'default "Other"' "$(e2e_inspect default)"
e2e_setup onInit
e2e_check_eq "onInit once the DLL is free exits 102" "102" "$E2E_CODE"
e2e_check "the probe carried out the deletion" test ! -e "$(e2e_file "$monitor")"

e2e_spoolctl delprinter Other >/dev/null
e2e_end
