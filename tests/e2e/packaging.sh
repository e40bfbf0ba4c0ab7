#!/usr/bin/env bash
# The product's installer and uninstaller, run silently the way a deployment runs them: what
# they leave installed and register, what an upgrade keeps, what they refuse, their exit codes,
# what the uninstaller removes, and the same installer built signed.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

INSTALLER=$BUILD/bin/zentavo-installer.exe
REFERENCE=$E2E_DIR/out/packaging-reference.txt
PRODUCT='C:\Program Files\Zentavo'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentavo'
# The product version, from the one place the build takes it from.
VERSION=1.0.$(awk '$1 == "#define" && $2 == "BUILD_NUMBER" {print $3}' "$E2E_ROOT/install/version.h")
# Wine hands exit codes back cut to 8 bits: 3010 comes as 194, 1603 as 67, 1618 as 82, 1638 as
# 102.
EXIT_REBOOT=$((3010 % 256))
EXIT_FAILED=$((1603 % 256))
EXIT_ANOTHER_RUNNING=$((1618 % 256))
EXIT_REFUSED=$((1638 % 256))

# What setup.exe install alone leaves in a fresh prefix, for the installer to match.
e2e_reference packaging-reference "$REFERENCE"
reference_verdict=$?

e2e_begin packaging
e2e_check_eq "the reference install passed" "0" "$reference_verdict"
e2e_check "the installer was built" test -f "$INSTALLER"
product_dir=$(e2e_file "$PRODUCT")
tray_log=$product_dir/zentray.log

run_installer() {
    e2e_run_gui "$INSTALLER" /S "$@"
}

# The uninstaller normally copies itself out of the folder it removes and runs the copy
# without waiting; a caller that needs its exit code does the same itself and names the folder.
run_uninstaller() {
    local copy=$E2E_OUT/uninstaller
    rm -rf "$copy"
    mkdir -p "$copy"
    cp "$product_dir/Uninstall.exe" "$copy/"
    # NSIS takes "_?=" only unquoted, up to the end of the command line; Wine quotes an
    # argument with a space, so the folder goes in as two arguments that Wine joins with one.
    e2e_run_gui "$copy/Uninstall.exe" /S "$@" "_?=${PRODUCT% *}" "${PRODUCT#* }"
}

tray_events() {
    awk '$3 == "start" || $3 == "stop" {printf "%s%s", sep, $3; sep = " "}' "$tray_log" 2>/dev/null
}

# The tool starts the companion without waiting for it, so its "start" line can come after the
# installer has ended: wait for it, 5 s bound.
tray_events_after_start() {
    local i
    for i in $(seq 50); do
        [ "$(tray_events | awk '{print $NF}')" = start ] && break
        sleep 0.1
    done
    tray_events
}

product_files() {
    (cd "$product_dir" 2>/dev/null && find . -type f ! -name zentray.log | sort)
}

# The installer's own log lines in a file (setup.log, or a /LOG= file) without their time stamps.
installer_lines() {
    tail -c +4 "$1" 2>/dev/null | tr -d '\r' |
        sed -n -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} //p'
}
LOGS='C:\Logs'
logs_dir=$(e2e_file "$LOGS")

uninstall_entry() {
    uninstall_value UninstallString
}

# One value of the installer's Add/Remove entry, as `reg query` prints it.
uninstall_value() {
    wine reg query "$UNINSTALL_KEY" /v "$1" 2>/dev/null | tr -d '\r' |
        awk -v name="$1" '$1 == name {$1 = $2 = ""; print substr($0, 3)}'
}

# The Add/Remove entries that the Windows Installer package registered (named by product code).
package_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null |
        tr -d '\r' | grep -c '\\{' || true
}

# The version resource of a file, as Windows reads it.
file_version() {
    e2e_wine "$E2E_TOOLS/inspect.exe" version "$1"
}

