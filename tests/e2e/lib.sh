# End-to-end scenarios of the setup tool under Wine: sourced by each scenario script.
# shellcheck shell=bash
#
# Every scenario runs in its own prefix, a copy of one template prefix made once per build
# directory, with its own persistent wineserver and its own display; nothing is shared between
# scenarios, so two may run at once (ctest -j). E2E_DIR (default build/e2e) holds the template,
# the prefixes, the output, the shots and the timings: a second copy of the whole set can run
# beside the first with another E2E_DIR.
#
# Prefix and wineserver
#   e2e_begin NAME        fresh prefix build/e2e/run/NAME copied from the template (made first if
#                         missing, by one scenario while the others wait), a display of its own
#                         and the wineserver started; exports WINEPREFIX and DISPLAY; removes the
#                         prefix on exit unless E2E_KEEP=1 (or a check failed); once per script
#   e2e_start, e2e_stop   start (wineserver -p) / stop (wineserver -k) this prefix's wineserver
#   e2e_reboot            wineboot -r: the pending file-rename operations are carried out
#   e2e_cold_start        stop and start the wineserver: a cold start carries them out as well
#   e2e_shell_start [elevated], e2e_shell_stop  a user's shell on the prefix's desktop
#                         (shellwin.exe, whose window GetShellWindow then names: Wine registers
#                         none) from now on, or none; e2e_begin and every e2e_start start it unless
#                         e2e_shell_stop was called. It runs with the limited token Wine links to
#                         every elevated one, as a user's shell does; with "elevated" it keeps the
#                         elevated token. The elevated tool starts the companion only as the user
#                         of an unelevated shell, so it runs for real only while such a shell does
#   e2e_reference NAME FILE  in a fresh prefix NAME of its own (before e2e_begin), setup.exe
#                         install alone; its inspection output into FILE; returns its verdict
#   e2e_signed_build      the installer and the package built signed, in E2E_SIGNED (a build
#                         directory of its own, brought up to date by one scenario while the
#                         others wait), with a throwaway CA (E2E_SIGNED/cert/ca.pem) and
#                         code-signing certificate made once; its output in E2E_SIGNED/build.log
# Layout and running
#   e2e_layout [FOLDER]   setup.exe and the four component files of build/standins/FOLDER
#                         (default "default") into C:\Program Files\Zentavo\Setup\, zentray.exe
#                         into C:\Program Files\Zentavo\; both folders writable by the owner only,
#                         Wine's image of the access list the packages give them
#   e2e_setup WORD...     runs setup.exe from there through e2e_run_gui
#   e2e_run_gui PROG ARGS runs a Windows program for at most E2E_LIMIT seconds (default 180);
#                         sets E2E_CODE (124 when the limit struck) and E2E_LOGWIN (the file with
#                         the log window's title and text when it opened, else empty); the window
#                         is read, photographed into build/e2e/shots/NAME-N.png and closed
#   e2e_wine PROG ARGS    runs a Windows program, prints its output without CRs, returns its code
#   e2e_spooler_state     the spooler service's state as sc.exe names it (STOPPED, RUNNING, ...);
#                         a fresh prefix's is STOPPED, and its start type Demand (Start 3)
#   e2e_inspect [SECTION...]  the inspection tool's output once the spooler answers all of it:
#                         the tool exits 3 with a "SECTION error N" line for what it could not
#                         read, and is then run again every 0.2 s, at most 20 s; a wait is logged
#                         on stderr and in the timings
#   e2e_spoolctl ARGS     the raw spooler tool (build/tests/spoolctl.exe), run again like the
#                         inspection while the spooler does not answer (1722)
#   e2e_stage_standins [FOLDER]  the monitor of FOLDER (else default) into the system folder and
#                         the driver files into the printer driver folder, where the spooler
#                         takes them from
#   e2e_install_standins [FOLDER]  staged, then monitor and driver registered directly, without
#                         setup.exe
#   e2e_add_foreign_printer NAME [PORT]  a printer of another driver ("Foreign printer", copies
#                         of the stand-ins under other file names) on PORT (default "LPT1:")
#   e2e_companions        how many tray companions of this prefix are running
#   e2e_setup_log [last]  the tool's setup.log as plain lines (byte-order mark and CRs removed),
#                         with "last" its newest run only; fails when there is none
#   e2e_setup_runs        setup.log's runs in order, one a line: the command word of the header
#                         (the first word after the quoted tool path) and the exit code, "install 1"
#   e2e_companions_settle  waits until no companion is starting or ending (every running one has
#                         logged its start, none that logged its end is still there); 10 s bound,
#                         logged; e2e_run_gui does it after every program
#   e2e_file WINPATH      the Unix path of a Windows path in this prefix ("C:\x\y" only)
#   e2e_winpath UNIXPATH  the Windows path (drive Z:) of a file outside the prefix
#   e2e_hold_file WINPATH [nodelete]  lock a file really (fileholder.exe, no delete or write
#                         sharing; with "nodelete" only deletion is refused, so the file can be
#                         copied over) until e2e_release_file; a Unix-side rm would ignore it
#   e2e_release_file      end the hold and wait for the holder
# Checks (each prints "ok" or "FAIL" with the detail; e2e_end exits 1 after any failure)
#   e2e_check DESCRIPTION COMMAND...         the command succeeds
#   e2e_check_eq DESCRIPTION EXPECTED ACTUAL
#   e2e_check_has DESCRIPTION TEXT LINE      TEXT holds the exact line LINE
#   e2e_check_lacks DESCRIPTION TEXT LINE    TEXT does not hold it
#   e2e_end               stops the wineserver, cleans up, exits with the verdict
#
# Contracts the scenarios rely on
#   The script runs twice from its top: sourcing scripts/lib.sh (through this file) starts it again
#     under `setarch -R` (no address randomization, which about once in 2,000 Wine starts makes a
#     program end at once with exit code 1), unless it already runs so; every Wine program it
#     starts inherits that. So a scenario sources this file before anything else.
#   A run of setup.log begins at a line that E2E_RUN_HEADER matches (the mark "=== ", then the
#     date's first digit), the tool's own rule (IsSupportLogRunHeader); the scenarios read runs by
#     it alone, through e2e_setup_log and e2e_setup_runs.
#   The companion settle wait (e2e_companions_settle) compares the running zentray.exe processes
#     of this prefix (found by WINEPREFIX in their environment) with the "start" and "stop" lines
#     that zentray.log (C:\Program Files\Zentavo\) gained past line E2E_COMPANION_LINES. e2e_stop
#     sets that counter to the log's length, since a stopped wineserver ends the companions
#     without a "stop" line; a log shorter than the counter (deleted by an uninstall) is read
#     from its first line. A scenario that stops the wineserver other than by e2e_stop, or writes
#     to that log, must keep the counter so.
#   The stand-in monitor waits in its start-up (InitializePrintMonitor2), with the spooler's
#     caller, while C:\windows\temp\tvlmon.hold exists: 50 ms polls, a minute at most. A scenario
#     that creates the file ends a run at that known step and removes the file itself.
#
# Timings of the template build and of each copy go to build/e2e/timings.log.

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../scripts/lib.sh
. "$E2E_ROOT/scripts/lib.sh"

