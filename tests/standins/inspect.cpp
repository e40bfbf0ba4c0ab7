// inspect.exe [SECTION...] | inspect.exe build FILE | inspect.exe version FILE
//
// Prints the spooler and registry state the setup tool acts on, one fact a line, each section's
// lines sorted, so scripts can compare and grep it. Sections, in this order: monitors, ports,
// drivers, printers, default, run, user, pending (all when none is named), and kept (only when
// named, so that the whole state reads as it always has). Text is UTF-8 with
// "\n" line ends; strings are in double quotes, an embedded quote written as \" (backslashes
// stay as they are, so paths read as Windows writes them).
//
//   monitor "NAME" dll "DLL"                 (Wine reports every environment as "Windows NT x86")
//   port "NAME"
//   driver "NAME" version V build B|none
//   driver "NAME" ROLE "PATH"                (ROLE: driver, data, config, help, dependent)
//   printer "NAME" port "P" driver "D" comment "C" location "L" attributes 0xHEX
//   printer "NAME" SubKey TYPE "VALUE"       (TYPE: REG_SZ, or the type number)
//   printer "NAME" DsUser\SubKey TYPE "VALUE"
//   default "NAME" | default none (error N)
//   run ZentavoTray "DATA" | run ZentavoTray none
//   user "SUBKEY" "VALUE" TYPE "DATA"        (every value below the product's per-user key)
//   user "SUBKEY" (key)                      (a key without values)
//   user none                                (no per-user key)
//   kept "NAME" | kept none                 (printers an install wrote down and did not re-create)
//   pending N "SOURCE" -> "TARGET"           (in the registry's order, not sorted)
//   pending none
//   SECTION error N                          (the section could not be read: N the last error)
//   printer "NAME" open error N              (its printer data could not be read)
//   printer "NAME" SubKey error N            (a read that failed other than "no such value")
//
// A section that cannot be read says so instead of printing nothing, and the exit code is 3, so a
// comparison of two states shows the failure rather than a section gone missing. A printer that
// cannot be opened is a fact of the state (one registered without a datatype stays so).
//
// "build FILE" prints the fourth number of FILE's product version, or "none". "version FILE"
// prints FILE's version resource as Windows reads it, or "none":
//   file A.B.C.D product A.B.C.D
//   NAME "VALUE"                             (the US English strings, in this order: CompanyName,
//                                            FileDescription, FileVersion, LegalCopyright,
//                                            ProductName, ProductVersion; "none" when missing)
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <winspool.h>

namespace {

typedef std::vector<std::wstring> Lines;
typedef BOOL(WINAPI *GetDefaultPrinterFunction)(LPWSTR, LPDWORD);

const WCHAR USER_KEY[] = L"Software\\Tovalin Software KFT\\Zentavo";
const WCHAR RUN_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const WCHAR KEPT_KEY[] = L"Software\\Tovalin Software KFT\\Zentavo\\Kept printers";
const WCHAR SESSION_MANAGER_KEY[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

void PrintWide(const std::wstring &text)
{
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string utf8(bytes, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0], bytes, NULL,
                            NULL);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), (DWORD)utf8.size(), &written, NULL);
}

std::wstring Quote(const WCHAR *text)
{
    std::wstring quoted = L"\"";
    for (const WCHAR *c = text != NULL ? text : L""; *c; c++) {
        if (*c == L'"')
            quoted += L'\\';
        quoted += *c;
    }
    return quoted + L"\"";
}

std::wstring Number(const WCHAR *format, unsigned long value)
{
    WCHAR text[32];
    _snwprintf(text, 32, format, value);
    text[31] = 0;
    return text;
}

// Set by a section that could not be read; the exit code says so.
bool g_unreadable;

void ErrorLine(Lines *lines, const std::wstring &what, DWORD error)
{
    lines->push_back(what + Number(L" error %lu", error));
}

void Unreadable(Lines *lines, const std::wstring &what, DWORD error)
{
    ErrorLine(lines, what, error);
    g_unreadable = true;
}

// The two-call pattern of spooler enumerations. An empty list answers the size call with TRUE
// and 0 bytes; any other failure writes "SECTION error N" and gives an empty block.
template <typename Call>
std::vector<BYTE> SpoolerBlock(Call call, DWORD *count, Lines *lines, const WCHAR *section)
{
    DWORD needed = 0;
    *count = 0;
    SetLastError(0);
    BOOL sized = call(NULL, 0, &needed, count);
    std::vector<BYTE> block(needed);
    if (needed == 0 && sized) {
        *count = 0;
        return block;
    }
    if (needed == 0 || !call(block.data(), needed, &needed, count)) {
        Unreadable(lines, section, GetLastError());
        *count = 0;
        block.clear();
    }
    return block;
}