# Runs the QuietUninstallString as a deployment runs it: the program it names, with its
# arguments (none of them quoted; the folder holds no space).
run_quiet_uninstall() {
    local quiet program arguments
    quiet=$(uninstall_value QuietUninstallString)
    program=${quiet#\"}
    program=${program%%\"*}
    read -r -a arguments <<<"${quiet#*\" }"
    e2e_run_gui "$program" "${arguments[@]}"
}

# First install, silent.
run_installer
e2e_check_eq "silent install exits 0" "0" "$E2E_CODE"
e2e_check_eq "no log window opened" "" "$E2E_LOGWIN"
e2e_check_eq "the same state as setup.exe install alone" "$(cat "$REFERENCE")" "$(e2e_inspect)"
e2e_check_eq "files laid out for the tool and the companion" \
    "$(printf '%s\n' ./Setup/setup.exe ./Setup/setup.log ./Setup/tvldrv64.dll ./Setup/tvlhelp.chm \
        ./Setup/tvlmon64.dll ./Setup/tvlui64.dll ./Uninstall.exe ./zentray.exe)" "$(product_files)"
e2e_check "the laid-out tool is the built one" cmp "$BUILD/bin/setup.exe" "$product_dir/Setup/setup.exe"
e2e_check_eq "the uninstaller is registered" "\"$PRODUCT\\Uninstall.exe\"" "$(uninstall_entry)"
e2e_check_eq "the companion was started once" "start" "$(tray_events_after_start)"
e2e_check_eq "the Add/Remove entry as deployment systems read it" \
    "$(printf '%s\n' "$VERSION" "Tovalin Software KFT" "$PRODUCT\\Uninstall.exe,0" \
        "https://www.tovalin.hu/" "$PRODUCT" 0x1 0x1 "\"$PRODUCT\\Uninstall.exe\" /S _?=$PRODUCT")" \
    "$(for name in DisplayVersion Publisher DisplayIcon URLInfoAbout InstallLocation NoModify \
        NoRepair QuietUninstallString; do uninstall_value $name; done)"
e2e_check "with the size laid out" test "$(($(uninstall_value EstimatedSize)))" -gt 100
lines=$(installer_lines "$product_dir/Setup/setup.log")
e2e_check_has "setup.log holds the installer's decision" "$lines" \
    "installer: installing version $VERSION in $PRODUCT"
e2e_check_has "the tool's command line, asking for no log window" "$lines" \
    "installer: running \"$PRODUCT\\Setup\\setup.exe\" install nowindow"
e2e_check_has "its exit code" "$lines" "installer: setup.exe install ended with code 1"
e2e_check_eq "and, last, the installer's own" "installer: ends with exit code 0" \
    "$(tail -n 1 <<<"$lines")"
e2e_check_eq "which its first lines, written before the folder was there, precede" \
    "installer: version $VERSION started:" "$(head -n 1 <<<"$lines" | awk '{print $1, $2, $3, $4}')"
e2e_check_eq "the tool's version resource, as Windows reads it" \
    "$(printf '%s\n' "file $VERSION.0 product $VERSION.0" 'CompanyName "Tovalin Software KFT"' \
        'FileDescription "Zentavo printer setup"' "FileVersion \"$VERSION.0\"" \
        'LegalCopyright "Copyright (C) Tovalin Software KFT"' 'ProductName "Zentavo printer"' \
        "ProductVersion \"$VERSION\"")" "$(file_version "$PRODUCT\\Setup\\setup.exe")"
e2e_check_eq "the installer's and the uninstaller's version" \
    "$(printf 'file %s.0 product %s.0\n' "$VERSION" "$VERSION" "$VERSION" "$VERSION")" \
    "$(file_version "$(e2e_winpath "$INSTALLER")" | head -n 1
        file_version "$PRODUCT\\Uninstall.exe" | head -n 1)"

# Refusals change nothing: the Windows Installer package while this product is installed, a
# second installer while one runs, an older version over a newer one.
state=$(e2e_inspect)
files=$(product_files)
e2e_run_gui msiexec /i "$(e2e_winpath "$BUILD/bin/zentavo.msi")" /qn /l*v \
    "$(e2e_winpath "$E2E_OUT")\\refused.log"
e2e_check_eq "the package refuses to install beside it: 1603" "$EXIT_FAILED" "$E2E_CODE"
# Wine's msiexec leaves the condition's message out of a silent run's log.
e2e_check "by its launch condition, having found this one's entry" \
    test -n "$(grep -a 'LaunchConditions. Return value 0' "$E2E_OUT/refused.log")" \
    -a -n "$(grep -a 'EXEINSTALLED = Zentavo printer' "$E2E_OUT/refused.log")"
e2e_check_eq "no package entry" "0" "$(package_entries)"
wine "$INSTALLER" >/dev/null 2>&1 &
first=$!
# The interactive installer's welcome page shows once it holds the run mutex; 20 s bound.
for _ in $(seq 200); do
    xdotool search --name 'Zentavo printer Setup' >/dev/null 2>&1 && break
    sleep 0.1