E2E_DIR=${E2E_DIR:-$BUILD/e2e}
E2E_TEMPLATE=$E2E_DIR/template
E2E_STANDINS=$BUILD/standins
E2E_TOOLS=$BUILD/tests
E2E_SIGNED=$E2E_DIR/signed
E2E_FAILURES=0
E2E_NAME=
E2E_OUT=

e2e_log_time() {
    mkdir -p "$E2E_DIR"
    printf '%s %s %s\n' "$(date '+%F %T')" "$1" "$2" >>"$E2E_DIR/timings.log"
}

e2e_ms_since() {
    echo $(( ($(date +%s%N) - $1) / 1000000 ))
}

# The template: a booted prefix prepared like the test prefix (decorated windows, no crash
# debugger), its wineserver stopped so that its registry is on disk before it is copied. Made
# under a lock: scenarios started together find it missing together, and one makes it while
# the others wait (prepare_prefix marks it ".prepared" last).
e2e_template() {
    [ -f "$E2E_TEMPLATE/.prepared" ] && return 0
    mkdir -p "$E2E_DIR"
    (
        flock 9
        [ -f "$E2E_TEMPLATE/.prepared" ] && exit 0
        start=$(date +%s%N)
        unset WINEPREFIX
        prepare_prefix "$E2E_TEMPLATE"
        e2e_log_time "template" "$(e2e_ms_since "$start") ms"
    ) 9>"$E2E_DIR/template.lock"
}

