#!/usr/bin/env bash
# Install without and with the tray companion on a clean system, install again, uninstall: exit
# codes and the whole spooler and registry state after each, a foreign printer left alone; and
# setup.log where it cannot be written, where it is a link, and at its size cap.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin install
system=$(e2e_file 'C:\windows\system32')
store=$(e2e_file 'C:\windows\system32\spool\drivers\x64\3')
companion=$(e2e_file 'C:\Program Files\Zentavo\zentray.exe')
companion_log=$(e2e_file 'C:\Program Files\Zentavo\zentray.log')
setup_dir=$(e2e_file 'C:\Program Files\Zentavo\Setup')
setup_log=$setup_dir/setup.log

e2e_add_foreign_printer Other
e2e_spoolctl default Other >/dev/null
e2e_layout
foreign=$(e2e_inspect)

read -r -d '' ports <<'EOF'
monitor "Local Port" dll "localspl.dll"
monitor "Zentavo:" dll "tvlmon64.dll"
port "COM1:"
port "COM2:"
port "COM3:"
port "COM4:"
port "FILE:"
port "LPT1:"
port "LPT2:"
port "LPT3:"
port "Zentavo:"
driver "Foreign printer" config "C:\windows\system32\spool\drivers\x64\3\frnui64.dll"
driver "Foreign printer" data "C:\windows\system32\spool\drivers\x64\3\frndrv64.dll"
driver "Foreign printer" driver "C:\windows\system32\spool\drivers\x64\3\frndrv64.dll"
driver "Foreign printer" help "C:\windows\system32\spool\drivers\x64\3\frnhelp.chm"
driver "Foreign printer" version 3 build 2551
driver "Zentavo printer" config "C:\windows\system32\spool\drivers\x64\3\tvlui64.dll"
driver "Zentavo printer" data "C:\windows\system32\spool\drivers\x64\3\tvldrv64.dll"
driver "Zentavo printer" driver "C:\windows\system32\spool\drivers\x64\3\tvldrv64.dll"
driver "Zentavo printer" help "C:\windows\system32\spool\drivers\x64\3\tvlhelp.chm"
driver "Zentavo printer" version 3 build 2551
printer "Other" port "LPT1:" driver "Foreign printer" comment "" location "" attributes 0x00000000
printer "Zentavo" port "Zentavo:" driver "Zentavo printer" comment "" location "" attributes 0x00000000
default "Other"
EOF
installed_without_tray="$ports
run ZentavoTray none
user none
pending none"
installed="$ports
run ZentavoTray REG_SZ \"C:\\Program Files\\Zentavo\\zentray.exe\"
user none
pending none"

e2e_check_eq "a fresh prefix's spooler is stopped" "STOPPED" "$(e2e_spooler_state)"

# "in_notray" on a clean system: everything but the companion. The tool's folder cannot be
# written (immutable, which binds root too): the same result, only without setup.log.
if chattr +i "$setup_dir" 2>/dev/null; then
    e2e_setup in_notray
    chattr -i "$setup_dir"
    e2e_check "no setup.log in a folder that cannot be written" test ! -e "$setup_log"
else
    echo "skip the unwritable folder: this file system has no immutable flag"
    e2e_setup in_notray
fi
e2e_check_eq "in_notray exits 1" "1" "$E2E_CODE"
e2e_check_eq "the install started the spooler and left it running" "RUNNING" "$(e2e_spooler_state)"
e2e_check_eq "no log window" "" "$E2E_LOGWIN"
e2e_check_eq "monitor, driver, one printer; no Run value" "$installed_without_tray" "$(e2e_inspect)"
e2e_check "companion never started: no zentray.log" test ! -e "$companion_log"
e2e_check_eq "no companion running" "0" "$(e2e_companions)"
e2e_check "monitor DLL in the system folder" test -f "$system/tvlmon64.dll"

