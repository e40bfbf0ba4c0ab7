#!/usr/bin/env bash
# A hostile machine: everything the elevated tool reads is laid out to make it delete, write or
# start what is not the product's. Boot-time deletions of other programs' files and of a canary
# folder's files (also through a link in a user's folder), a "Zentavo:" monitor registered with
# the spooler's own DLL, a "SubKey" that climbs out of the product's per-user key, DLLs planted
# beside the tool, the tool run through a linked folder, the tool run from a drive root (a bare
# companion path) with a companion of that name in the current folder. Install, "onInit", a reinstall from the root and uninstall
# keep the exit codes; nothing but the product's own files is deleted or written, and nothing but
# the product's own zentray.exe is started, by its absolute path.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

e2e_begin hostile
e2e_layout
setup_dir=$(e2e_file 'C:\Program Files\Zentavo\Setup')
product_dir=$(e2e_file 'C:\Program Files\Zentavo')
system=$(e2e_file 'C:\windows\system32')
canary=$(e2e_file 'C:\canary')
user_key='HKCU\Software\Tovalin Software KFT\Zentavo\Zentavos'
session_key='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager'
monitor_key='HKLM\System\CurrentControlSet\Control\Print\Monitors\Zentavo:'

# The canary folder holds files named like the product's and like other programs', and a
# companion of the product's name that a search of the current folder would start.
mkdir -p "$canary/sub"
for name in victim.txt tvlmon64.dll tvldrv64.dll tvlui64.dll tvlhelp.chm; do
    echo "canary $name" >"$canary/$name"
done
cp "$E2E_STANDINS/zentray.exe" "$canary/"
cp "$E2E_STANDINS/zentray.exe" "$system/"
# A user's folder swapped for a link to the canary: Wine's file system follows a Unix symbolic
# link inside drive_c as Windows follows a junction.
ln -s "$canary" "$(e2e_file 'C:\users\Public')/swapped"

# The tool also at the root of drive D:, with the planted DLLs beside it.
droot=$WINEPREFIX/droot
mkdir -p "$droot"
ln -s "$droot" "$WINEPREFIX/dosdevices/d:"
cp "$BUILD/bin/setup.exe" "$E2E_STANDINS/default/"* "$droot/"
cp "$E2E_STANDINS/planted/"* "$setup_dir/"
cp "$E2E_STANDINS/planted/"* "$droot/"

# A product printer whose "SubKey" climbs out of the product's key, and a value "deleted" at the
# key that text names as a path.
e2e_install_standins
e2e_spoolctl addprinter Hostile >/dev/null
e2e_spoolctl subkey Hostile '..\..\Software' >/dev/null
wine reg add "$user_key\\..\\..\\Software" /v deleted /t REG_SZ /d canary /f >/dev/null 2>&1
# The monitor's registration names the spooler's own DLL; the product's DLL is not installed.
wine reg add "$monitor_key" /v Driver /t REG_SZ /d localspl.dll /f >/dev/null 2>&1
rm -f "$system/tvlmon64.dll"

# Boot-time deletions of other programs' files, of product-named files in a folder the tool
# places nothing in (also through the link), and of product-named files in every form that
# names them now but not by a plain absolute path (the UNC and device forms reach nothing under
# Wine). A REGEDIT4 file takes a multi-string as narrow bytes; Wine's regedit widens them.
multi_sz_hex() {
    { for s in "$@"; do printf '%s\0' "$s"; done; printf '\0'; } |
        od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'
}
pending=$(multi_sz_hex \
    '\??\C:\canary\victim.txt' '' \
    '\??\C:\canary\tvlmon64.dll' '' \
    '\??\C:\users\Public\swapped\tvldrv64.dll' '' \
    '\??\C:\users\Public\swapped\victim.txt' '' \
    '\??\UNC\localhost\C$\canary\tvlmon64.dll' '' \
    '\Device\HarddiskVolume1\canary\tvlmon64.dll' '' \
    '\\?\C:\canary\tvldrv64.dll' '' \
    'tvlui64.dll' '' \
    '\??\C:\canary\tvlhelp.chm.' '' \
    '\??\C:\canary\tvlmon64.dll ' '' \
    '\??\C:\canary\sub\..\tvlmon64.dll' '')
printf 'REGEDIT4\r\n\r\n[%s]\r\n"PendingFileRenameOperations"=hex(7):%s\r\n' \
    "$session_key" "$pending" >"$E2E_OUT/pending.reg"
wine regedit /S "$(e2e_winpath "$E2E_OUT/pending.reg")" >/dev/null 2>&1

seeded=$(e2e_inspect printers monitors)
e2e_check_has "set up: the monitor names localspl.dll" "$seeded" \
    'monitor "Zentavo:" dll "localspl.dll"'
e2e_check_has "set up: the hostile SubKey" "$seeded" \
    'printer "Hostile" SubKey REG_SZ "..\..\Software"'

# Every file of drive C: and D: with its checksum, but the product's own files, the companion's
# log beside it, the tool's setup.log beside each copy of the tool, the planted DLLs' markers
# (checked on their own), and the users' folders (Wine links some of them to the Unix home).
snapshot() {
    (cd "$WINEPREFIX" && find drive_c droot -path drive_c/users -prune -o -type f -print0 |
        sort -z | xargs -0 sha256sum) |
        grep -Ev '/(tvlmon64\.dll|tvldrv64\.dll|tvlui64\.dll|tvlhelp\.chm|zentray\.exe)$' |
        grep -Ev '^[0-9a-f]+  drive_c/Program Files/Zentavo/zentray\.log$' |
        grep -Ev '^[0-9a-f]+  (drive_c/Program Files/Zentavo/Setup|droot)/setup\.log$' |
        grep -Eiv '\.loaded$'
}