e2e_begin() {
    E2E_NAME=$1
    e2e_template
    export WINEPREFIX=$E2E_DIR/run/$E2E_NAME
    E2E_OUT=$E2E_DIR/out/$E2E_NAME
    rm -rf "$WINEPREFIX" "$E2E_OUT"
    mkdir -p "$(dirname "$WINEPREFIX")" "$E2E_OUT" "$E2E_DIR/shots"
    local start
    start=$(date +%s%N)
    cp -a "$E2E_TEMPLATE" "$WINEPREFIX"
    e2e_log_time "copy $E2E_NAME" "$(e2e_ms_since "$start") ms"
    trap e2e_cleanup EXIT
    # Its own display: key state (Shift held), focus and screenshots are per display, and a
    # scenario running beside another must not see its windows.
    start_display
    e2e_start
    echo "== scenario $E2E_NAME in $WINEPREFIX"
}

e2e_start() {
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 || true
    [ "$E2E_SHELL" != 1 ] || e2e_shell_run
}

e2e_stop() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # The wineserver ended the shell with everything else.
    [ -z "$E2E_SHELL_PID" ] || wait "$E2E_SHELL_PID" 2>/dev/null || true
    E2E_SHELL_PID=
    E2E_COMPANION_LINES=$(cat "$(e2e_file "$E2E_COMPANION_LOG")" 2>/dev/null | wc -l)
}

