#!/usr/bin/env bash
# "removetray": a running companion is asked to quit, its file and Run value removed; a
# companion that ignores the request is waited for within the bound; with none, still 6. The
# install starts the companion with the token of the unelevated shell on the desktop (the
# harness's stand-in shell, on Wine's limited token); with no shell, or an elevated one, it starts
# none and leaves it to the Run value.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin companion
companion=$(e2e_file 'C:\Program Files\Zentavo\zentray.exe')
companion_log=$(e2e_file 'C:\Program Files\Zentavo\zentray.log')
events() { awk '{print $3}' "$companion_log" | tr '\n' ' ' | sed 's/ $//'; }

e2e_layout
e2e_setup install
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
e2e_check_eq "companion running" "1" "$(e2e_companions)"

log_before=$(e2e_setup_log | md5sum)
e2e_setup removetray
e2e_check_eq "removetray exits 6" "6" "$E2E_CODE"
e2e_check_eq "removetray wrote nothing to setup.log" "$log_before" "$(e2e_setup_log | md5sum)"
e2e_check_eq "companion asked to quit and stopped" "start quit stop" "$(events)"
e2e_check_eq "no companion running" "0" "$(e2e_companions)"
e2e_check_eq "Run value removed" "run ZentavoTray none" "$(e2e_inspect run)"
e2e_check "zentray.exe deleted" test ! -e "$companion"

# None running, no value: nothing to do, still 6.
start=$(date +%s%N)
e2e_setup removetray
e2e_check_eq "removetray with no companion exits 6" "6" "$E2E_CODE"
e2e_log_time "removetray none" "$(e2e_ms_since "$start") ms"

# No user's shell on the desktop: the install registers the companion but starts none, not even
# with its own token, and says so; the Run value starts it at the next logon.
e2e_layout
e2e_shell_stop
e2e_setup install
e2e_check_eq "install without a shell exits 1" "1" "$E2E_CODE"
e2e_check_eq "no companion started without a shell" "0" "$(e2e_companions)"
e2e_check_eq "Run value written without a shell" \
    "run ZentavoTray REG_SZ \"C:\\Program Files\\Zentavo\\zentray.exe\"" "$(e2e_inspect run)"
e2e_check "setup.log says why none was started" grep -q \
    "The tray companion is not started: no user's shell runs on this desktop; it starts at the next logon" \
    <(e2e_setup_log last)
e2e_shell_start
e2e_setup removetray

# An elevated shell (an administrator's, or an elevated program's window made the shell's): its
# token would hand the companion those rights, so none starts, and setup.log says why.
e2e_layout
e2e_shell_stop
e2e_shell_start elevated
e2e_setup install
e2e_check_eq "install with an elevated shell exits 1" "1" "$E2E_CODE"
e2e_check_eq "no companion started with an elevated shell" "0" "$(e2e_companions)"
e2e_check "setup.log says the shell runs elevated" grep -q \
    "The tray companion is not started: the shell runs elevated; it starts at the next logon" \
    <(e2e_setup_log last)
e2e_shell_stop
e2e_shell_start
e2e_setup removetray

# A companion that ignores the quit request: 20 waits of 5 s and one more, then the value goes
# anyway.
e2e_layout
touch "$(e2e_file 'C:\Program Files\Zentavo\zentray.stubborn')"
e2e_setup install
e2e_check_eq "install with a stubborn companion exits 1" "1" "$E2E_CODE"
start=$(date +%s%N)
E2E_LIMIT=150 e2e_setup removetray
elapsed=$(e2e_ms_since "$start")
e2e_log_time "removetray stubborn" "$elapsed ms"
echo "     stubborn companion: removetray took $elapsed ms"
e2e_check_eq "removetray with a stubborn companion exits 6" "6" "$E2E_CODE"
e2e_check "bounded wait: between 100 s and 115 s" test "$elapsed" -ge 100000 -a "$elapsed" -le 115000
e2e_check_eq "Run value removed" "run ZentavoTray none" "$(e2e_inspect run)"
e2e_check_eq "the companion ignored the requests and still runs" "1" "$(e2e_companions)"
e2e_check "it logged ignoring them" grep -q 'ignore quit' "$companion_log"

e2e_end