// The fourth number of the product version, or -1 without a readable version resource.
int FileBuild(const WCHAR *path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return -1;
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (!GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &length) ||
        info == NULL || length < sizeof(VS_FIXEDFILEINFO))
        return -1;
    return LOWORD(info->dwProductVersionLS);
}

std::wstring VersionText(DWORD high, DWORD low)
{
    WCHAR text[64];
    _snwprintf(text, 64, L"%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    text[63] = 0;
    return text;
}

void PrintVersion(const WCHAR *path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &length) ||
        info == NULL || length < sizeof(VS_FIXEDFILEINFO)) {
        PrintWide(L"none\n");
        return;
    }
    PrintWide(L"file " + VersionText(info->dwFileVersionMS, info->dwFileVersionLS) + L" product " +
              VersionText(info->dwProductVersionMS, info->dwProductVersionLS) + L"\n");
    const WCHAR *const names[] = {L"CompanyName",    L"FileDescription", L"FileVersion",
                                  L"LegalCopyright", L"ProductName",     L"ProductVersion"};
    for (const WCHAR *name : names) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        WCHAR *value = NULL;
        UINT chars = 0;
        bool found =
            VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void **>(&value), &chars) &&
            value != NULL;
        PrintWide(std::wstring(name) +
                  (found ? L" \"" + std::wstring(value) + L"\"\n" : std::wstring(L" none\n")));
    }
}

void Monitors(Lines *lines)
{
    DWORD count;
    std::vector<BYTE> block = SpoolerBlock(
        [](BYTE *buffer, DWORD size, DWORD *needed, DWORD *returned) {
            return EnumMonitorsW(NULL, 2, buffer, size, needed, returned);
        },
        &count, lines, L"monitors");
    const MONITOR_INFO_2W *info = reinterpret_cast<const MONITOR_INFO_2W *>(block.data());
    for (DWORD i = 0; i < count; i++)
        lines->push_back(L"monitor " + Quote(info[i].pName) + L" dll " + Quote(info[i].pDLLName));
}

void Ports(Lines *lines)
{
    DWORD count;
    std::vector<BYTE> block = SpoolerBlock(
        [](BYTE *buffer, DWORD size, DWORD *needed, DWORD *returned) {
            return EnumPortsW(NULL, 1, buffer, size, needed, returned);
        },
        &count, lines, L"ports");
    const PORT_INFO_1W *info = reinterpret_cast<const PORT_INFO_1W *>(block.data());
    for (DWORD i = 0; i < count; i++)
        lines->push_back(L"port " + Quote(info[i].pName));
}

void DriverFile(Lines *lines, const std::wstring &head, const WCHAR *role, const WCHAR *path)
{
    if (path != NULL && *path)
        lines->push_back(head + L" " + role + L" " + Quote(path));
}

void Drivers(Lines *lines)
{
    DWORD count;
    std::vector<BYTE> block = SpoolerBlock(
        [](BYTE *buffer, DWORD size, DWORD *needed, DWORD *returned) {
            return EnumPrinterDriversW(NULL, const_cast<LPWSTR>(L"Windows x64"), 6, buffer, size,
                                       needed, returned);
        },
        &count, lines, L"drivers");
    const DRIVER_INFO_6W *info = reinterpret_cast<const DRIVER_INFO_6W *>(block.data());
    for (DWORD i = 0; i < count; i++) {
        std::wstring head = L"driver " + Quote(info[i].pName);
        int build = info[i].pDriverPath != NULL ? FileBuild(info[i].pDriverPath) : -1;
        lines->push_back(head + Number(L" version %lu", info[i].cVersion) +
                         (build < 0 ? std::wstring(L" build none") : Number(L" build %lu", build)));
        DriverFile(lines, head, L"driver", info[i].pDriverPath);
        DriverFile(lines, head, L"data", info[i].pDataFile);
        DriverFile(lines, head, L"config", info[i].pConfigFile);
        DriverFile(lines, head, L"help", info[i].pHelpFile);
        for (const WCHAR *file = info[i].pDependentFiles; file != NULL && *file;
             file += lstrlenW(file) + 1)
            DriverFile(lines, head, L"dependent", file);
    }
}