done
mkdir -p "$logs_dir"
run_installer "/LOG=$LOGS\refused.log"
e2e_check_eq "a second installer while one runs: 1618" "$EXIT_ANOTHER_RUNNING" "$E2E_CODE"
e2e_check_eq "its /LOG= file says why, and its exit code" \
    "$(printf '%s\n' "installer: refused: another install or removal of the product is running" \
        "installer: ends with exit code 1618")" "$(installer_lines "$logs_dir/refused.log" | tail -n 2)"
wine taskkill /f /im zentavo-installer.exe >/dev/null 2>&1
wait "$first"
wine reg add "$UNINSTALL_KEY" /v DisplayVersion /t REG_SZ /d 1.0.99999 /f >/dev/null 2>&1
run_installer "/LOG=$LOGS\refused.log"
e2e_check_eq "an older version over a newer one: 1638" "$EXIT_REFUSED" "$E2E_CODE"
e2e_check_eq "appended to the same log" \
    "$(printf '%s\n' "installer: refused: the newer version 1.0.99999 is installed" \
        "installer: ends with exit code 1638")" "$(installer_lines "$logs_dir/refused.log" | tail -n 2)"
# Wine shows a file that others can change as one with the others' write bit.
chmod 0666 "$logs_dir/refused.log"
logged=$(md5sum <"$logs_dir/refused.log")
run_installer "/LOG=$LOGS\refused.log"
e2e_check_eq "a log that others can change is not written" "$logged" "$(md5sum <"$logs_dir/refused.log")"
e2e_check_eq "and the installer's outcome stays the same: 1638" "$EXIT_REFUSED" "$E2E_CODE"
wine reg add "$UNINSTALL_KEY" /v DisplayVersion /t REG_SZ /d "$VERSION" /f >/dev/null 2>&1
e2e_check_eq "the state is as before the refusals" "$state" "$(e2e_inspect)"
e2e_check_eq "so are the files" "$files" "$(product_files)"
e2e_check_eq "the tool ran once" "1" "$(e2e_setup_log | grep -c '^=== exit code')"
e2e_check "setup.log has none of the refusals logged in /LOG=" \
    test -z "$(installer_lines "$product_dir/Setup/setup.log" | grep refused)"

# Upgrade over a product printer the user set up, beside a printer of another product.
e2e_check_eq "a user's product printer" "ok" "$(e2e_spoolctl addprinter Office)"
e2e_check_eq "with its settings" "ok" "$(e2e_spoolctl subkey Office 'dpi=600;tray=2')"
e2e_check_eq "and comment" "ok" "$(e2e_spoolctl setinfo Office 'Second floor' 'Room 12')"
e2e_check "a foreign printer" e2e_add_foreign_printer Foreign FILE:
e2e_check_eq "the product printer is the default" "ok" "$(e2e_spoolctl default Office)"
before=$(e2e_inspect printers default)
run_installer
e2e_check_eq "upgrade exits 0" "0" "$E2E_CODE"
state=$(e2e_inspect)
e2e_check_has "the user's printer is re-created" "$state" \
    'printer "Office" port "Zentavo:" driver "Zentavo printer" comment "Second floor" location "Room 12" attributes 0x00000000'
e2e_check_has "with its SubKey" "$state" 'printer "Office" SubKey REG_SZ "dpi=600;tray=2"'
e2e_check_has "and still the default" "$state" 'default "Office"'
e2e_check_lacks "no printer \"Zentavo\" added beside it" "$state" \
    'printer "Zentavo" port "Zentavo:" driver "Zentavo printer" comment "" location "" attributes 0x00000000'
e2e_check_has "the foreign printer is untouched" "$state" \
    "$(grep '^printer "Foreign" port' <<<"$before")"
e2e_check_eq "the old companion stopped, the new one started" "start stop start" \
    "$(tray_events_after_start)"
e2e_check_has "stopped by the tool's removetray, which reaches it from any account" \
    "$(installer_lines "$product_dir/Setup/setup.log")" "installer: setup.exe removetray ended with code 6"
e2e_check_has "and registered" "$state" "run ZentavoTray REG_SZ \"$PRODUCT\\zentray.exe\""

# An upgrade while the companion is not running but still registered must not lose its file.
e2e_wine "$product_dir/Setup/setup.exe" removetray >/dev/null
wine reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v ZentavoTray /t REG_SZ \
    /d "$PRODUCT\\zentray.exe" /f >/dev/null 2>&1
