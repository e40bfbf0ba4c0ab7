#!/usr/bin/env bash
# A reinstall carries every product printer that has a "SubKey" value across, with its name,
# value, comment, location and default status, and clears "deleted" in its per-user key;
# a product printer without the value is dropped; a foreign printer is not touched. An install
# that cannot finish (a component missing, the process killed half way) loses none of them.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin reinstall
user_key='HKCU\Software\Tovalin Software KFT\Zentavo\Zentavos'

e2e_layout
e2e_setup install
e2e_check_eq "first install exits 1" "1" "$E2E_CODE"

# "Zentavo" from the install, two more product printers (one on another port: the tool knows
# its printers by driver), one without a value, and a foreign printer with a value of its own.
e2e_spoolctl addprinter Second >/dev/null
e2e_spoolctl addprinter Elsewhere LPT2: >/dev/null
e2e_spoolctl addprinter Plain >/dev/null
e2e_add_foreign_printer Other
e2e_spoolctl subkey Zentavo 'key one' >/dev/null
e2e_spoolctl subkey Second 'key two' plain >/dev/null
e2e_spoolctl subkey Elsewhere 'key three' dsuser >/dev/null
e2e_spoolctl subkey Other 'foreign key' >/dev/null
e2e_spoolctl setinfo Zentavo 'First comment' 'Room 1' >/dev/null
e2e_spoolctl setinfo Second 'Second comment' 'Room 2' >/dev/null
# A comment far longer than any fixed buffer: the spooler's limits are the only ones.
long_comment=$(printf '%02000d' 0 | tr 0 c)
e2e_spoolctl setinfo Elsewhere "$long_comment" '' >/dev/null
e2e_spoolctl setinfo Other 'Foreign comment' 'Room 9' >/dev/null
e2e_spoolctl default Second >/dev/null
for key in 'key one' 'key two' 'foreign key'; do
    wine reg add "$user_key\\$key" /v deleted /t REG_SZ /d 1 /f >/dev/null 2>&1
    wine reg add "$user_key\\$key" /v pages /t REG_DWORD /d 7 /f >/dev/null 2>&1
done
before=$(e2e_inspect printers default user)
e2e_check_has "set up: the default is a product printer" "$before" 'default "Second"'
e2e_check_has "set up: SubKey only under DsUser" "$before" \
    'printer "Elsewhere" DsUser\SubKey REG_SZ "key three"'
e2e_check_has "set up: a comment and a location" "$before" \
    'printer "Second" port "Zentavo:" driver "Zentavo printer" comment "Second comment" location "Room 2" attributes 0x00000000'

e2e_setup install
e2e_check_eq "reinstall exits 1" "1" "$E2E_CODE"
e2e_check_eq "no log window" "" "$E2E_LOGWIN"

# Each kept printer on the product port with both copies of its value; "Plain" had none.
read -r -d '' expected <<'EOF'
printer "Elsewhere" DsUser\SubKey REG_SZ "key three"
printer "Elsewhere" SubKey REG_SZ "key three"
printer "Elsewhere" port "Zentavo:" driver "Zentavo printer" comment "LONG_COMMENT" location "" attributes 0x00000000
printer "Other" DsUser\SubKey REG_SZ "foreign key"
printer "Other" SubKey REG_SZ "foreign key"
printer "Other" port "LPT1:" driver "Foreign printer" comment "Foreign comment" location "Room 9" attributes 0x00000000
printer "Second" DsUser\SubKey REG_SZ "key two"
printer "Second" SubKey REG_SZ "key two"
printer "Second" port "Zentavo:" driver "Zentavo printer" comment "Second comment" location "Room 2" attributes 0x00000000
printer "Zentavo" DsUser\SubKey REG_SZ "key one"
printer "Zentavo" SubKey REG_SZ "key one"
printer "Zentavo" port "Zentavo:" driver "Zentavo printer" comment "First comment" location "Room 1" attributes 0x00000000
default "Second"
user "" (key)
user "Zentavos" (key)
user "Zentavos\foreign key" "deleted" REG_SZ "1"
user "Zentavos\foreign key" "pages" REG_DWORD 7
user "Zentavos\key one" "pages" REG_DWORD 7
user "Zentavos\key two" "pages" REG_DWORD 7
EOF
expected=${expected/LONG_COMMENT/$long_comment}
e2e_check_eq "kept printers re-created, foreign printer and its key untouched" "$expected" \
    "$(e2e_inspect printers default user)"
state=$(e2e_inspect monitors drivers run pending)
e2e_check_has "monitor still registered" "$state" 'monitor "Zentavo:" dll "tvlmon64.dll"'
e2e_check_has "driver registered" "$state" 'driver "Zentavo printer" version 3 build 2551'
e2e_check_has "Run value" "$state" 'run ZentavoTray REG_SZ "C:\Program Files\Zentavo\zentray.exe"'
e2e_check_has "nothing pending" "$state" 'pending none'

# A default printer of another driver stays the default across a reinstall.
e2e_spoolctl default Other >/dev/null
e2e_setup install
e2e_check_eq "reinstall with a foreign default exits 1" "1" "$E2E_CODE"
e2e_check_eq "the foreign default stays" 'default "Other"' "$(e2e_inspect default)"
e2e_check_eq "the same printers again" "$(grep '^printer' <<<"$expected")" "$(e2e_inspect printers)"