std::wstring TypedText(DWORD type, const BYTE *data, DWORD size)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::wstring text(reinterpret_cast<const WCHAR *>(data), size / sizeof(WCHAR));
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        std::replace(text.begin(), text.end(), L'\0', L'|');
        return (type == REG_SZ          ? L"REG_SZ "
                : type == REG_EXPAND_SZ ? L"REG_EXPAND_SZ "
                                        : L"REG_MULTI_SZ ") +
               Quote(text.c_str());
    }
    if (type == REG_DWORD && size == sizeof(DWORD))
        return Number(L"REG_DWORD %lu", *reinterpret_cast<const DWORD *>(data));
    return Number(L"type %lu", type) + Number(L" %lu bytes", size);
}

// A missing value or key is no fact to print; any other failure is.
void PrinterValue(Lines *lines, const std::wstring &head, DWORD result, DWORD type,
                  const BYTE *data, DWORD size)
{
    if (result == ERROR_SUCCESS)
        lines->push_back(head + L" " + TypedText(type, data, size));
    else if (result != ERROR_FILE_NOT_FOUND)
        ErrorLine(lines, head, result);
}

void PrinterData(Lines *lines, HANDLE printer, const std::wstring &head)
{
    BYTE data[1024];
    DWORD type = 0, needed = 0;
    DWORD result =
        GetPrinterDataW(printer, const_cast<LPWSTR>(L"SubKey"), &type, data, sizeof(data), &needed);
    PrinterValue(lines, head + L" SubKey", result, type, data, needed);
    result = GetPrinterDataExW(printer, L"DsUser", L"SubKey", &type, data, sizeof(data), &needed);
    PrinterValue(lines, head + L" DsUser\\SubKey", result, type, data, needed);
}

void Printers(Lines *lines)
{
    DWORD count;
    std::vector<BYTE> block = SpoolerBlock(
        [](BYTE *buffer, DWORD size, DWORD *needed, DWORD *returned) {
            return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, NULL, 2, buffer,
                                 size, needed, returned);
        },
        &count, lines, L"printers");
    const PRINTER_INFO_2W *info = reinterpret_cast<const PRINTER_INFO_2W *>(block.data());
    for (DWORD i = 0; i < count; i++) {
        std::wstring head = L"printer " + Quote(info[i].pPrinterName);
        lines->push_back(head + L" port " + Quote(info[i].pPortName) + L" driver " +
                         Quote(info[i].pDriverName) + L" comment " + Quote(info[i].pComment) +
                         L" location " + Quote(info[i].pLocation) +
                         Number(L" attributes 0x%08lX", info[i].Attributes));
        HANDLE printer = NULL;
        if (OpenPrinterW(info[i].pPrinterName, &printer, NULL)) {
            PrinterData(lines, printer, head);
            ClosePrinter(printer);
        } else {
            ErrorLine(lines, head + L" open", GetLastError());
        }
    }
}

void DefaultPrinter(Lines *lines)
{
    HMODULE winspool = GetModuleHandleW(L"winspool.drv");
    GetDefaultPrinterFunction getDefault =
        winspool != NULL ? reinterpret_cast<GetDefaultPrinterFunction>(reinterpret_cast<void *>(
                               GetProcAddress(winspool, MAKEINTRESOURCEA(203))))
                         : NULL;
    WCHAR name[512] = {};
    DWORD size = 512;
    if (getDefault != NULL && getDefault(name, &size))
        lines->push_back(L"default " + Quote(name));
    else
        lines->push_back(Number(L"default none (error %lu)", GetLastError()));
}

void RunValue(Lines *lines)
{
    HKEY key;
    BYTE data[2048];
    DWORD type = 0, size = sizeof(data);
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_READ, &key);
    if (result == ERROR_SUCCESS) {
        result = RegQueryValueExW(key, L"ZentavoTray", NULL, &type, data, &size);
        RegCloseKey(key);
    }
    if (result == ERROR_SUCCESS)
        lines->push_back(L"run ZentavoTray " + TypedText(type, data, size));
    else if (result == ERROR_FILE_NOT_FOUND)
        lines->push_back(L"run ZentavoTray none");
    else
        Unreadable(lines, L"run", result);
}

