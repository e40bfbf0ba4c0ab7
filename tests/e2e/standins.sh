#!/usr/bin/env bash
# The stand-in components through Wine's real spooler, without setup.exe, and the inspection
# tool's view of what was set.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin standins
system=$(e2e_file 'C:\windows\system32')
driver_dir=$(e2e_file 'C:\windows\system32\spool\drivers\x64')

# Port monitor: registered from the system folder, its port listed by every EnumPortsW.
e2e_stage_standins
e2e_check_eq "AddMonitorW takes the stand-in monitor" "ok" "$(e2e_spoolctl addmonitor)"
e2e_check_eq "a second AddMonitorW: already installed" "failed 3006" "$(e2e_spoolctl addmonitor)"
state=$(e2e_inspect monitors ports)
e2e_check_has "the monitor is listed with its DLL" "$state" 'monitor "Zentavo:" dll "tvlmon64.dll"'
e2e_check_has "its one port is listed" "$state" 'port "Zentavo:"'
state=$(e2e_inspect ports)
e2e_check_has "a second enumeration loads it again" "$state" 'port "Zentavo:"'

# Builds read back through the version API, from the system folder and from each variant.
e2e_check_eq "installed monitor build" "2551" "$(e2e_inspect build 'C:\windows\system32\tvlmon64.dll')"
for build in 2450 2451 2551 2552; do
    e2e_check_eq "monitor-$build build" "$build" \
        "$(e2e_inspect build "$(e2e_winpath "$E2E_STANDINS/monitor-$build/tvlmon64.dll")")"
done
e2e_check_eq "monitor-noversion has no build" "none" \
    "$(e2e_inspect build "$(e2e_winpath "$E2E_STANDINS/monitor-noversion/tvlmon64.dll")")"
for build in 2450 2451; do
    e2e_check_eq "driver-$build build" "$build" \
        "$(e2e_inspect build "$(e2e_winpath "$E2E_STANDINS/driver-$build/tvldrv64.dll")")"
done

# Driver: staged in the printer driver folder (with the monitor, above), copied by the spooler
# into x64\3.
e2e_check_eq "AddPrinterDriverExW takes the stand-in driver" "ok" "$(e2e_spoolctl adddriver)"
state=$(e2e_inspect drivers)
e2e_check_has "driver listed with version and build" "$state" 'driver "Zentavo printer" version 3 build 2551'
e2e_check_has "configuration DLL in the driver store" "$state" \
    'driver "Zentavo printer" config "C:\windows\system32\spool\drivers\x64\3\tvlui64.dll"'
e2e_check_has "help file in the driver store" "$state" \
    'driver "Zentavo printer" help "C:\windows\system32\spool\drivers\x64\3\tvlhelp.chm"'

# Printer on the monitor's port with the driver, its settings, default status and deletion.
e2e_check_eq "AddPrinterW with the stand-in driver" "ok" "$(e2e_spoolctl addprinter Zentavo)"
e2e_check_eq "SubKey written plain and under DsUser" "ok" "$(e2e_spoolctl subkey Zentavo 'abc 1')"
e2e_check_eq "comment and location written" "ok" "$(e2e_spoolctl setinfo Zentavo 'My comment' 'Room 1')"
e2e_check_eq "made the default printer" "ok" "$(e2e_spoolctl default Zentavo)"
state=$(e2e_inspect printers default)
e2e_check_has "printer with port, driver, comment, location" "$state" \
    'printer "Zentavo" port "Zentavo:" driver "Zentavo printer" comment "My comment" location "Room 1" attributes 0x00000000'
e2e_check_has "SubKey printer data" "$state" 'printer "Zentavo" SubKey REG_SZ "abc 1"'
e2e_check_has "SubKey under DsUser" "$state" 'printer "Zentavo" DsUser\SubKey REG_SZ "abc 1"'
e2e_check_has "default printer" "$state" 'default "Zentavo"'
e2e_check_eq "DeleteMonitorW does not refuse a monitor in use" "ok" "$(e2e_spoolctl delmonitor)"
e2e_check_eq "monitor registered again" "ok" "$(e2e_spoolctl addmonitor)"
e2e_check_eq "printer deleted" "ok" "$(e2e_spoolctl delprinter Zentavo)"
state=$(e2e_inspect printers default)
e2e_check_eq "no printer and no default left" "default none (error 2)" "$state"