cp "$E2E_STANDINS/zentray.exe" "$product_dir/"
run_installer
e2e_check_eq "upgrade with a registered, stopped companion exits 0" "0" "$E2E_CODE"
e2e_check "its program file is there" test -f "$product_dir/zentray.exe"
e2e_check_eq "and it was started" "start stop start stop start" "$(tray_events_after_start)"

# Without the companion.
run_installer /NOTRAY
e2e_check_eq "install without the companion exits 0" "0" "$E2E_CODE"
e2e_check_has "no Run value" "$(e2e_inspect run)" "run ZentavoTray none"
e2e_check "its program file is gone" test ! -e "$product_dir/zentray.exe"
e2e_check_eq "it was stopped" "start stop start stop start stop" "$(tray_events)"
run_installer
e2e_check_eq "installing it again exits 0" "0" "$E2E_CODE"

# An upgrade whose companion file cannot be written: it fails and leaves the installed version,
# its files and its Add/Remove entry as they were.
wine reg add "$UNINSTALL_KEY" /v DisplayVersion /t REG_SZ /d 1.0.2550 /f >/dev/null 2>&1
printf 'installed version' >>"$product_dir/Setup/tvlhelp.chm"
cp "$product_dir/Setup/tvlhelp.chm" "$E2E_OUT/installed-help.chm"
state=$(e2e_inspect monitors drivers printers default)
e2e_check "the companion's file is held" e2e_hold_file "$PRODUCT\zentray.exe"
run_installer "/LOG=$LOGS\held.log"
e2e_release_file
e2e_check_eq "an upgrade that cannot write a file: 1603" "$EXIT_FAILED" "$E2E_CODE"
e2e_check_eq "the entry still names the installed version" "1.0.2550" "$(uninstall_value DisplayVersion)"
e2e_check "whose files were put back" cmp "$E2E_OUT/installed-help.chm" "$product_dir/Setup/tvlhelp.chm"
e2e_check_eq "with no copy left beside them" "" "$(product_files | grep previous)"
e2e_check_eq "the printing components untouched" "$state" "$(e2e_inspect monitors drivers printers default)"
e2e_check_has "the companion's Run value back" "$(e2e_inspect run)" \
    "run ZentavoTray REG_SZ \"$PRODUCT\\zentray.exe\""
lines=$(installer_lines "$logs_dir/held.log")
e2e_check_has "the log names the upgrade" "$lines" "installer: upgrading version 1.0.2550 in $PRODUCT to $VERSION"
e2e_check_has "and the file" "$lines" "installer: refused: $PRODUCT\\zentray.exe could not be written"
e2e_check_eq "and the exit code" "installer: ends with exit code 1603" "$(tail -n 1 <<<"$lines")"
run_installer
e2e_check_eq "the upgrade once the file is free exits 0" "0" "$E2E_CODE"
e2e_check_eq "and names the new version" "$VERSION" "$(uninstall_value DisplayVersion)"

# A driver file left in the staging folder and held open there, overwritable but not
# deletable: the tool leaves it for the reboot and the installer says so through its exit code;
# nothing of the product is lost.
cp "$E2E_STANDINS/default/tvlui64.dll" "$(e2e_file 'C:\windows\system32\spool\drivers\x64')/"
e2e_check "the staged file is held" e2e_hold_file 'C:\windows\system32\spool\drivers\x64\tvlui64.dll' nodelete
before=$(e2e_inspect monitors drivers printers default run)
run_installer
e2e_check_eq "a file left for the reboot: 3010" "$EXIT_REBOOT" "$E2E_CODE"
e2e_check_eq "no log window opened" "" "$E2E_LOGWIN"
e2e_check_eq "the product is installed as before" "$before" \
    "$(e2e_inspect monitors drivers printers default run)"
e2e_check "the held file is pending deletion" \
    grep -q 'tvlui64.dll' <<<"$(e2e_inspect pending)"
e2e_release_file
e2e_reboot
e2e_check_has "the reboot deleted it" "$(e2e_inspect pending)" "pending none"
e2e_check "the staged file is gone" test ! -e "$(e2e_file 'C:\windows\system32\spool\drivers\x64\tvlui64.dll')"
e2e_check_eq "and the product is intact" "$before" "$(e2e_inspect monitors drivers printers default run)"