# A component missing from the tool's folder: error 10 names it and nothing at all is removed.
e2e_spoolctl default Second >/dev/null
whole=$(e2e_inspect)
setup_dir=$(e2e_file 'C:\Program Files\Zentavo\Setup')
for file in tvlmon64.dll tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    mv "$setup_dir/$file" "$setup_dir/$file.away"
    e2e_setup install
    e2e_check_eq "without $file: exit 100" "100" "$E2E_CODE"
    e2e_check "without $file: error 10 names it" grep -qF \
        "Error(10): Cant't open source file: C:\Program Files\Zentavo\Setup\\$file" \
        "${E2E_LOGWIN:-/dev/null}"
    e2e_check_eq "without $file: nothing changed" "$whole" "$(e2e_inspect)"
    mv "$setup_dir/$file.away" "$setup_dir/$file"
done

# Windows protected print mode, on by the group policy: error 23 and nothing removed.
wpp_key='HKLM\Software\Policies\Microsoft\Windows NT\Printers\WPP'
wine reg add "$wpp_key" /v WindowsProtectedPrintGroupPolicyState /t REG_DWORD /d 1 /f \
    >/dev/null 2>&1
e2e_setup install
e2e_check_eq "protected print mode on: exit 100" "100" "$E2E_CODE"
e2e_check "protected print mode on: error 23 names it" grep -qF \
    "Error(23): Windows protected print mode is on: it admits no third-party printer driver" \
    "${E2E_LOGWIN:-/dev/null}"
e2e_check_eq "protected print mode on: nothing changed" "$whole" "$(e2e_inspect)"
wine reg delete "$wpp_key" /f >/dev/null 2>&1

# The spooler's start type Disabled (Wine's sc.exe cannot set it: the service's Start value and a
# restarted wineserver do): install and uninstall refuse with error 22, the start type, the
# companion's file and Run value and everything else stay.
spooler_key='HKLM\System\CurrentControlSet\Services\Spooler'
wine reg add "$spooler_key" /v Start /t REG_DWORD /d 4 /f >/dev/null 2>&1
e2e_stop
e2e_start
e2e_check "set up: Wine's spooler does not start" \
    bash -c "! wine net start spooler >/dev/null 2>&1"
for word in install uninstall; do
    e2e_setup "$word"
    e2e_check_eq "$word of a disabled spooler: exit 100" "100" "$E2E_CODE"
    e2e_check "$word of a disabled spooler: error 22 says so" grep -qF \
        "Error(22): The Print Spooler service is disabled: nothing was changed" \
        "${E2E_LOGWIN:-/dev/null}"
    e2e_check_eq "$word of a disabled spooler: nothing changed" "$whole" "$(e2e_inspect)"
done
e2e_check "the companion's file is kept" test -f "$(e2e_file 'C:\Program Files\Zentavo\zentray.exe')"
e2e_check_has "the start type stays Disabled" "$(e2e_wine reg query "$spooler_key" /v Start)" \
    "    Start    REG_DWORD    0x4"
wine reg add "$spooler_key" /v Start /t REG_DWORD /d 3 /f >/dev/null 2>&1
e2e_stop
e2e_start

# Killed while the spooler holds it in the new monitor's start-up (the stand-in monitor waits
# there while its hold file exists), after it deleted the printers and wrote them down, before it
# re-created them: the next install brings them back. An older monitor build is installed first,
# so that the install removes it and adds the monitor again.
hold=$(e2e_file 'C:\windows\temp\tvlmon.hold')
e2e_spoolctl delmonitor >/dev/null
e2e_stage_standins monitor-2450
e2e_spoolctl addmonitor >/dev/null
touch "$hold"
wine 'C:\Program Files\Zentavo\Setup\setup.exe' install >>"$E2E_OUT/gui.out" 2>&1 &
pid=$!
gone=0
# The install cannot re-create a printer before the hold ends; the bound only ends a broken run.
# Only a whole answer counts: an inspection the spooler left unanswered lists no printers.
for _ in $(seq 300); do
    if listed=$(e2e_inspect printers) && ! grep -q 'driver "Zentavo printer"' <<<"$listed"; then
        gone=1
        break
    fi
    sleep 0.1
done
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
rm -f "$hold"
e2e_check_eq "killed once the printers were deleted" "1" "$gone"
e2e_check_eq "three printers written down" "3" \
    "$(e2e_inspect kept | grep -c '^kept "')"
e2e_setup install
e2e_check_eq "install after the kill exits 1" "1" "$E2E_CODE"
e2e_check_eq "the printers are back with their settings and the default" \
    "$(grep '^printer\|^default' <<<"$expected")" "$(e2e_inspect printers default)"
e2e_check_eq "nothing left written down" "0" \
    "$(e2e_inspect kept | grep -c '^kept "')"

e2e_spoolctl delprinter Other >/dev/null
wine reg delete 'HKCU\Software\Tovalin Software KFT' /f >/dev/null 2>&1
e2e_end
