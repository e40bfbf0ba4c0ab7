#!/usr/bin/env bash
# The Windows Installer package run silently by Wine's msiexec, as a deployment runs it: what it
# installs and registers, what a major upgrade keeps, a reboot asked for through its exit code,
# the tool's errors in its verbose log, what its removal leaves, the installer program it
# refuses to run beside, and the package built signed.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

PACKAGE=$BUILD/bin/zentavo.msi
NEXT_PACKAGE=$BUILD/tests/zentavo-next.msi
REFERENCE=$E2E_DIR/out/msi-reference.txt
PRODUCT='C:\Program Files\Zentavo'
SETUP="$PRODUCT\\Setup\\setup.exe"
# Wine hands exit codes back cut to 8 bits: 3010 comes as 194, 1603 as 67.
MSI_REBOOT=$((3010 % 256))
MSI_FAILURE=$((1603 % 256))
# The installer program's refusal, 1638.
EXE_REFUSED=$((1638 % 256))

# What setup.exe install alone leaves in a fresh prefix, for the package to match.
e2e_reference msi-reference "$REFERENCE"
reference_verdict=$?

e2e_begin msi
e2e_check_eq "the reference install passed" "0" "$reference_verdict"
e2e_check "the package was built" test -f "$PACKAGE"
product_dir=$(e2e_file "$PRODUCT")
support_log=$product_dir/Setup/setup.log
MSI_LOG=

# msiexec OPTION PACKAGE [PROPERTY=VALUE...], silent, with its verbose log in $MSI_LOG.
run_msiexec() {
    local option=$1 package=$2
    shift 2
    MSI_LOG=$E2E_OUT/msiexec-$((${MSI_RUNS:-0} + 1)).log
    MSI_RUNS=$((${MSI_RUNS:-0} + 1))
    e2e_run_gui msiexec "$option" "$(e2e_winpath "$package")" /qn /l*v \
        "$(e2e_winpath "$E2E_OUT")\\$(basename "$MSI_LOG")" "$@"
}

registry_key_gone() {
    ! wine reg query "$1" >/dev/null 2>&1
}

msi_log() {
    tr -d '\r' <"$MSI_LOG" 2>/dev/null
}

# How many companions run once their count has settled on `expected`: the tool starts the
# companion without waiting for it, and one that was asked to quit may still be ending.
# 5 s bound.
companions_settled() {
    local i
    for i in $(seq 50); do
        [ "$(e2e_companions)" -eq "$1" ] && break
        sleep 0.1
    done
    e2e_companions
}

product_files() {
    (cd "$product_dir" 2>/dev/null && find . -type f ! -name zentray.log | sort)
}

# The Add/Remove entries of the product: "NAME VERSION" a line.
uninstall_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '/^HKEY/ {name = ""} $1 == "DisplayName" {$1 = $2 = ""; name = substr($0, 3)}
            $1 == "DisplayVersion" && name ~ /Zentavo/ {print name " " $3}'
}

# One value of the package's Add/Remove entry (named by its product code).
package_value() {
    local code
    code=$(msiinfo export "$PACKAGE" Property | tr -d '\r' | awk '$1 == "ProductCode" {print $2}')
    wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" /v "$1" \
        2>/dev/null | tr -d '\r' | awk -v name="$1" '$1 == name {$1 = $2 = ""; print substr($0, 3)}'
}

# The command lines of the tool's runs kept in its support log.
support_runs() {
    e2e_setup_log 2>/dev/null |
        awk -v header="$E2E_RUN_HEADER" '$0 ~ header {sub(/^=== [^ ]+ [^ ]+ build [0-9]+ /, ""); print}'
}

# A copy of the package without one component: its file, component and feature rows.
package_without() {
    local component=$1 file=$2 copy=$E2E_OUT/without-$1.msi
    cp "$PACKAGE" "$copy"
    msibuild "$copy" -q "DELETE FROM \`FeatureComponents\` WHERE \`Component_\` = '$component'" &&
        msibuild "$copy" -q "DELETE FROM \`Component\` WHERE \`Component\` = '$component'" &&
        msibuild "$copy" -q "DELETE FROM \`File\` WHERE \`File\` = '$file'" &&
        echo "$copy"
}

