// The printing tests' shared pieces: contexts, log checks, a scratch folder and a fake spooler.
#include "printing_test_support.h"

#include <string.h>

#include "../services/service_test_support.h"
#include "test_paths.h"

FakePrinters *FakePrinters::current;
FakeFileBuild *FakeFileBuild::current;

::testing::AssertionResult LinesInOrder(const std::wstring &log,
                                        const std::vector<std::wstring> &lines)
{
    std::wstring framed = L"\n" + log;
    size_t at = 0;
    for (const std::wstring &line : lines) {
        // A line is found with its indentation stripped: it begins after "\n" and spaces.
        size_t found = std::wstring::npos;
        for (size_t p = framed.find(line + L"\r\n", at); p != std::wstring::npos;
             p = framed.find(line + L"\r\n", p + 1)) {
            size_t start = p;
            while (start > 0 && framed[start - 1] == L' ')
                start--;
            if (start > 0 && framed[start - 1] == L'\n') {
                found = p;
                break;
            }
        }
        if (found == std::wstring::npos) {
            std::string narrow(line.begin(), line.end());
            std::string whole(log.begin(), log.end());
            return ::testing::AssertionFailure()
                   << "line \"" << narrow << "\" not found in order in:\n"
                   << whole;
        }
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

size_t CountLines(const std::wstring &log, const std::wstring &line)
{
    size_t count = 0;
    std::wstring framed = L"\n" + log;
    for (size_t p = framed.find(line + L"\r\n"); p != std::wstring::npos;
         p = framed.find(line + L"\r\n", p + 1)) {
        size_t start = p;
        while (start > 0 && framed[start - 1] == L' ')
            start--;
        if (start > 0 && framed[start - 1] == L'\n')
            count++;
    }
    return count;
}

void MakeContext(SetupContext *context)
{
    g_instance = GetModuleHandleW(NULL);
    InitSetupContext(context, SETUP_X64);
    FreeString(&context->logText);
}

// Strings are placed after the records, as the spooler does.
PrinterList MakePrinterList(const std::vector<PrinterSpec> &printers)
{
    size_t bytes = printers.size() * sizeof(PRINTER_INFO_2W);
    for (const PrinterSpec &p : printers)
        bytes += (p.name.size() + p.port.size() + p.driver.size() + p.comment.size() +
                  p.location.size() + p.server.size() + 6) *
                 sizeof(WCHAR);
    PrinterList list = {};
    if (printers.empty())
        return list;
    list.buffer = static_cast<BYTE *>(GlobalAlloc(GPTR, bytes));
    list.count = (DWORD)printers.size();
    WCHAR *strings =
        reinterpret_cast<WCHAR *>(list.buffer + printers.size() * sizeof(PRINTER_INFO_2W));
    auto place = [&strings](const std::wstring &s) {
        WCHAR *at = strings;
        memcpy(at, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
        strings += s.size() + 1;
        return at;
    };
    for (size_t i = 0; i < printers.size(); i++) {
        PRINTER_INFO_2W *r = PrinterAt(list, (DWORD)i);
        const PrinterSpec &p = printers[i];
        r->pPrinterName = place(p.name);
        r->pPortName = place(p.port);
        r->pDriverName = place(p.driver);
        r->pComment = place(p.comment);
        r->pLocation = place(p.location);
        WCHAR *server = place(p.server);
        r->pServerName = p.server.empty() ? NULL : server;
        r->Attributes = p.attributes;
    }
    return list;
}

MonitorList MakeMonitorList(const std::vector<std::pair<std::wstring, std::wstring>> &entries,
                            DWORD level)
{
    MonitorList list = {};
    size_t record = sizeof(MONITOR_INFO_2W);
    size_t bytes = entries.size() * record;
    for (const auto &e : entries)
        bytes += (e.first.size() + e.second.size() + 2) * sizeof(WCHAR);
    list.buffer = static_cast<BYTE *>(GlobalAlloc(GPTR, bytes + sizeof(WCHAR)));
    list.level = level;
    list.count = (DWORD)entries.size();
    WCHAR *strings = reinterpret_cast<WCHAR *>(list.buffer + entries.size() * record);
    for (size_t i = 0; i < entries.size(); i++) {
        WCHAR *name = strings;
        memcpy(strings, entries[i].first.c_str(), (entries[i].first.size() + 1) * sizeof(WCHAR));
        strings += entries[i].first.size() + 1;
        WCHAR *dll = strings;
        memcpy(strings, entries[i].second.c_str(), (entries[i].second.size() + 1) * sizeof(WCHAR));
        strings += entries[i].second.size() + 1;
        if (level == 1) {
            reinterpret_cast<MONITOR_INFO_1W *>(list.buffer)[i].pName =
                entries[i].first.empty() ? NULL : name;
        } else {
            MONITOR_INFO_2W *m = reinterpret_cast<MONITOR_INFO_2W *>(list.buffer) + i;
            m->pName = entries[i].first.empty() ? NULL : name;
            m->pEnvironment = const_cast<LPWSTR>(L"Windows x64");
            m->pDLLName = dll;
        }
    }
    return list;
}

ScratchDir::ScratchDir(const std::vector<std::wstring> &files)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"printing-test-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(path_.c_str(), NULL);
    for (const std::wstring &name : files) {
        HANDLE file =
            CreateFileW((path_ + name).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written = 0;
        WriteFile(file, "stand-in", 8, &written, NULL);
        CloseHandle(file);
    }
}

ScratchDir::~ScratchDir()
{
    RemoveFolder(path_);
}

// ---- fake printers ----

static const UINT_PTR FAKE_HANDLE_BASE = 0x7000;

static FakePrinters::Printer *FromHandle(HANDLE handle)
{
    FakePrinters *fake = FakePrinters::current;
    UINT_PTR index = reinterpret_cast<UINT_PTR>(handle) - FAKE_HANDLE_BASE;
    if (!fake || index >= fake->printers.size())
        return nullptr;
    return &fake->printers[index];
}

static HANDLE ToHandle(size_t index)
{
    FakePrinters::current->openHandles++;
    return reinterpret_cast<HANDLE>(FAKE_HANDLE_BASE + index);
}

static BOOL WINAPI FakeOpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW)
{
    FakePrinters *fake = FakePrinters::current;
    fake->opened.push_back(name ? name : L"<null>");
    for (size_t i = 0; name && i < fake->printers.size(); i++) {
        if (!fake->printers[i].deleted && fake->printers[i].spec.name == name) {
            *handle = ToHandle(i);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return FALSE;
}

static BOOL WINAPI FakeClosePrinter(HANDLE handle)
{
    if (!FromHandle(handle))
        return FALSE;
    FakePrinters::current->openHandles--;
    return TRUE;
}

static BOOL WINAPI FakeGetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                                   LPDWORD needed)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p || level != 2) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PrinterList one = MakePrinterList({p->spec});
    DWORD bytes = (DWORD)GlobalSize(one.buffer);
    *needed = bytes;
    BOOL ok = FALSE;
    if (size < bytes || !buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    } else {
        // Move the record and rebase its string pointers into the caller's block.
        memcpy(buffer, one.buffer, bytes);
        PRINTER_INFO_2W *r = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
        LPWSTR *fields[] = {&r->pPrinterName, &r->pPortName, &r->pDriverName,
                            &r->pComment,     &r->pLocation, &r->pServerName};
        for (LPWSTR *f : fields) {
            if (*f)
                *f = reinterpret_cast<LPWSTR>(buffer + (reinterpret_cast<BYTE *>(*f) - one.buffer));
        }
        r->pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
        ok = TRUE;
    }
    GlobalFree(one.buffer);
    return ok;
}

static BOOL WINAPI FakeSetPrinterW(HANDLE handle, DWORD level, LPBYTE buffer, DWORD command)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FakePrinters::SetCall call = {p->spec.name, level, command, 0, L"", L"", L""};
    if (level == 2 && buffer) {
        PRINTER_INFO_2W *r = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
        call.attributes = r->Attributes;
        call.port = r->pPortName ? r->pPortName : L"<null>";
        call.comment = r->pComment ? r->pComment : L"<null>";
        call.location = r->pLocation ? r->pLocation : L"<null>";
        p->spec.port = call.port;
        p->spec.comment = call.comment;
        p->spec.location = call.location;
        p->spec.attributes = r->Attributes;
    }
    FakePrinters::current->sets.push_back(call);
    return TRUE;
}