# A stand-in started in the background says PATTERN on its output (FILE) once it is ready, within
# a process start: true when it did within 10 s, false when it ended or the bound struck first.
e2e_await_word() {
    local i
    for i in $(seq 100); do
        grep -q "$3" "$1" 2>/dev/null && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

E2E_SHELL=1
E2E_SHELL_ELEVATED=
E2E_SHELL_PID=
e2e_shell_run() {
    local out
    [ -z "$E2E_SHELL_PID" ] || return 0
    out="$E2E_OUT/shell.out"
    rm -f "$E2E_OUT/shell.stop" "$out"
    # shellcheck disable=SC2086 # no word, or the one word "elevated"
    wine "$E2E_TOOLS/shellwin.exe" "$(e2e_winpath "$E2E_OUT")\\shell.stop" $E2E_SHELL_ELEVATED \
        >"$out" 2>/dev/null &
    E2E_SHELL_PID=$!
    e2e_await_word "$out" "$E2E_SHELL_PID" '^shell' && return 0
    echo "e2e_shell_start: no shell window: $(tr -d '\r' <"$out")" >&2
    return 1
}

e2e_shell_start() {
    E2E_SHELL=1
    E2E_SHELL_ELEVATED=${1:-}
    e2e_shell_run
}

e2e_shell_stop() {
    E2E_SHELL=0
    [ -n "$E2E_SHELL_PID" ] || return 0
    touch "$E2E_OUT/shell.stop"
    wait "$E2E_SHELL_PID" 2>/dev/null || true
    E2E_SHELL_PID=
}

e2e_reboot() {
    wineboot -r >/dev/null 2>&1
}

e2e_cold_start() {
    e2e_stop
    e2e_start
}

# What a packaged install must match: setup.exe install alone, in a subshell of its own.
e2e_reference() {
    rm -f "$2"
    (
        e2e_begin "$1"
        e2e_layout
        e2e_setup install
        e2e_check_eq "setup.exe install alone exits 1" "1" "$E2E_CODE"
        e2e_inspect >"$2"
        e2e_end
    )
}

e2e_signed_build() {
    mkdir -p "$E2E_SIGNED"
    (
        flock 9
        cert=$E2E_SIGNED/cert
        if [ ! -f "$cert/signing.p12" ]; then
            rm -rf "$cert"
            mkdir -p "$cert"
            (
                cd "$cert" &&
                    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem \
                        -days 3650 -subj "/CN=Zentavo test CA" \
                        -addext "basicConstraints=critical,CA:TRUE" \
                        -addext "keyUsage=critical,keyCertSign,cRLSign" &&
                    openssl req -newkey rsa:2048 -nodes -keyout signing.key -out signing.csr \
                        -subj "/CN=Tovalin Software KFT test signing" &&
                    printf '%s\n' 'basicConstraints=CA:FALSE' 'keyUsage=critical,digitalSignature' \
                        'extendedKeyUsage=codeSigning' >signing.ext &&
                    openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
                        -days 3650 -extfile signing.ext -out signing.pem &&
                    printf 'throwaway\n' >password &&
                    openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem \
                        -passout file:password -out signing.p12.new &&
                    mv signing.p12.new signing.p12
            ) >"$E2E_SIGNED/cert.log" 2>&1 || exit 1
        fi
        start=$(date +%s%N)
        # The presets are read from the current folder.
        cd "$E2E_ROOT" || exit 1
        {
            cmake --preset cross -B "$E2E_SIGNED/build" -DCODE_SIGN_PKCS12="$cert/signing.p12" \
                -DCODE_SIGN_PASSWORD_FILE="$cert/password" &&
                cmake --build "$E2E_SIGNED/build" --target installer msi_package
        } >"$E2E_SIGNED/build.log" 2>&1 || exit 1
        e2e_log_time "signed build" "$(e2e_ms_since "$start") ms"
    ) 9>"$E2E_SIGNED/build.lock"
}

e2e_cleanup() {
    e2e_release_file
    e2e_stop
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" >/dev/null 2>&1
    XVFB_PID=
    if [ "${E2E_KEEP:-0}" != 1 ] && [ "$E2E_FAILURES" -eq 0 ]; then
        rm -rf "$WINEPREFIX"
    fi
}

e2e_file() {
    local path=${1//\\//}
    case $path in
    [Cc]:*) printf '%s/drive_c%s\n' "$WINEPREFIX" "${path:2}" ;;
    *) echo "e2e_file: not a C: path: $1" >&2; return 1 ;;
    esac
}

e2e_winpath() {
    local path
    path=$(readlink -f "$1")
    printf 'Z:%s\n' "${path//\//\\}"
}

E2E_HOLDER_PID=
E2E_HOLDER_STOP=
e2e_hold_file() {
    local out
    e2e_release_file
    E2E_HOLDER_STOP="$E2E_OUT/holder.stop"
    out="$E2E_OUT/holder.out"
    rm -f "$E2E_HOLDER_STOP" "$out"
    wine "$E2E_TOOLS/fileholder.exe" "$1" "$(e2e_winpath "$E2E_OUT")\\holder.stop" ${2:+"$2"} \
        >"$out" 2>/dev/null &
    E2E_HOLDER_PID=$!
    e2e_await_word "$out" "$E2E_HOLDER_PID" held && return 0
    echo "e2e_hold_file: $1 not held: $(tr -d '\r' <"$out")" >&2
    return 1
}

e2e_release_file() {
    [ -n "$E2E_HOLDER_PID" ] || return 0
    touch "$E2E_HOLDER_STOP"
    wait "$E2E_HOLDER_PID" 2>/dev/null || true
    E2E_HOLDER_PID=
}

