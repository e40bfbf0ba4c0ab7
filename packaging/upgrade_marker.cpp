// The upgrade key: which old versions a running major upgrade replaces.
#include "upgrade_marker.h"

#include <msiquery.h>

#include <string.h>

#include "action_data.h"

// A volatile key, so no reboot leaves it behind, directly below SOFTWARE: the keys that creating
// it makes would be volatile too, and no lasting key could be made below them.
static const WCHAR UPGRADE_KEY[] = L"SOFTWARE\\Zentavo Upgrade";
// The product codes being replaced, separated by semicolons.
static const WCHAR UPGRADE_VALUE[] = L"Replacing";
// The process that wrote the upgrade key, its id and creation time: the key speaks for an
// upgrade only while that installer still runs.
static const WCHAR UPGRADE_WRITER_VALUE[] = L"Installer";
static const DWORD UPGRADE_LIST_CHARS = 1024;

// The process that runs this action: its id and creation time, which no later process shares.
struct InstallerProcess {
    DWORD id;
    FILETIME created;
};

static bool CurrentInstaller(InstallerProcess *writer)
{
    FILETIME unused[3];
    writer->id = GetCurrentProcessId();
    return GetProcessTimes(GetCurrentProcess(), &writer->created, &unused[0], &unused[1],
                           &unused[2]) != 0;
}

// Whether the installer that wrote the upgrade key still runs: the same id and creation time.
static bool WriterStillRuns(const InstallerProcess *writer)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, writer->id);
    if (!process)
        return false;
    FILETIME created, unused[3];
    DWORD exitCode = 0;
    bool runs = GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]) &&
                CompareFileTime(&created, &writer->created) == 0 &&
                GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

// The key's list of codes into `list` (UPGRADE_LIST_CHARS characters) when a running installer
// wrote it; false for a key that speaks for no running upgrade.
static bool ReadCurrentList(HKEY key, WCHAR *list)
{
    InstallerProcess writer;
    DWORD bytes = (DWORD)((UPGRADE_LIST_CHARS - 1) * sizeof(WCHAR));
    DWORD writerBytes = sizeof(writer);
    DWORD type = 0;
    bool current =
        RegQueryValueExW(key, UPGRADE_WRITER_VALUE, NULL, &type, reinterpret_cast<BYTE *>(&writer),
                         &writerBytes) == ERROR_SUCCESS &&
        type == REG_BINARY && writerBytes == sizeof(writer) && WriterStillRuns(&writer) &&
        RegQueryValueExW(key, UPGRADE_VALUE, NULL, &type, reinterpret_cast<BYTE *>(list), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_SZ;
    if (current)
        list[bytes / sizeof(WCHAR)] = 0;
    return current;
}

// Takes `code` (compared without case) out of the semicolon-separated `list`, with its separator;
// false when it is not listed.
static bool TakeFromList(WCHAR *list, const WCHAR *code)
{
    size_t length = wcslen(code);
    for (WCHAR *listed = list; length > 0 && *listed;) {
        WCHAR *end = wcschr(listed, L';');
        size_t count = end ? (size_t)(end - listed) : wcslen(listed);
        if (count == length && _wcsnicmp(listed, code, length) == 0) {
            // The rest of the list, with its terminator, takes the code's place.
            WCHAR *rest = end ? end + 1 : listed + count;
            memmove(listed, rest, (wcslen(rest) + 1) * sizeof(WCHAR));
            size_t left = wcslen(list);
            if (left > 0 && list[left - 1] == L';')
                list[left - 1] = 0;
            return true;
        }
        listed += count + (end ? 1 : 0);
    }
    return false;
}

bool IsBeingReplaced(MSIHANDLE install, const WCHAR *productCode)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UPGRADE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    WCHAR list[UPGRADE_LIST_CHARS];
    if (!ReadCurrentList(key, list)) {
        RegCloseKey(key);
        ForgetUpgrade();
        Report(install, INSTALLMESSAGE_INFO,
               L"The upgrade key names no upgrade that runs now: it is removed and ignored.");
        return false;
    }
    bool listed = TakeFromList(list, productCode);
    size_t left = wcslen(list);
    if (listed && left > 0)
        RegSetValueExW(key, UPGRADE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(list),
                       (DWORD)((left + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    if (listed && left == 0)
        ForgetUpgrade();
    return listed;
}

void ForgetUpgrade()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, UPGRADE_KEY);
}

// Immediate, before the old versions are removed: lists them in the upgrade key, with this
// installer as its writer. Failing to write it only leaves their removal to
// UPGRADINGPRODUCTCODE.
extern "C" UINT __stdcall MarkUpgrade(MSIHANDLE install)
{
    WCHAR codes[UPGRADE_LIST_CHARS];
    InstallerProcess writer;
    HKEY key;
    if (!ReadShortProperty(install, L"WIX_UPGRADE_DETECTED", codes, UPGRADE_LIST_CHARS))
        return ERROR_SUCCESS;
    if (!CurrentInstaller(&writer) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, UPGRADE_KEY, 0, NULL, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS) {
        Report(install, INSTALLMESSAGE_INFO, L"The versions being replaced cannot be noted (%s).",
               codes);
        return ERROR_SUCCESS;
    }
    RegSetValueExW(key, UPGRADE_WRITER_VALUE, 0, REG_BINARY,
                   reinterpret_cast<const BYTE *>(&writer), sizeof(writer));
    RegSetValueExW(key, UPGRADE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(codes),
                   (DWORD)((wcslen(codes) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

// Rollback of an upgrade: its key must not outlive it, or a later removal of the version it
// named would leave the printing components behind.
extern "C" UINT __stdcall UnmarkUpgrade(MSIHANDLE)
{
    ForgetUpgrade();
    return ERROR_SUCCESS;
}