# First install, silent: the same state as the tool alone, the files, the Add/Remove entry.
run_msiexec /i "$PACKAGE"
e2e_check_eq "silent install exits 0" "0" "$E2E_CODE"
e2e_check_eq "no log window opened" "" "$E2E_LOGWIN"
e2e_check_eq "the same state as setup.exe install alone" "$(cat "$REFERENCE")" "$(e2e_inspect)"
e2e_check_eq "files laid out for the tool and the companion" \
    "$(printf '%s\n' ./Setup/setup.exe ./Setup/setup.log ./Setup/tvldrv64.dll ./Setup/tvlhelp.chm \
        ./Setup/tvlmon64.dll ./Setup/tvlui64.dll ./zentray.exe)" "$(product_files)"
e2e_check "the laid-out tool is the built one" cmp "$BUILD/bin/setup.exe" "$product_dir/Setup/setup.exe"
e2e_check_eq "one Add/Remove entry" "Zentavo printer 1.0.2551" "$(uninstall_entries)"
e2e_check_has "the log names the tool's run" "$(msi_log)" "Running \"$SETUP\" install nowindow"
e2e_check_has "and its outcome" "$(msi_log)" "setup.exe install ended with code 1."
e2e_check_eq "the entry's contact, links and icon" \
    "$(printf '%s\n' "Tovalin Software KFT" "https://www.tovalin.hu/" "https://www.tovalin.hu/")" \
    "$(for name in Contact HelpLink URLInfoAbout; do package_value $name; done)"
# (Wine's msiexec writes no DisplayIcon for ARPPRODUCTICON: the icon is not checked here.)
# The File table tells Windows Installer which file is newer by the version it holds.
e2e_check_eq "the tool's row in the File table has its version, as Windows reads it, and language" \
    "$(file_version=$(e2e_wine "$E2E_TOOLS/inspect.exe" version "$SETUP" | awk 'NR == 1 {print $2}')
        echo "$file_version 1033")" \
    "$(msiinfo export "$PACKAGE" File | tr -d '\r' | awk -F '\t' '$1 == "setup.exe" {print $5, $6}')"
e2e_check_eq "the printer feature cannot be set absent (16), the tray companion's can" "16 0" \
    "$(msiinfo export "$PACKAGE" Feature | tr -d '\r' |
        awk -F '\t' '$1 == "Printer" {p = int($8 / 16) % 2 * 16} $1 == "Tray" {t = int($8 / 16) % 2 * 16} END {print p, t}')"
e2e_check_eq "no immediate custom action without impersonation (ICE68)" "" \
    "$(msiinfo export "$PACKAGE" CustomAction | tr -d '\r' |
        awk -F '\t' 'NR > 3 && int($2 / 1024) % 2 == 0 && int($2 / 2048) % 2 == 1 {print $1}')"
# Wine's msiexec runs every action as the one user it has, so only the table shows that the
# actions run in the script as LocalSystem on Windows (no-impersonation 2048, in-script 1024,
# a DLL from the Binary table 1) and which of them only on rollback (256, result ignored 64).
e2e_check_eq "the actions of setupaction.dll in the script: deferred or rollback, none impersonated" \
    "$(printf '%s\n' 'RemoveFailedFolders 3393' 'SecureFolders 3073' 'SetupInstall 3073' \
        'SetupUninstall 3073' 'UnmarkUpgrade 3393')" \
    "$(msiinfo export "$PACKAGE" CustomAction | tr -d '\r' |
        awk -F '\t' 'NR > 3 && $3 == "SetupAction" && int($2 / 1024) % 2 == 1 {print $1, $2}' | sort)"
e2e_check_eq "AdminUser is whether the user really is an administrator" "1" \
    "$(msiinfo export "$PACKAGE" Property | tr -d '\r' |
        awk -F '\t' '$1 == "MSIUSEREALADMINDETECTION" {print $2}')"
# Before InstallInitialize the old version would be removed for good, even when the upgrade
# then fails; after the first action that writes the script the removal would come too late.
# The rollback action of the upgrade's note comes before it: a rollback action is written into
# the rollback script where it stands, so it must precede what it rolls back.
e2e_check_eq "the old version's removal is the first action of the upgrade's transaction" \
    "InstallInitialize UnmarkUpgrade RemoveExistingProducts" \
    "$(msiinfo export "$PACKAGE" InstallExecuteSequence | tr -d '\r' | awk -F '\t' 'NR > 3' |
        sort -t "$(printf '\t')" -k3,3n |
        awk -F '\t' '$1 == "InstallInitialize" {print $1; getline; print $1; getline; print $1}' |
        paste -sd ' ')"