e2e_layout() {
    local folder=${1:-default}
    local setup_dir product_dir
    setup_dir=$(e2e_file 'C:\Program Files\Zentavo\Setup')
    product_dir=$(e2e_file 'C:\Program Files\Zentavo')
    mkdir -p "$setup_dir"
    cp "$BUILD/bin/setup.exe" "$setup_dir/"
    # The component files by name: nothing else that lies in the build's folders travels.
    local name
    for name in tvlmon64.dll tvldrv64.dll tvlui64.dll tvlhelp.chm; do
        cp "$E2E_STANDINS/default/$name" "$setup_dir/"
        [ "$folder" = default ] || [ ! -f "$E2E_STANDINS/$folder/$name" ] ||
            cp "$E2E_STANDINS/$folder/$name" "$setup_dir/"
    done
    cp "$E2E_STANDINS/zentray.exe" "$product_dir/"
    # The packages give both folders an access list that only administrators can change. Wine
    # keeps none: it shows the Unix mode, the others' bits as Everyone's entry.
    chmod 0755 "$product_dir" "$setup_dir"
}

e2e_wine() {
    local codes
    wine "$@" 2>>"$E2E_OUT/wine.stderr" | tr -d '\r'
    codes=("${PIPESTATUS[@]}")
    return "${codes[0]}"
}

e2e_spooler_state() {
    e2e_wine sc query spooler | awk '$1 == "STATE" {print $4}'
}

# Winspool reaches the spooler's provider (localspl) inside the calling process; when that fails,
# monitors, ports and drivers cannot be read (error 1722) while the printers, read from the
# registry, still can. A fresh process is the next attempt.
E2E_INSPECT_BOUND_S=20

# Runs a stand-in tool (build/tests/NAME.exe) again while the spooler leaves it unanswered, as
# `ANSWERED CODE OUTPUT` decides, every 0.2 s for at most E2E_INSPECT_BOUND_S; a wait is logged on
# stderr and in the timings. Prints the last output and returns the last exit code.
e2e_run_answered() {
    local answered=$1 name=$2 out code start first=
    shift 2
    start=$(date +%s%N)
    while :; do
        out=$(e2e_wine "$E2E_TOOLS/$name.exe" "$@")
        code=$?
        "$answered" "$code" "$out" && break
        [ -n "$first" ] ||
            first="exit $code$(grep -E ' error |^failed ' <<<"$out" | sed 's/^/, /' | tr -d '\n')"
        [ "$(e2e_ms_since "$start")" -lt $((E2E_INSPECT_BOUND_S * 1000)) ] || break
        sleep 0.2
    done
    if [ -n "$first" ]; then
        local verdict="answered after $(e2e_ms_since "$start") ms"
        "$answered" "$code" "$out" || verdict="still unanswered after $E2E_INSPECT_BOUND_S s"
        echo "     $name: the spooler $verdict (first: $first)" >&2
        e2e_log_time "$name $E2E_NAME" "the spooler $verdict (first: $first)"
    fi
    printf '%s\n' "$out"
    return "$code"
}

# Only 3, a section the spooler left unread, changes by waiting.
e2e_inspect_answered() {
    [ "$1" -ne 3 ]
}

e2e_inspect() {
    e2e_run_answered e2e_inspect_answered inspect "$@"
}

# Any answer but 1722 (the spooler's provider did not answer in the tool's process, as an
# inspection can find) is the command's own.
e2e_spoolctl_answered() {
    [ "$1" -eq 0 ] || [ "$2" != "failed 1722" ]
}

e2e_spoolctl() {
    e2e_run_answered e2e_spoolctl_answered spoolctl "$@"
}