# The markers the planted DLLs left in a folder, in lower case (they take the importer's case).
planted_markers() {
    find "$1" -maxdepth 1 -iname '*.loaded' -printf '%f\n' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ' |
        sed 's/ $//'
}

# Wine loads DLLs planted beside a program that imports them the ordinary way, with these
# overrides: otherwise the checks below would prove nothing.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;version,winspool.drv=n,b"
cp "$E2E_TOOLS/plantcheck.exe" "$setup_dir/"
e2e_wine 'C:\Program Files\Zentavo\Setup\plantcheck.exe' >/dev/null
e2e_check_eq "control: both planted DLLs are loaded" "version.dll.loaded winspool.drv.loaded" \
    "$(planted_markers "$setup_dir")"
rm -f "$setup_dir/plantcheck.exe" "$setup_dir/"*.loaded

before=$(snapshot)
cd "$canary" || exit 1

e2e_setup install
e2e_check_eq "install exits 1" "1" "$E2E_CODE"
state=$(e2e_inspect printers monitors run)
e2e_check_has "the companion is registered by its absolute path" "$state" \
    'run ZentavoTray REG_SZ "C:\Program Files\Zentavo\zentray.exe"'
e2e_check_has "the monitor is the product's again" "$state" 'monitor "Zentavo:" dll "tvlmon64.dll"'
e2e_check_has "the SubKey is kept byte for byte" "$state" \
    'printer "Hostile" SubKey REG_SZ "..\..\Software"'
e2e_check "the value at the SubKey's path is kept" \
    wine reg query "$user_key\\..\\..\\Software" /v deleted
e2e_check_eq "one companion runs" "1" "$(e2e_companions)"
e2e_check "the companion runs from the product's folder" test -s "$product_dir/zentray.log"

# The product's folder open to everyone (Wine shows the others' write bit as Everyone's entry):
# the uninstall names it, removes nothing and reports the error.
chmod o+w "$product_dir"
e2e_setup uninstall
e2e_check_eq "uninstall from a folder others can change exits 100" "100" "$E2E_CODE"
run_log=$(e2e_setup_log last)
e2e_check "the report names the folder and Everyone" grep -qF \
    "Error(19): The folder 'C:\\Program Files\\Zentavo' can be changed by " <<<"$run_log"
e2e_check "the report names Everyone's SID" grep -qF "(S-1-1-0), not only by administrators" \
    <<<"$run_log"
e2e_check_has "nothing is removed" "$(e2e_inspect printers)" \
    'printer "Hostile" SubKey REG_SZ "..\..\Software"'
chmod o-w "$product_dir"

# The tool laid out under a linked folder: whoever owns the link may point it elsewhere once the
# check is done. The check reads what the link leads to, names it, and nothing is removed.
ln -s "$product_dir" "$(e2e_file 'C:\users\Public')/linked"
e2e_run_gui 'C:\users\Public\linked\Setup\setup.exe' install
e2e_check_eq "install through a linked folder exits 100" "100" "$E2E_CODE"
run_log=$(e2e_setup_log last)
e2e_check "the report names the folder and where the link leads" grep -qF \
    "Error(19): The folder 'C:\users\Public\linked\Setup' can be changed by whoever may change the link it is reached through (to 'C:\Program Files\Zentavo\Setup'), not only by administrators" \
    <<<"$run_log"
e2e_check "the companion's folder is reported too" grep -qF \
    "Error(19): The folder 'C:\users\Public\linked' can be changed by " <<<"$run_log"
e2e_check_has "nothing is removed through the link" "$(e2e_inspect printers)" \
    'printer "Hostile" SubKey REG_SZ "..\..\Software"'
rm "$(e2e_file 'C:\users\Public')/linked"

e2e_setup onInit
# A boot-time deletion names a product DLL (through "\\?\"): it is still waiting for the boot.
e2e_check_eq "onInit exits 200" "200" "$E2E_CODE"

e2e_run_gui 'D:\setup.exe' install
e2e_check_eq "reinstall from a drive root exits 1" "1" "$E2E_CODE"
state=$(e2e_inspect run)
e2e_check_has "no Run value for a bare companion name" "$state" 'run ZentavoTray none'
e2e_check_eq "no companion runs" "0" "$(e2e_companions)"

e2e_setup uninstall
e2e_check_eq "uninstall exits 2" "2" "$E2E_CODE"
cd "$E2E_ROOT" || exit 1

after=$(snapshot)
changed=$(diff <(echo "$before") <(echo "$after") | grep '^[<>]')
e2e_check_eq "no file but the product's was deleted or written" "" "$changed"
# Wine's own user32.dll imports version.dll, so Wine loads a planted version.dll into every GUI
# program before its first line runs; winspool.drv shows what the tool itself loads.
for dir in "$setup_dir" "$droot"; do
    e2e_check_lacks "the planted winspool.drv was never loaded: $dir" \
        "$(planted_markers "$dir" | tr ' ' '\n')" "winspool.drv.loaded"
done
e2e_end