# The silent uninstaller with the monitor held open: done at the reboot.
e2e_check "the monitor is held" e2e_hold_file 'C:\windows\system32\tvlmon64.dll'
run_uninstaller
e2e_check_eq "uninstall with a held monitor: 3010" "$EXIT_REBOOT" "$E2E_CODE"
e2e_release_file
e2e_reboot
state=$(e2e_inspect)
for object in 'monitor "Zentavo:"' 'port "Zentavo:"' 'driver "Zentavo printer"' 'printer "Office"'; do
    e2e_check "no $object left" test -z "$(grep -F "$object" <<<"$state")"
done
e2e_check_has "no Run value" "$state" "run ZentavoTray none"
e2e_check_has "nothing pending after the reboot" "$state" "pending none"
e2e_check "the monitor file is gone" test ! -e "$(e2e_file 'C:\windows\system32\tvlmon64.dll')"
e2e_check_eq "no product file left" "" "$(product_files)"
e2e_check_eq "the companion stopped" "stop" "$(tray_events | awk '{print $NF}')"
e2e_check_eq "the uninstaller is unregistered" "" "$(uninstall_entry)"
e2e_check_has "the foreign printer stays" "$state" "$(grep '^printer "Foreign" port' <<<"$before")"

# A first install whose driver file cannot be staged: the tool reports the error in setup.log,
# opening no window for the silent installer, which never retries, ends with the tool's verdict,
# reports its errors in its own log, and leaves nothing but setup.log: no Add/Remove entry for
# deployment systems to take as installed.
cp "$E2E_STANDINS/default/tvldrv64.dll" "$(e2e_file 'C:\windows\system32\spool\drivers\x64')/"
e2e_check "the staged driver is held" e2e_hold_file 'C:\windows\system32\spool\drivers\x64\tvldrv64.dll'
run_installer "/LOG=$LOGS\errors.log"
e2e_check_eq "errors reported by the tool: 1603" "$EXIT_FAILED" "$E2E_CODE"
e2e_check_eq "silent, the tool opened no log window" "" "$E2E_LOGWIN"
run=$(e2e_setup_log last)
e2e_check_eq "setup.log ends with that run's code" "=== exit code 100" "$(tail -n 1 <<<"$run")"
e2e_check "and names an error" grep -q '^ *Error(' <<<"$run"
e2e_check_eq "the installer's log names the same errors" \
    "$(grep '^ *Error(' <<<"$run" | sed 's/^ *//')" \
    "$(installer_lines "$logs_dir/errors.log" | sed -n '/^installer: setup.exe reported errors:$/,/^installer: /p' |
        grep '^Error(')"
e2e_check_eq "no Add/Remove entry" "" "$(uninstall_value DisplayVersion)$(uninstall_entry)"
e2e_check_eq "no file left but setup.log" "./Setup/setup.log" "$(product_files)"
e2e_check_eq "and the installer's exit code last" "installer: ends with exit code 1603" \
    "$(installer_lines "$logs_dir/errors.log" | tail -n 1)"
e2e_release_file

# Installed again and removed without a hitch.
run_installer
e2e_check_eq "a repairing install exits 0" "0" "$E2E_CODE"
run_uninstaller "/LOG=$LOGS\uninstall.log"
e2e_check_eq "a clean uninstall exits 0" "0" "$E2E_CODE"
e2e_check_eq "the uninstaller's log: the tool's run, asking for no window, and the outcome" \
    "$(printf '%s\n' "uninstaller: running \"$PRODUCT\\Setup\\setup.exe\" uninstall nowindow" \
        "uninstaller: setup.exe uninstall ended with code 2" \
        "uninstaller: removing the product's files from $PRODUCT" "uninstaller: ends with exit code 0")" \
    "$(installer_lines "$logs_dir/uninstall.log" | tail -n 4)"
state=$(e2e_inspect)
e2e_check "nothing of the product left" test -z "$(grep -F 'Zentavo' <<<"$state" | grep -v '^run ZentavoTray none$')"
e2e_check_has "nothing pending" "$state" "pending none"
e2e_check_eq "no product file left" "" "$(product_files)"
e2e_check "no system file left" test ! -e "$(e2e_file 'C:\windows\system32\tvlmon64.dll')"