void UserKey(Lines *lines, const std::wstring &path)
{
    HKEY key;
    std::wstring full =
        path.empty() ? std::wstring(USER_KEY) : std::wstring(USER_KEY) + L"\\" + path;
    LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, full.c_str(), 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) {
        if (path.empty() && opened == ERROR_FILE_NOT_FOUND)
            lines->push_back(L"user none");
        else
            Unreadable(lines, L"user " + Quote(path.c_str()), opened);
        return;
    }
    bool hasValues = false;
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        BYTE data[2048];
        DWORD nameLength = 256, type = 0, size = sizeof(data);
        LONG result = RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            Unreadable(lines, L"user " + Quote(path.c_str()) + Number(L" value %lu", i), result);
            continue;
        }
        hasValues = true;
        lines->push_back(L"user " + Quote(path.c_str()) + L" " + Quote(name) + L" " +
                         TypedText(type, data, size));
    }
    if (!hasValues)
        lines->push_back(L"user " + Quote(path.c_str()) + L" (key)");
    for (DWORD i = 0;; i++) {
        WCHAR name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        UserKey(lines, path.empty() ? std::wstring(name) : path + L"\\" + name);
    }
    RegCloseKey(key);
}

void KeptRecords(Lines *lines)
{
    HKEY key;
    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_KEY, 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
        Unreadable(lines, L"kept", opened);
        return;
    }
    size_t before = lines->size();
    for (DWORD i = 0; opened == ERROR_SUCCESS; i++) {
        WCHAR name[512];
        DWORD nameLength = 512;
        LONG result = RegEnumValueW(key, i, name, &nameLength, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            Unreadable(lines, Number(L"kept value %lu", i), result);
            continue;
        }
        lines->push_back(L"kept " + Quote(name));
    }
    if (opened == ERROR_SUCCESS)
        RegCloseKey(key);
    if (lines->size() == before)
        lines->push_back(L"kept none");
}

void PendingRenames(Lines *lines)
{
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
        Unreadable(lines, L"pending", result);
        return;
    }
    DWORD type = 0, size = 0;
    std::vector<BYTE> data;
    result = RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, &type, NULL, &size);
    if (result == ERROR_SUCCESS && size > 0) {
        data.resize(size + 2 * sizeof(WCHAR));
        result =
            RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, &type, data.data(), &size);
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        Unreadable(lines, L"pending", result);
        return;
    }
    if (result != ERROR_SUCCESS)
        data.clear();
    const WCHAR *text = reinterpret_cast<const WCHAR *>(data.data());
    const WCHAR *end = text + size / sizeof(WCHAR);
    int pair = 0;
    // Pairs of source and target; an empty target means "delete". A lone source ends the table.
    while (!data.empty() && text < end && *text) {
        const WCHAR *source = text;
        text += lstrlenW(text) + 1;
        const WCHAR *target = text < end ? text : L"";
        text += lstrlenW(target) + 1;
        lines->push_back(Number(L"pending %lu ", ++pair) + Quote(source) + L" -> " + Quote(target));
    }
    if (pair == 0)
        lines->push_back(L"pending none");
}

struct Section {
    const WCHAR *name;
    void (*collect)(Lines *);
    bool sorted;
    bool byDefault;
};

const Section SECTIONS[] = {
    {L"monitors", Monitors, true, true},
    {L"ports", Ports, true, true},
    {L"drivers", Drivers, true, true},
    {L"printers", Printers, true, true},
    {L"default", DefaultPrinter, true, true},
    {L"run", RunValue, true, true},
    {L"user", [](Lines *lines) { UserKey(lines, L""); }, true, true},
    {L"kept", KeptRecords, true, false},
    {L"pending", PendingRenames, false, true},
};

bool Wanted(const Section &section, int argc, wchar_t **argv)
{
    if (argc < 2)
        return section.byDefault;
    for (int i = 1; i < argc; i++)
        if (lstrcmpiW(argv[i], section.name) == 0)
            return true;
    return false;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && lstrcmpW(argv[1], L"build") == 0) {
        int build = FileBuild(argv[2]);
        PrintWide(build < 0 ? std::wstring(L"none\n") : Number(L"%lu\n", build));
        return 0;
    }
    if (argc == 3 && lstrcmpW(argv[1], L"version") == 0) {
        PrintVersion(argv[2]);
        return 0;
    }
    int printed = 0;
    for (const Section &section : SECTIONS) {
        if (!Wanted(section, argc, argv))
            continue;
        Lines lines;
        section.collect(&lines);
        if (section.sorted)
            std::sort(lines.begin(), lines.end());
        for (const std::wstring &line : lines)
            PrintWide(line + L"\n");
        printed++;
    }
    if (printed == 0) {
        PrintWide(
            L"usage: inspect [monitors|ports|drivers|printers|default|run|user|kept|pending]... "
            L"| inspect build FILE | inspect version FILE\n");
        return 2;
    }
    return g_unreadable ? 3 : 0;
}