static BOOL WINAPI FakeDeletePrinter(HANDLE handle)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    p->deleted = true;
    FakePrinters::current->deletedOrder.push_back(p->spec.name);
    return TRUE;
}

static HANDLE WINAPI FakeAddPrinterW(LPWSTR, DWORD level, LPBYTE buffer)
{
    FakePrinters *fake = FakePrinters::current;
    PRINTER_INFO_2W *r = reinterpret_cast<PRINTER_INFO_2W *>(buffer);
    std::wstring name = r && r->pPrinterName ? r->pPrinterName : L"<null>";
    fake->added.push_back(name);
    if (level != 2 || name == fake->refuseAdd) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return NULL;
    }
    FakePrinters::Printer added;
    added.spec.name = name;
    added.spec.port = r->pPortName ? r->pPortName : L"";
    added.spec.driver = r->pDriverName ? r->pDriverName : L"";
    added.spec.comment = r->pComment ? r->pComment : L"<null>";
    fake->printers.push_back(added);
    return ToHandle(fake->printers.size() - 1);
}

static DWORD ReadValue(const std::string &stored, LPDWORD type, LPBYTE data, DWORD size,
                       LPDWORD needed)
{
    if (stored.empty())
        return ERROR_FILE_NOT_FOUND;
    *type = REG_SZ;
    *needed = (DWORD)stored.size();
    if (size < stored.size())
        return ERROR_MORE_DATA;
    memcpy(data, stored.data(), stored.size());
    return ERROR_SUCCESS;
}