# Install with the companion: the same, plus the Run value and one running companion. The new
# printer "Zentavo" does not become the default. setup.log was made beforehand as a second name
# of another file: that file is left alone.
victim=$(e2e_file 'C:\victim.txt')
printf 'not the tool%ss\r\n' "'" >"$victim"
cp "$victim" "$E2E_OUT/victim.before"
rm -f "$setup_log"
ln "$victim" "$setup_log"
e2e_setup install
e2e_check "the file setup.log was linked to is unchanged" cmp "$E2E_OUT/victim.before" "$victim"
rm "$setup_log"
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
e2e_check_eq "no log window" "" "$E2E_LOGWIN"
e2e_check_eq "whole state after install" "$installed" "$(e2e_inspect)"
e2e_check_eq "companion started once" "start" "$(awk '{print $3}' "$companion_log" 2>/dev/null)"
e2e_check_eq "one companion running" "1" "$(e2e_companions)"
for file in tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    e2e_check "$file in the driver store" test -f "$store/$file"
    e2e_check "$file not left staged" test ! -e "$store/../$file"
done

# Install again: nothing doubled; the companion is stopped and started again from the file
# the reinstall kept.
e2e_setup install
e2e_check_eq "second install exits 1" "1" "$E2E_CODE"
e2e_check_eq "whole state after the second install" "$installed" "$(e2e_inspect)"
e2e_check_eq "companion asked to quit, stopped and started again" "start quit stop start" \
    "$(awk '{print $3}' "$companion_log" | tr '\n' ' ' | sed 's/ $//')"
e2e_check "zentray.exe kept" test -f "$companion"
e2e_check_eq "still one companion running" "1" "$(e2e_companions)"

e2e_check_eq "setup.log holds that run" "install 1" \
    "$(e2e_setup_runs)"

# setup.log just under its cap, runs of an older build in front: the uninstall's run drops the
# oldest of them whole, and nothing newer.
filler() { printf '=== 2026-01-01 10:00:00 build 2550 filler %04d\r\n%0100d\r\n=== exit code 1\r\n' "$1" 0; }
fillers=$(( (1048576 - 100 - $(stat -c %s "$setup_log")) / $(filler 1 | wc -c) ))
{
    printf '\xEF\xBB\xBF'
    for i in $(seq "$fillers"); do filler "$i"; done
    tail -c +4 "$setup_log"
} >"$setup_log.new"
mv "$setup_log.new" "$setup_log"

# Uninstall: nothing of the product left; the foreign printer, its driver and the default as
# they were. The spooler, stopped before, is stopped again.
e2e_wine net stop spooler >/dev/null
e2e_setup uninstall
e2e_check_eq "uninstall exits 2" "2" "$E2E_CODE"
e2e_check_eq "no log window" "" "$E2E_LOGWIN"
e2e_check_eq "state as before the first install" "$foreign" "$(e2e_inspect)"
e2e_check_eq "companion asked to quit and stopped" "quit stop" \
    "$(tail -n 2 "$companion_log" | awk '{print $3}' | tr '\n' ' ' | sed 's/ $//')"
e2e_check_eq "no companion running" "0" "$(e2e_companions)"
e2e_check_eq "the spooler stopped again" "STOPPED" "$(e2e_spooler_state)"
e2e_check_has "as the log says" "$(e2e_setup_log last)" "  Stopped again, as this run found it"
e2e_check "zentray.exe deleted" test ! -e "$companion"
e2e_check "monitor DLL deleted" test ! -e "$system/tvlmon64.dll"
for file in tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    e2e_check "$file deleted from the driver store" test ! -e "$store/$file"
done
for file in frndrv64.dll frnui64.dll frnhelp.chm; do
    e2e_check "foreign $file kept" test -f "$store/$file"
done
size=$(stat -c %s "$setup_log")
runs=$(e2e_setup_log | awk '/^=== [0-9]/ {word = $NF} /^=== exit code / {print word, $NF}')
kept=$(grep -c '^[0-9]* 1$' <<<"$runs")
e2e_check "setup.log within its cap" test "$size" -le 1048576
e2e_check "the oldest runs dropped" test "$kept" -lt "$fillers"
e2e_check "no more of them than needed" test $((size + $(filler 1 | wc -c))) -gt 1048576
e2e_check_eq "whole, the newer ones kept in order" \
    "$(seq -f '%04g 1' $((fillers - kept + 1)) "$fillers"; printf '%s\n' 'install 1' 'uninstall 2')" \
    "$runs"

e2e_end
