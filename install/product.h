// The product's names and numbers: every part of the tool takes them from here.
#pragma once

#include <windows.h>

#include "counted_string.h"

// BUILD_NUMBER, the tool's build: the first log line, the log window's title, the support log's
// run headers, and the newest monitor build a reinstall keeps.
#include "version.h"

// Builds up to this one predate the current components: an installed monitor of this build or
// older is replaced, and a driver file of this build or older is not current.
const LONG LAST_OLD_BUILD = 2450;

// The printer a first install creates, and the log's product name.
const WCHAR PRODUCT_PRINTER_NAME[] = L"Zentavo";
// The port monitor; its name is also the port of every product printer.
const WCHAR MONITOR_NAME[] = L"Zentavo:";
// The port that printers are parked on while the monitor is removed.
const WCHAR PARKING_PORT[] = L"file:";
const WCHAR DRIVER_NAME[] = L"Zentavo printer";
const WCHAR DRIVER_MAKER[] = L"Tovalin Software Kft.";
const WCHAR DRIVER_MAKER_URL[] = L"https://www.tovalin.hu/";
// The driver is added as a version-3 (user-mode) driver; the spooler keeps its files in the
// "3" folder of the printer driver directory.
const DWORD DRIVER_VERSION = 3;
const WCHAR DRIVER_VERSION_FOLDER[] = L"3\\";
const WCHAR PRINT_PROCESSOR[] = L"WinPrint";
const WCHAR PRINTER_DATATYPE[] = L"RAW";

// The component files of each file set (x86, x64): monitor, driver, configuration DLL, help
// file. The tool always installs the x64 set; the x86 names still count as the product's.
const int FILE_SET_FILES = 4;
const WCHAR *const FILE_SETS[2][FILE_SET_FILES] = {
    {L"tvlmon32.dll", L"tvldrv32.dll", L"tvlui32.dll", L"tvlhelp.chm"},
    {L"tvlmon64.dll", L"tvldrv64.dll", L"tvlui64.dll", L"tvlhelp.chm"},
};
const WCHAR *const ENVIRONMENTS[2] = {L"Windows NT x86", L"Windows x64"};

// Whether `name` is the file name of a component of either file set (ASCII letters folded).
inline bool IsProductComponentName(const WCHAR *name)
{
    for (int set = 0; set < 2; set++) {
        for (int i = 0; i < FILE_SET_FILES; i++) {
            if (EqualFoldingAscii(name, FILE_SETS[set][i]))
                return true;
        }
    }
    return false;
}

// Printer data of a product printer: the narrow "SubKey" text names the printer's settings key
// below the product's per-user key; the spooler keeps a copy under "DsUser".
const char SUBKEY_VALUE[] = "SubKey";
const char SUBKEY_COPY_KEY[] = "DsUser";
// The "SubKey" value is read into a buffer of this many bytes.
const DWORD SUBKEY_BUFFER = 64;
const char PRODUCT_USER_KEY[] = "Software\\Tovalin Software KFT\\Zentavo";
const char SUBKEY_PATH_PREFIX[] = "Zentavos\\";
// The product's other programs mark a printer's settings "deleted" when the printer goes.
const char DELETED_MARK[] = "deleted";
// Printers kept across a reinstall are written down here (HKLM) until they are back.
const WCHAR KEPT_RECORDS_KEY[] = L"Software\\Tovalin Software KFT\\Zentavo\\Kept printers";

// The default printer's name is read into this many characters: 255 for the snapshot of an
// install or uninstall, 260 (MAX_PATH) for the "onInit" probe; both as the product has always
// asked, and no printer name is longer than either.
const DWORD SNAPSHOT_DEFAULT_NAME_CHARS = 255;
const DWORD PROBE_DEFAULT_NAME_CHARS = 260;

// The install command's marker lines: plain lines at depth 0 before and after its work, for the
// product's support staff to find the install in a log; ">>0020" follows the log window, so the
// window never shows it.
const WCHAR LOG_MARK_INSTALL_START[] = L">>0010";
const WCHAR LOG_MARK_INSTALL_END[] = L">>0020";
// A section of the log is indented one level; the reinstall's two, so that its sections stand
// apart from the context's own lines before it.
const LONG LOG_SECTION_STEP = 1;
const LONG REINSTALL_SECTION_STEP = 2;

// The help viewer's window that an install closes first: it may hold the help file.
const WCHAR HELP_WINDOW_CLASS[] = L"HH Parent";
const WCHAR HELP_WINDOW_TITLE[] = L"Zentavo Help";

// Names shared with the tray companion program.
#define TRAY_MUTEX_NAME "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}"
#define TRAY_WINDOW_CLASS L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}"
// The companion's own quit request, WM_USER + 2: a message of its window class, not a system one.
#define TRAY_QUIT_MESSAGE 0x0402
#define TRAY_RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define TRAY_RUN_KEY_W L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define TRAY_RUN_VALUE "ZentavoTray"
#define TRAY_RUN_VALUE_W L"ZentavoTray"
#define TRAY_FILE_NAME L"zentray.exe"
// Deleting the companion's file right after it quit: a file still held by its ending process
// (access denied) gets 100 ms, any other failure 10 ms, ten attempts in all.
const int TRAY_DELETE_ATTEMPTS = 10;
const DWORD TRAY_DELETE_HELD_PAUSE_MS = 100;
const DWORD TRAY_DELETE_OTHER_PAUSE_MS = 10;