static DWORD WINAPI FakeGetPrinterDataA(HANDLE handle, LPSTR, LPDWORD type, LPBYTE data, DWORD size,
                                        LPDWORD needed)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (p && p->readError)
        return p->readError;
    return p ? ReadValue(p->subKey, type, data, size, needed) : ERROR_INVALID_HANDLE;
}

static DWORD WINAPI FakeGetPrinterDataExA(HANDLE handle, LPCSTR key, LPCSTR, LPDWORD type,
                                          LPBYTE data, DWORD size, LPDWORD needed)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p || strcmp(key, "DsUser") != 0)
        return ERROR_INVALID_HANDLE;
    if (p->readError)
        return p->readError;
    return ReadValue(p->dsUserSubKey, type, data, size, needed);
}

static DWORD WINAPI FakeSetPrinterDataA(HANDLE handle, LPSTR, DWORD, LPBYTE data, DWORD bytes)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p)
        return ERROR_INVALID_HANDLE;
    p->subKey.assign(reinterpret_cast<char *>(data), bytes);
    return ERROR_SUCCESS;
}

static DWORD WINAPI FakeSetPrinterDataExA(HANDLE handle, LPCSTR key, LPCSTR, DWORD, LPBYTE data,
                                          DWORD bytes)
{
    FakePrinters::Printer *p = FromHandle(handle);
    if (!p || strcmp(key, "DsUser") != 0)
        return ERROR_INVALID_HANDLE;
    p->dsUserSubKey.assign(reinterpret_cast<char *>(data), bytes);
    return ERROR_SUCCESS;
}