# The installer program refuses to install beside the package and changes nothing.
state=$(e2e_inspect)
files=$(product_files)
e2e_run_gui "$BUILD/bin/zentavo-installer.exe" /S
e2e_check_eq "the installer program refuses: 1638" "$EXE_REFUSED" "$E2E_CODE"
e2e_check_eq "the state is as before" "$state" "$(e2e_inspect)"
e2e_check_eq "so are the files" "$files" "$(product_files)"
e2e_check_eq "still one Add/Remove entry" "Zentavo printer 1.0.2551" "$(uninstall_entries)"

# Major upgrade over two product printers the user set up, beside a foreign printer.
e2e_check_eq "a user's product printer" "ok" "$(e2e_spoolctl addprinter Office)"
e2e_check_eq "with its settings" "ok" "$(e2e_spoolctl subkey Office 'dpi=600;tray=2')"
e2e_check_eq "and comment" "ok" "$(e2e_spoolctl setinfo Office 'Second floor' 'Room 12')"
e2e_check_eq "a second one" "ok" "$(e2e_spoolctl addprinter Lab)"
e2e_check_eq "with its settings" "ok" "$(e2e_spoolctl subkey Lab 'dpi=300')"
e2e_check "a foreign printer" e2e_add_foreign_printer Foreign FILE:
e2e_check_eq "the second product printer is the default" "ok" "$(e2e_spoolctl default Lab)"
# The printer "Zentavo" of the first install has no settings to keep: the reinstall drops it.
before=$(e2e_inspect printers default | grep -v '^printer "Zentavo" ')
run_msiexec /i "$NEXT_PACKAGE"
e2e_check_eq "upgrade exits 0" "0" "$E2E_CODE"
e2e_check_eq "the printers, their settings and the default kept" "$before" \
    "$(e2e_inspect printers default)"
e2e_check_eq "the old version's removal did not run the tool's uninstall" \
    "$(printf '"%s" install nowindow\n' "$SETUP" "$SETUP")" "$(support_runs)"
e2e_check_eq "the new version replaced the old one's Add/Remove entry" \
    "Zentavo printer 1.0.9999" "$(uninstall_entries)"
e2e_check_eq "one companion running" "1" "$(companions_settled 1)"
e2e_check "the upgrade's note is gone with it" registry_key_gone 'HKLM\SOFTWARE\Zentavo Upgrade'

# A second install of the installed package changes nothing, and runs no setup.exe install
# (which would delete and re-create every product printer).
runs=$(support_runs)
run_msiexec /i "$NEXT_PACKAGE"
e2e_check_eq "a second install of the installed package exits 0" "0" "$E2E_CODE"
e2e_check_eq "without running the tool" "$runs" "$(support_runs)"
e2e_check_lacks "the log names no run of it" "$(msi_log)" "Running \"$SETUP\" install nowindow"

# A driver file left in the staging folder and held open there, overwritable but not
# deletable: the tool leaves it for the reboot, which the package asks for. A repair, asked for
# by an administrator (under Wine every user is one, and AdminUser cannot be unset), runs the
# tool's install. Wine's msiexec fails "/fa" (1), so the repair is asked for by its properties.
cp "$E2E_STANDINS/default/tvlui64.dll" "$(e2e_file 'C:\windows\system32\spool\drivers\x64')/"
e2e_check "the staged file is held" e2e_hold_file 'C:\windows\system32\spool\drivers\x64\tvlui64.dll' nodelete
before=$(e2e_inspect monitors drivers printers default run)
run_msiexec /i "$NEXT_PACKAGE" REINSTALL=ALL REINSTALLMODE=omus
e2e_check_eq "a file left for the reboot: 3010, as Wine gives it" "$MSI_REBOOT" "$E2E_CODE"
e2e_check_has "the log says why" "$(msi_log)" "setup.exe install ended with code 101."
e2e_check_has "and that a reboot finishes it" "$(msi_log)" \
    "Files of the product are removed at the next reboot."