e2e_stage_standins() {
    local folder=${1:-default}
    local system driver_dir
    system=$(e2e_file 'C:\windows\system32')
    driver_dir=$(e2e_file 'C:\windows\system32\spool\drivers\x64')
    mkdir -p "$driver_dir"
    cp "$E2E_STANDINS/default/tvlmon64.dll" "$system/"
    cp "$E2E_STANDINS/default/tvldrv64.dll" "$E2E_STANDINS/default/tvlui64.dll" \
        "$E2E_STANDINS/default/tvlhelp.chm" "$driver_dir/"
    [ -f "$E2E_STANDINS/$folder/tvlmon64.dll" ] && cp "$E2E_STANDINS/$folder/tvlmon64.dll" "$system/"
    [ -f "$E2E_STANDINS/$folder/tvldrv64.dll" ] && cp "$E2E_STANDINS/$folder/tvldrv64.dll" "$driver_dir/"
    return 0
}

e2e_install_standins() {
    e2e_stage_standins "$@" && e2e_spoolctl addmonitor >/dev/null && e2e_spoolctl adddriver >/dev/null
}

e2e_add_foreign_printer() {
    local driver_dir
    driver_dir=$(e2e_file 'C:\windows\system32\spool\drivers\x64')
    if ! e2e_inspect drivers | grep -q '^driver "Foreign printer"'; then
        mkdir -p "$driver_dir"
        cp "$E2E_STANDINS/default/tvldrv64.dll" "$driver_dir/frndrv64.dll"
        cp "$E2E_STANDINS/default/tvlui64.dll" "$driver_dir/frnui64.dll"
        cp "$E2E_STANDINS/default/tvlhelp.chm" "$driver_dir/frnhelp.chm"
        e2e_spoolctl adddriver "Foreign printer" frndrv64.dll frnui64.dll frnhelp.chm >/dev/null ||
            return 1
        rm -f "$driver_dir/frndrv64.dll" "$driver_dir/frnui64.dll" "$driver_dir/frnhelp.chm"
    fi
    e2e_spoolctl addprinter "$1" "${2:-LPT1:}" RAW "Foreign printer" >/dev/null
}