# Installed into another folder, then run again with a plain /S: the installed folder again, and
# the quiet removal that the entry names returns when it is done.
ALT='C:\Alt\Zentavo'
alt_dir=$(e2e_file "$ALT")
# The companion logs beside its program file.
E2E_COMPANION_LOG="$ALT\zentray.log"
E2E_COMPANION_LINES=0
run_installer "/D=$ALT"
e2e_check_eq "install into another folder exits 0" "0" "$E2E_CODE"
state=$(e2e_inspect)
run_installer "/LOG=$LOGS\other.log" '/D=C:\Other\Zentavo'
e2e_check_eq "/D= another folder than the installed one: 1603" "$EXIT_FAILED" "$E2E_CODE"
e2e_check "nothing is made there" test ! -e "$(e2e_file 'C:\Other')"
e2e_check_eq "the entry stays" "$ALT" "$(uninstall_value InstallLocation)"
e2e_check_eq "and so does the product" "$state" "$(e2e_inspect)"
e2e_check_has "the installer's log says why" "$(installer_lines "$logs_dir/other.log")" \
    "installer: refused: the product is installed in $ALT, not in C:\\Other\\Zentavo"
run_installer
e2e_check_eq "a plain /S after it exits 0" "0" "$E2E_CODE"
e2e_check_eq "and stays in that folder" "$ALT" "$(uninstall_value InstallLocation)"
e2e_check_eq "no second copy" "" "$(product_files)"
e2e_check_eq "the tool ran twice there" "2" \
    "$(tr -d '\r' <"$alt_dir/Setup/setup.log" 2>/dev/null | grep -c '^=== exit code')"
run_quiet_uninstall
e2e_check_eq "the quiet removal exits 0" "0" "$E2E_CODE"
e2e_check_eq "having removed the entry" "" "$(uninstall_entry)"
e2e_check "and the product" test -z \
    "$(e2e_inspect | grep -F 'Zentavo' | grep -v '^run ZentavoTray none$' | grep -v '^pending ')"
e2e_check_eq "only its own program file waits, with the folder, for the reboot" \
    "$(printf 'pending 1 "\\??\\%s\\Uninstall.exe" -> ""\npending 2 "\\??\\%s" -> ""' "$ALT" "$ALT")" \
    "$(e2e_inspect pending)"
e2e_reboot
e2e_check_eq "which removes it" "" "$(cd "$alt_dir" 2>/dev/null && find . -type f ! -name zentray.log)"
e2e_check_has "nothing pending after the reboot" "$(e2e_inspect pending)" "pending none"
E2E_COMPANION_LOG="$PRODUCT\zentray.log"
E2E_COMPANION_LINES=0

# Built signed with a throwaway CA: every signed file verifies, and the signed installer still
# installs and removes (its uninstaller, written at install time, signed too).
e2e_check "the signed build" e2e_signed_build
signed=$E2E_SIGNED/build
for file in bin/setup.exe bin/setupaction.dll standins/zentray.exe bin/zentavo-installer.exe \
    bin/zentavo.msi; do
    e2e_check "$file verifies" osslsigncode verify -CAfile "$E2E_SIGNED/cert/ca.pem" -in "$signed/$file"
done
e2e_run_gui "$signed/bin/zentavo-installer.exe" /S
e2e_check_eq "the signed installer exits 0" "0" "$E2E_CODE"
e2e_check "its uninstaller verifies" osslsigncode verify -CAfile "$E2E_SIGNED/cert/ca.pem" \
    -in "$product_dir/Uninstall.exe"
e2e_check "the laid-out tool is the signed one" cmp "$signed/bin/setup.exe" "$product_dir/Setup/setup.exe"
run_uninstaller
e2e_check_eq "and removes it: 0" "0" "$E2E_CODE"
e2e_check_eq "no product file left" "" "$(product_files)"

# An install folder that exists and that others can change (Wine shows the others' write bit as
# Everyone's entry): the installer stops before it writes a file there.
tools_dir=$(e2e_file 'C:\Tools\Zentavo')
mkdir -p "$tools_dir"
chmod 0777 "$tools_dir"
run_installer "/LOG=$LOGS\open.log" '/D=C:\Tools\Zentavo'
e2e_check_eq "an open install folder stops the installer: 1603" "$EXIT_FAILED" "$E2E_CODE"
e2e_check "its log names the folder and who can change it" \
    grep -q '^installer: refused: the folder C:\\Tools\\Zentavo can be changed by [^ ]' \
    <<<"$(installer_lines "$logs_dir/open.log")"
e2e_check_eq "nothing is written there" "" "$(ls -A "$tools_dir")"
e2e_check "no setup.exe ran" test -z "$(e2e_inspect printers | grep -F 'Zentavo printer')"

e2e_end