static BOOL WINAPI FakeDefaultPrinterQuery(LPWSTR buffer, LPDWORD size)
{
    for (const FakePrinters::Printer &p : FakePrinters::current->printers) {
        if (!p.deleted && (p.spec.attributes & PRINTER_ATTRIBUTE_DEFAULT)) {
            if (*size <= p.spec.name.size()) {
                *size = (DWORD)p.spec.name.size() + 1;
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            wcscpy(buffer, p.spec.name.c_str());
            return TRUE;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

static BOOL WINAPI FakeDefaultPrinterSetter(LPCWSTR name)
{
    FakePrinters::current->defaultSetTo = name ? name : L"<null>";
    return TRUE;
}

static decltype(&GetProcAddress) g_realGetProcAddress;

static FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name)
{
    auto real = g_realGetProcAddress;
    if (module == GetModuleHandleW(L"winspool.drv") &&
        HIWORD(reinterpret_cast<UINT_PTR>(name)) == 0) {
        if (LOWORD(reinterpret_cast<UINT_PTR>(name)) == 203)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeDefaultPrinterQuery));
        if (LOWORD(reinterpret_cast<UINT_PTR>(name)) == 204)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&FakeDefaultPrinterSetter));
    }
    return real(module, name);
}

FakePrinters::FakePrinters(const std::vector<PrinterSpec> &specs)
{
    current = this;
    for (const PrinterSpec &s : specs) {
        Printer p;
        p.spec = s;
        printers.push_back(p);
    }
    const struct {
        const char *module, *name;
        const void *fake;
    } table[] = {
        {"winspool.drv", "OpenPrinterW", reinterpret_cast<const void *>(&FakeOpenPrinterW)},
        {"winspool.drv", "ClosePrinter", reinterpret_cast<const void *>(&FakeClosePrinter)},
        {"winspool.drv", "GetPrinterW", reinterpret_cast<const void *>(&FakeGetPrinterW)},
        {"winspool.drv", "SetPrinterW", reinterpret_cast<const void *>(&FakeSetPrinterW)},
        {"winspool.drv", "DeletePrinter", reinterpret_cast<const void *>(&FakeDeletePrinter)},
        {"winspool.drv", "AddPrinterW", reinterpret_cast<const void *>(&FakeAddPrinterW)},
        {"winspool.drv", "GetPrinterDataA", reinterpret_cast<const void *>(&FakeGetPrinterDataA)},
        {"winspool.drv", "GetPrinterDataExA",
         reinterpret_cast<const void *>(&FakeGetPrinterDataExA)},
        {"winspool.drv", "SetPrinterDataA", reinterpret_cast<const void *>(&FakeSetPrinterDataA)},
        {"winspool.drv", "SetPrinterDataExA",
         reinterpret_cast<const void *>(&FakeSetPrinterDataExA)},
        {"kernel32.dll", "GetProcAddress", reinterpret_cast<const void *>(&FakeGetProcAddress)},
    };
    g_realGetProcAddress = SYSTEM_FUNCTION("kernel32.dll", GetProcAddress);
    for (const auto &entry : table)
        hooks_.push_back(new ImportHook(entry.module, entry.name, entry.fake));
}

FakePrinters::~FakePrinters()
{
    for (ImportHook *hook : hooks_)
        delete hook;
    current = nullptr;
}

FakePrinters::Printer *FakePrinters::find(const std::wstring &name)
{
    for (Printer &p : printers) {
        if (p.spec.name == name && !p.deleted)
            return &p;
    }
    return nullptr;
}

// ---- fake file build ----

// The fixed record lies inside the caller's block, as the real resource's does.
static const size_t FIXED_INFO_OFFSET = 16;

static DWORD WINAPI FakeVersionSize(LPCWSTR, LPDWORD handle)
{
    if (handle)
        *handle = 0;
    if (FakeFileBuild::current->build < 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    }
    return sizeof(VS_FIXEDFILEINFO) + FIXED_INFO_OFFSET;
}