# A printer added the way the setup tool fills PRINTER_INFO_2 (no datatype): Wine registers it
# but cannot open it afterwards, so it can be neither changed nor deleted through the spooler.
e2e_check_eq "AddPrinterW without datatype fails after registering" "failed 1801" \
    "$(e2e_spoolctl addprinter Halfway Zentavo: -)"
e2e_check_has "the half-registered printer is listed" "$(e2e_inspect printers)" \
    'printer "Halfway" port "Zentavo:" driver "Zentavo printer" comment "" location "" attributes 0x00000000'
e2e_check_eq "and cannot be deleted" "failed 1801" "$(e2e_spoolctl delprinter Halfway)"
wine reg delete 'HKLM\System\CurrentControlSet\Control\Print\Printers\Halfway' /f >/dev/null 2>&1
e2e_check_eq "gone once its registry key is" "" "$(e2e_inspect printers)"

# Driver and monitor removal as Wine does it.
e2e_check_eq "DeletePrinterDriverExW rejects DPD_DELETE_ALL_FILES" "failed 87" "$(e2e_spoolctl deldriver 4)"
e2e_check_eq "DeletePrinterDriverExW with flags 0" "ok" "$(e2e_spoolctl deldriver 0)"
e2e_check_eq "deleting it again fails without an error code" "failed 0" "$(e2e_spoolctl deldriver 0)"
e2e_check "driver files stay in the store" test -f "$driver_dir/3/tvldrv64.dll"
e2e_check_eq "no driver listed" "" "$(e2e_inspect drivers)"
e2e_check_eq "DeleteMonitorW" "ok" "$(e2e_spoolctl delmonitor)"
e2e_check_eq "unknown monitor" "failed 3000" "$(e2e_spoolctl delmonitor)"
e2e_check_lacks "monitor gone" "$(e2e_inspect monitors ports)" 'port "Zentavo:"'

# Registry state the tool acts on: Run value, per-user keys, pending deletions.
wine reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v ZentavoTray /t REG_SZ \
    /d 'C:\Program Files\Zentavo\zentray.exe' /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Tovalin Software KFT\Zentavo\Zentavos\abc 1' /v deleted /t REG_SZ /d 1 /f >/dev/null 2>&1
state=$(e2e_inspect run user)
e2e_check_has "Run value" "$state" 'run ZentavoTray REG_SZ "C:\Program Files\Zentavo\zentray.exe"'
e2e_check_has "per-user key value" "$state" 'user "Zentavos\abc 1" "deleted" REG_SZ "1"'
e2e_check_has "per-user parent key" "$state" 'user "Zentavos" (key)'

# A locked file cannot be deleted from Windows until its holder lets go; a delete at reboot is
# listed, and the next cold start of the wineserver carries it out.
e2e_hold_file 'C:\windows\system32\tvlmon64.dll'
e2e_check_eq "DeleteFileW on a held file: sharing violation" "failed 32" \
    "$(e2e_spoolctl delete 'C:\windows\system32\tvlmon64.dll')"
e2e_release_file
e2e_check_eq "scheduled for deletion at reboot" "ok" \
    "$(e2e_spoolctl deletelater 'C:\windows\system32\tvlmon64.dll')"
e2e_check_eq "pending operation listed" 'pending 1 "\??\C:\windows\system32\tvlmon64.dll" -> ""' \
    "$(e2e_inspect pending)"
e2e_check "still there before the restart" test -f "$system/tvlmon64.dll"
e2e_cold_start
e2e_check_eq "pending list empty after a cold start" "pending none" "$(e2e_inspect pending)"
e2e_check "file deleted by the cold start" test ! -e "$system/tvlmon64.dll"

e2e_end