e2e_check_has "asked for once the script ended" "$(msi_log)" "A reboot finishes the install."
e2e_check "which took its note out" registry_key_gone 'HKLM\SOFTWARE\Zentavo Reboot'
e2e_check "the held file is pending deletion" grep -q 'tvlui64.dll' <<<"$(e2e_inspect pending)"
e2e_release_file
e2e_reboot
e2e_check_has "the reboot deleted it" "$(e2e_inspect pending)" "pending none"
e2e_check_eq "and the product is intact" "$before" "$(e2e_inspect monitors drivers printers default run)"

# A note of an upgrade that no running installer wrote (left by an upgrade that failed, or
# planted by hand) names no upgrade now: it is removed, and a plain removal of the version it
# names is a full one.
product_code=$(msiinfo export "$NEXT_PACKAGE" Property | tr -d '\r' | awk '$1 == "ProductCode" {print $2}')
components=$(e2e_inspect monitors drivers)
wine reg add 'HKLM\SOFTWARE\Zentavo Upgrade' /v Replacing /t REG_SZ \
    /d "$product_code" /f >/dev/null 2>&1
run_msiexec /x "$NEXT_PACKAGE"
e2e_check_eq "the removal beside a stale upgrade note exits 0" "0" "$E2E_CODE"
e2e_check_has "the log says the note was ignored" "$(msi_log)" \
    "The upgrade key names no upgrade that runs now: it is removed and ignored."
e2e_check_has "the tool's uninstall ran" "$(msi_log)" "setup.exe uninstall ended with code 2."
e2e_check "no monitor, driver or printer of the product left" \
    test -z "$(e2e_inspect monitors drivers printers | grep -F 'Zentavo')"
e2e_check "the note is gone" registry_key_gone 'HKLM\SOFTWARE\Zentavo Upgrade'
run_msiexec /i "$NEXT_PACKAGE"
e2e_check_eq "the new version installed after it exits 0" "0" "$E2E_CODE"
e2e_check_eq "with its monitor and driver as before" "$components" "$(e2e_inspect monitors drivers)"

# Removal: nothing of the product left, the foreign printer untouched.
foreign=$(grep '^printer "Foreign" port' <<<"$before")
run_msiexec /x "$NEXT_PACKAGE"
e2e_check_eq "silent removal exits 0" "0" "$E2E_CODE"
e2e_check_has "the log names the tool's run" "$(msi_log)" "setup.exe uninstall ended with code 2."
state=$(e2e_inspect)
e2e_check "no spooler object or Run value of the product left" \
    test -z "$(grep -F 'Zentavo' <<<"$state" | grep -v '^run ZentavoTray none$')"
e2e_check_has "no Run value" "$state" "run ZentavoTray none"
e2e_check_has "nothing pending" "$state" "pending none"
e2e_check_eq "no product file left, the support log neither" "" "$(product_files)"
e2e_check "no system file left" test ! -e "$(e2e_file 'C:\windows\system32\tvlmon64.dll')"
e2e_check_eq "no companion running" "0" "$(companions_settled 0)"
e2e_check_eq "no Add/Remove entry" "" "$(uninstall_entries)"
e2e_check_has "the foreign printer stays" "$state" "$foreign"
e2e_check "no key of the product left" registry_key_gone 'HKLM\Software\Tovalin Software KFT\Zentavo'
e2e_check "nor of its company" registry_key_gone 'HKLM\Software\Tovalin Software KFT'

# A package without the help file: the tool reports the error, the package fails with the
# tool's log of this run in its own.
# An earlier run in the support log stays out of the package's log.
broken=$(package_without DriverHelp tvlhelp.chm)
e2e_check "a package without the help file" test -f "$broken"
mkdir -p "$product_dir/Setup"
# The stand-in companion's own log, beside it from the runs above, is no file of the product.
rm -f "$product_dir/zentray.log"
printf '\xEF\xBB\xBF=== 2026-01-02 03:04:05 build 2551 earlier run\r\nEarlier line\r\n=== exit code 1\r\n' \
    >"$support_log"