static BOOL WINAPI FakeVersionInfo(LPCWSTR, DWORD, DWORD size, LPVOID block)
{
    memset(block, 0, size);
    VS_FIXEDFILEINFO *info =
        reinterpret_cast<VS_FIXEDFILEINFO *>(static_cast<BYTE *>(block) + FIXED_INFO_OFFSET);
    info->dwSignature = 0xFEEF04BD;
    info->dwProductVersionMS = 0x00010002;
    info->dwProductVersionLS = 0x00030000 | (DWORD)FakeFileBuild::current->build;
    return TRUE;
}

static BOOL WINAPI FakeVerQueryValue(LPCVOID block, LPCWSTR, LPVOID *value, PUINT length)
{
    *value = const_cast<BYTE *>(static_cast<const BYTE *>(block)) + FIXED_INFO_OFFSET;
    *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}

FakeFileBuild::FakeFileBuild(LONG b)
    : build(b), size_("version.dll", "GetFileVersionInfoSizeW",
                      reinterpret_cast<const void *>(&FakeVersionSize)),
      info_("version.dll", "GetFileVersionInfoW", reinterpret_cast<const void *>(&FakeVersionInfo)),
      query_("version.dll", "VerQueryValueW", reinterpret_cast<const void *>(&FakeVerQueryValue))
{
    current = this;
}

std::wstring DefaultPrinter()
{
    auto query = reinterpret_cast<BOOL(WINAPI *)(LPWSTR, LPDWORD)>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"winspool.drv"), MAKEINTRESOURCEA(203))));
    WCHAR name[256] = {};
    DWORD size = 256;
    return query(name, &size) ? name : L"";
}

std::wstring RefusedRegistryValue::refused_;

RefusedRegistryValue::RefusedRegistryValue(const std::wstring &name)
    : hook_("advapi32.dll", "RegSetValueExW", reinterpret_cast<const void *>(&SetValue))
{
    refused_ = name;
}

RefusedRegistryValue::~RefusedRegistryValue()
{
    refused_.clear();
}

LSTATUS WINAPI RefusedRegistryValue::SetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                              const BYTE *data, DWORD bytes)
{
    if (name && refused_ == name)
        return ERROR_ACCESS_DENIED;
    return SYSTEM_FUNCTION("advapi32.dll", RegSetValueExW)(key, name, reserved, type, data, bytes);
}

namespace {

// The state the tool's last start or stop asked the real spooler for; 0 before either.
DWORD wantedSpoolerState;
ImportHook *startHook, *controlHook;

BOOL WINAPI RecordingStartServiceW(SC_HANDLE service, DWORD count, LPCWSTR *arguments)
{
    wantedSpoolerState = SERVICE_RUNNING;
    return RealFunction<decltype(StartServiceW)>(*startHook)(service, count, arguments);
}

BOOL WINAPI RecordingControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    if (control == SERVICE_CONTROL_STOP)
        wantedSpoolerState = SERVICE_STOPPED;
    return RealFunction<decltype(ControlService)>(*controlHook)(service, control, status);
}

} // namespace

void LetTheSpoolerMove(VirtualClock &clock)
{
    // Installed once for the process: the calls pass through, only their aim is noted.
    static ImportHook start("advapi32.dll", "StartServiceW",
                            reinterpret_cast<const void *>(&RecordingStartServiceW));
    static ImportHook control("advapi32.dll", "ControlService",
                              reinterpret_cast<const void *>(&RecordingControlService));
    startHook = &start;
    controlHook = &control;
    wantedSpoolerState = 0;
    clock.onSleep = [](DWORD ms) {
        const DWORD STEP_MS = 5;
        for (DWORD waited = 0;
             waited < ms && wantedSpoolerState && RealSpoolerState() != wantedSpoolerState;
             waited += STEP_MS)
            SYSTEM_FUNCTION("kernel32.dll", Sleep)(STEP_MS);
    };
}