# Wine runs each Windows process as a Unix process whose environment names its prefix.
e2e_companions() {
    local pid count=0
    for pid in $(pgrep -f 'zentray\.exe'); do
        { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            count=$((count + 1))
    done
    echo "$count"
}

E2E_RUN_HEADER='^=== [0-9]'
e2e_setup_log() {
    local file
    file=$(e2e_file 'C:\Program Files\Zentavo\Setup\setup.log')
    [ -f "$file" ] || return 1
    if [ "${1:-}" = last ]; then
        tail -c +4 "$file" | tr -d '\r' | awk -v header="$E2E_RUN_HEADER" \
            '$0 ~ header {run = ""; on = 1} on {run = run $0 "\n"} /^=== exit code / {on = 0}
             END {printf "%s", run}'
    else
        tail -c +4 "$file" | tr -d '\r'
    fi
}

e2e_setup_runs() {
    e2e_setup_log |
        awk -v header="$E2E_RUN_HEADER" '
            $0 ~ header {
                # "=== DATE TIME build N TOOL WORD [ARG]": the tool quoted when it has spaces.
                rest = $0
                if (sub(/^[^"]*"[^"]*" /, "", rest)) { split(rest, w, " "); word = w[1] } else word = $7
            }
            /^=== exit code / {print word, $NF}'
}

# The companions that logged their start and not their stop since the wineserver last stopped
# (which ends them without a word).
E2E_COMPANION_LOG='C:\Program Files\Zentavo\zentray.log'
E2E_COMPANION_LINES=0
e2e_companions_up() {
    local log
    log=$(e2e_file "$E2E_COMPANION_LOG")
    # A log deleted since (an uninstaller removing the folder) starts again from its first line.
    [ "$(cat "$log" 2>/dev/null | wc -l)" -ge "$E2E_COMPANION_LINES" ] || E2E_COMPANION_LINES=0
    tail -n +$((E2E_COMPANION_LINES + 1)) "$log" 2>/dev/null |
        awk '$3 == "start" {n++} $3 == "stop" {n--} END {print n + 0}'
}

# The tool starts the companion without waiting for it, and a companion that released its mutex
# still writes its last line and ends: a check right after a command would race either.
e2e_companions_settle() {
    local start
    start=$(date +%s%N)
    while [ "$(e2e_companions)" -gt "$(e2e_companions_up)" ]; do
        if [ "$(e2e_ms_since "$start")" -ge 10000 ]; then
            echo "     companions: still starting or ending after 10 s" >&2
            e2e_log_time "companions $E2E_NAME" "still starting or ending after 10 s"
            return 1
        fi
        sleep 0.1
    done
}

e2e_setup() {
    e2e_run_gui 'C:\Program Files\Zentavo\Setup\setup.exe' "$@"
}

# Polls every 0.2 s: the program's end, the log window, or the time limit, whichever comes first.
# After 5 s the window is looked for once a second only: each look is a Wine process, and a
# command that runs long (a companion waited for) must not keep a core busy with them; the modal
# window stays until it is closed.
e2e_run_gui() {
    local limit=${E2E_LIMIT:-180} shots=0 pid start text polls=0
    E2E_CODE=
    E2E_LOGWIN=
    wine "$@" >>"$E2E_OUT/gui.out" 2>&1 &
    pid=$!
    start=$SECONDS
    text="$E2E_OUT/logwin.tmp"
    while kill -0 "$pid" 2>/dev/null; do
        polls=$((polls + 1))
        if { [ "$polls" -le 25 ] || [ $((polls % 5)) -eq 0 ]; } &&
            wine "$E2E_TOOLS/logwin.exe" read >"$text" 2>/dev/null; then
            shots=$((shots + 1))
            E2E_LOGWIN="$E2E_OUT/logwin-$shots.txt"
            tr -d '\r' <"$text" >"$E2E_LOGWIN"
            import -window root "$E2E_DIR/shots/$E2E_NAME-$shots.png" >/dev/null 2>&1 || true
            wine "$E2E_TOOLS/logwin.exe" close >/dev/null 2>&1 || true
        fi
        if [ $((SECONDS - start)) -ge "$limit" ]; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            E2E_CODE=124
            return 0
        fi
        sleep 0.2
    done
    E2E_CODE=0
    wait "$pid" || E2E_CODE=$?
    rm -f "$text"
    e2e_companions_settle
}

e2e_pass() {
    echo "ok   $1"
}

e2e_fail() {
    echo "FAIL $1"
    shift
    [ $# -gt 0 ] && printf '     %s\n' "$@"
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

e2e_check() {
    local description=$1
    shift
    if "$@" >/dev/null 2>&1; then e2e_pass "$description"; else e2e_fail "$description" "command: $*"; fi
}

e2e_check_eq() {
    if [ "$2" = "$3" ]; then
        e2e_pass "$1"
    else
        e2e_fail "$1" "expected: $2" "actual:   $3"
    fi
}

e2e_check_has() {
    if grep -qxF -- "$3" <<<"$2"; then
        e2e_pass "$1"
    else
        e2e_fail "$1" "missing line: $3" "in:" "$2"
    fi
}

e2e_check_lacks() {
    if grep -qxF -- "$3" <<<"$2"; then
        e2e_fail "$1" "unexpected line: $3"
    else
        e2e_pass "$1"
    fi
}

e2e_end() {
    trap - EXIT
    e2e_cleanup
    if [ "$E2E_FAILURES" -ne 0 ]; then
        # CI keeps only this output: what Wine said of the programs (a crash, a failed start)
        # goes with it.
        local said run
        for said in "$E2E_OUT/gui.out" "$E2E_OUT/wine.stderr"; do
            [ -s "$said" ] || continue
            echo "== the last lines of $(basename "$said"):"
            tail -n 40 "$said"
        done
        if run=$(e2e_setup_log last); then
            echo "== the last run of setup.log:"
            printf '%s' "$run" | tail -n 40
        fi
        echo "== scenario $E2E_NAME: $E2E_FAILURES failed check(s); prefix kept in $WINEPREFIX"
        exit 1
    fi
    echo "== scenario $E2E_NAME: all checks passed"
    exit 0
}
