#!/usr/bin/env bash
# The log window opens by itself when the tool reported an error: its title, its text, a
# screenshot, and exit 100. Shift held at the end of a clean install opens it as well.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin log_window

# The configuration DLL missing beside the tool: the install cannot happen, nothing is touched.
e2e_layout
rm "$(e2e_file 'C:\Program Files\Zentavo\Setup\tvlui64.dll')"
rm -f "$E2E_DIR/shots/log_window-1.png"
e2e_setup install
e2e_check_eq "install with a missing component exits 100" "100" "$E2E_CODE"
if [ -n "$E2E_LOGWIN" ]; then
    text=$(cat "$E2E_LOGWIN")
    e2e_check_has "error title" "$text" "title: Zentavo build 2551- Install error log!"
    e2e_check "the missing file's error report" grep -qF \
        "Error(10): Cant't open source file: C:\\Program Files\\Zentavo\\Setup\\tvlui64.dll" \
        "$E2E_LOGWIN"
    e2e_check "the first log line" grep -q "Zentavo 2551" "$E2E_LOGWIN"
    e2e_check "the window never shows the closing line" test -z "$(grep '>>0020' "$E2E_LOGWIN")"
    e2e_check "screenshot saved" test -s "$E2E_DIR/shots/log_window-1.png"
else
    e2e_fail "the log window opened by itself"
fi
state=$(e2e_inspect monitors drivers)
e2e_check_lacks "no monitor either" "$state" 'monitor "Zentavo:" dll "tvlmon64.dll"'
e2e_check_lacks "no driver without its configuration DLL" "$state" \
    'driver "Zentavo printer" version 3 build 2551'

# Wine takes key state only from input that reaches one of its windows: a Wine window gets
# the focus first, then Shift goes down and stays down while the tool runs.
e2e_setup uninstall
e2e_layout
wine notepad >/dev/null 2>&1 &
notepad=$!
window=
for _ in $(seq 50); do
    window=$(xdotool search --name Notepad 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.2
done
e2e_check "a Wine window to focus" test -n "$window"
xdotool windowfocus --sync "$window" >/dev/null 2>&1
xdotool mousemove --window "$window" 50 50 click 1
xdotool keydown Shift_L
e2e_setup install
xdotool keyup Shift_L
e2e_check_eq "clean install with Shift held still exits 1" "1" "$E2E_CODE"
if [ -n "$E2E_LOGWIN" ]; then
    e2e_check_has "plain title" "$(cat "$E2E_LOGWIN")" "title: Zentavo build 2551- Install log."
    e2e_check "no error report in it" test -z "$(grep 'Error(' "$E2E_LOGWIN")"
else
    e2e_fail "the log window opened while Shift was held"
fi
kill "$notepad" 2>/dev/null
e2e_end