run_msiexec /i "$broken"
e2e_check_eq "errors reported by the tool: 1603, as Wine gives it" "$MSI_FAILURE" "$E2E_CODE"
e2e_check_has "the log says so" "$(msi_log)" "setup.exe install reported errors; its log follows."
e2e_check_has "with the tool's run" "$(msi_log)" "=== exit code 100"
e2e_check "and its error report" grep -q '^ *Error([0-9]*): .*tvlhelp\.chm' <<<"$(msi_log)"
e2e_check_lacks "but not the earlier run" "$(msi_log)" "Earlier line"
e2e_check_eq "no Add/Remove entry" "" "$(uninstall_entries)"
e2e_check "a failed first install leaves no product folder, its support log neither" \
    test ! -e "$product_dir"

# A package without the tool: the failure names the reason.
broken=$(package_without SetupTool setup.exe)
run_msiexec /i "$broken"
e2e_check_eq "the tool not starting: 1603" "$MSI_FAILURE" "$E2E_CODE"
e2e_check "the log names the reason" grep -qF \
    "$SETUP could not be started: " <<<"$(msi_log)"
e2e_check "and leaves no product folder" test ! -e "$product_dir"

# Without the companion, by the public property.
run_msiexec /i "$PACKAGE" NOTRAY=1
e2e_check_eq "install with NOTRAY=1 exits 0" "0" "$E2E_CODE"
e2e_check_has "the tool ran without the companion" "$(msi_log)" "Running \"$SETUP\" in_notray nowindow"
e2e_check "no companion file" test ! -e "$product_dir/zentray.exe"
e2e_check_has "no Run value" "$(e2e_inspect run)" "run ZentavoTray none"

# On an upgrade the old version's choice of the companion holds (MigrateFeatureStates) unless
# the command line chooses: ADDLOCAL=ALL adds it, NOTRAY=1 leaves it out.
run_msiexec /i "$NEXT_PACKAGE" ADDLOCAL=ALL
e2e_check_eq "an upgrade with ADDLOCAL=ALL exits 0" "0" "$E2E_CODE"
e2e_check_has "the tool ran with the companion" "$(msi_log)" "Running \"$SETUP\" install nowindow"
e2e_check "its file laid out" test -f "$product_dir/zentray.exe"
e2e_check_eq "one companion running" "1" "$(companions_settled 1)"
run_msiexec /x "$NEXT_PACKAGE"
run_msiexec /i "$PACKAGE"
e2e_check_eq "one companion running before the upgrade without it" "1" "$(companions_settled 1)"
run_msiexec /i "$NEXT_PACKAGE" NOTRAY=1
e2e_check_eq "an upgrade with NOTRAY=1 exits 0" "0" "$E2E_CODE"
e2e_check_has "the tool ran without the companion" "$(msi_log)" "Running \"$SETUP\" in_notray nowindow"
e2e_check "no companion file" test ! -e "$product_dir/zentray.exe"
e2e_check_has "no Run value" "$(e2e_inspect run)" "run ZentavoTray none"
e2e_check_eq "no companion running" "0" "$(companions_settled 0)"

# The package built signed still installs and removes.
run_msiexec /x "$NEXT_PACKAGE"
e2e_check_eq "removal before the signed package exits 0" "0" "$E2E_CODE"
e2e_check "the signed build" e2e_signed_build
run_msiexec /i "$E2E_SIGNED/build/bin/zentavo.msi"
e2e_check_eq "the signed package installs: 0" "0" "$E2E_CODE"
e2e_check "its tool is the signed one" cmp "$E2E_SIGNED/build/bin/setup.exe" \
    "$product_dir/Setup/setup.exe"
run_msiexec /x "$E2E_SIGNED/build/bin/zentavo.msi"
e2e_check_eq "and removes: 0" "0" "$E2E_CODE"
e2e_check_eq "no product file left" "" "$(product_files)"

# Into a folder that exists and that others can change (Wine shows the others' write bit as
# Everyone's entry): the install ends before any file is laid out there.
tools_dir=$(e2e_file 'C:\Tools\Zentavo')
mkdir -p "$tools_dir"
chmod 0777 "$tools_dir"
run_msiexec /i "$PACKAGE" 'INSTALLDIR=C:\Tools\Zentavo\'
e2e_check_eq "an open install folder: 1603" "$MSI_FAILURE" "$E2E_CODE"
e2e_check "the log names the folder" grep -qF \
    "The folder 'C:\Tools\Zentavo' can be changed by " <<<"$(msi_log)"
e2e_check_eq "nothing is laid out there" "" "$(ls -A "$tools_dir" 2>/dev/null)"

e2e_end
