#!/usr/bin/env bash
# The log window opens by itself when the tool reported an error: its title, its text, a
# screenshot, and exit 100; setup.log keeps the same lines. On a window station no one sees it
# never opens. Shift held at the end of a clean install opens it as well.
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
# The run in setup.log: its header, the window's lines, its exit code; UTF-8 with a byte-order
# mark and CR LF line ends.
log=$(e2e_file 'C:\Program Files\Zentavo\Setup\setup.log')
run=$(e2e_setup_log last)
e2e_check_eq "setup.log begins with a byte-order mark" "efbbbf" \
    "$(head -c 3 "$log" 2>/dev/null | od -An -tx1 | tr -d ' \n')"
e2e_check_eq "every line of it ends in CR LF" "$(wc -l <"$log")" "$(grep -c $'\r$' "$log")"
e2e_check_eq "the run's header: time, build, command line" \
    '=== DATE TIME build 2551 "C:\Program Files\Zentavo\Setup\setup.exe" install' \
    "$(head -n 1 <<<"$run" | sed -E 's/^=== [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} /=== DATE TIME /')"
e2e_check_eq "then the window's lines" "$(tail -n +2 "${E2E_LOGWIN:-/dev/null}")" "$(sed '1d;$d' <<<"$run")"
e2e_check_eq "then the exit code" "=== exit code 100" "$(tail -n 1 <<<"$run")"

# The same install on a window station that no one sees, as a service or a deployment agent
# runs it: no window (no one could close it), the exit code at once (the launcher gives up with
# 124 after 60 s), and the run logged all the same.
start=$(date +%s%N)
wine "$E2E_TOOLS/hiddenrun.exe" 'C:\Program Files\Zentavo\Setup\setup.exe' install \
    >>"$E2E_OUT/gui.out" 2>&1
code=$?
echo "     install on a window station no one sees: $(e2e_ms_since "$start") ms"
e2e_check_eq "on a window station no one sees: exit 100 without a window" "100" "$code"
e2e_check_eq "its run logged with the same code" "=== exit code 100" \
    "$(e2e_setup_log last | tail -n 1)"

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
e2e_check_eq "setup.log holds the four runs in order, each with its code" \
    "$(printf '%s\n' 'install 100' 'install 100' 'uninstall 2' 'install 1')" \
    "$(e2e_setup_runs)"
e2e_end
