#!/usr/bin/env bash
# The harness itself: the tool laid out as the installer would, its exit codes, the log window
# read and closed from outside, and the reboot that carries out pending deletions.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin harness

e2e_layout monitor-2450
setup_dir=$(e2e_file 'C:\Program Files\Zentavo\Setup')
for file in setup.exe tvlmon64.dll tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    e2e_check "$file laid out beside the tool" test -f "$setup_dir/$file"
done
e2e_check "zentray.exe in the parent folder" test -f "$(e2e_file 'C:\Program Files\Zentavo\zentray.exe')"
e2e_check_eq "the chosen variant's monitor" "2450" \
    "$(e2e_inspect build 'C:\Program Files\Zentavo\Setup\tvlmon64.dll')"

e2e_setup bogus
e2e_check_eq "unknown word exits 6" "6" "$E2E_CODE"
e2e_check_eq "no log window for it" "" "$E2E_LOGWIN"
e2e_setup def.set
e2e_check_eq "def.set exits 4" "4" "$E2E_CODE"

# The tool's own log window, opened by a sample with one error report: read, photographed,
# closed, and the program then ends with its own code.
e2e_run_gui "$E2E_TOOLS/logwinsample.exe"
e2e_check_eq "the program ends once the window is closed" "1" "$E2E_CODE"
if [ -n "$E2E_LOGWIN" ]; then
    text=$(cat "$E2E_LOGWIN")
    e2e_check_has "window title" "$text" "title: Zentavo build 2551- Install error log!"
    e2e_check "window text has the error report" grep -q "Error(8): Sample error" "$E2E_LOGWIN"
    e2e_check "screenshot saved" test -s "$E2E_DIR/shots/harness-1.png"
else
    e2e_fail "the log window was seen"
fi

# The time limit ends a program that does not end by itself.
E2E_LIMIT=2 e2e_run_gui "$E2E_TOOLS/fileholder.exe" 'C:\windows\win.ini' 'C:\never-created'
e2e_check_eq "a run past its time limit gives 124" "124" "$E2E_CODE"

e2e_end
