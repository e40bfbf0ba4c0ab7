// Shared by the printing tests: contexts, log checks, scratch files and a fake spooler.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "import_hook.h"
#include "setup_context.h"
#include "virtual_clock.h"

inline std::wstring Log(const SetupContext &context)
{
    return StringText(context.logText);
}

// The log as narrow text, for failure messages.
inline std::string LogText(const SetupContext &context)
{
    std::wstring log = Log(context);
    std::string narrow;
    for (WCHAR c : log)
        narrow += c < 128 ? (char)c : '?';
    return narrow;
}

// Each text must be a whole line of the log, in this order (other lines may lie between).
::testing::AssertionResult LinesInOrder(const std::wstring &log,
                                        const std::vector<std::wstring> &lines);
size_t CountLines(const std::wstring &log, const std::wstring &line);

// A context built the ordinary way, with its log emptied so that a test sees only its own lines.
void MakeContext(SetupContext *context);

// A PrinterList in one GlobalAlloc block, the way the spooler returns it.
struct PrinterSpec {
    std::wstring name, port, driver, comment, location;
    DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
    std::wstring server; // a connection's server
};
inline PrinterSpec Spec(const std::wstring &name, const std::wstring &port,
                        const std::wstring &driver, const std::wstring &comment = L"",
                        const std::wstring &location = L"")
{
    PrinterSpec spec;
    spec.name = name;
    spec.port = port;
    spec.driver = driver;
    spec.comment = comment;
    spec.location = location;
    return spec;
}
PrinterList MakePrinterList(const std::vector<PrinterSpec> &printers);
// A level-2 MonitorList with (name, DLL name) entries; an empty name is a null pName.
MonitorList MakeMonitorList(const std::vector<std::pair<std::wstring, std::wstring>> &entries,
                            DWORD level = 2);

// A directory under %TEMP% holding the named files, removed with its contents at scope exit.
class ScratchDir {
public:
    explicit ScratchDir(const std::vector<std::wstring> &files);
    ~ScratchDir();
    const std::wstring &path() const
    {
        return path_;
    }

private:
    std::wstring path_;
};

// The spooler's printers replaced by a table, through the printer calls of the import table.
// Printers of the table open; other names do not. Every call is recorded.
class FakePrinters {
public:
    struct Printer {
        PrinterSpec spec;
        bool deleted = false;
        std::string subKey;       // value under "PrinterDriverData"; empty: none
        std::string dsUserSubKey; // value under "DsUser"; empty: none
        DWORD readError = 0;      // the answer of every "SubKey" read when not 0
    };
    struct SetCall {
        std::wstring printer;
        DWORD level, command, attributes;
        std::wstring port, comment, location;
    };

    explicit FakePrinters(const std::vector<PrinterSpec> &printers);
    ~FakePrinters();

    Printer *find(const std::wstring &name);

    std::vector<Printer> printers;
    std::vector<std::wstring> opened; // names given to OpenPrinterW; "<null>" for none
    std::vector<SetCall> sets;        // SetPrinterW calls
    std::vector<std::wstring> deletedOrder;
    std::vector<std::wstring> added; // AddPrinterW names, in order
    std::wstring refuseAdd;          // AddPrinterW fails for this name
    std::wstring defaultSetTo;       // the name given to the default-printer setter
    int openHandles = 0;

    static FakePrinters *current;

private:
    std::vector<ImportHook *> hooks_;
};

// The build that GetFileBuild reads from any file: -1 makes the version unreadable.
class FakeFileBuild {
public:
    explicit FakeFileBuild(LONG build);
    LONG build;
    static FakeFileBuild *current;

private:
    ImportHook size_, info_, query_;
};

// The user's default printer by the spooler's query (ordinal 203), or empty.
std::wstring DefaultPrinter();

// Every write to a registry value of the given name fails with ERROR_ACCESS_DENIED while it
// lives; other values are written as usual.
class RefusedRegistryValue {
public:
    explicit RefusedRegistryValue(const std::wstring &name);
    ~RefusedRegistryValue();

private:
    static LSTATUS WINAPI SetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                   const BYTE *data, DWORD bytes);
    static std::wstring refused_;
    ImportHook hook_;
};

// The real spooler service moves in real time while the tool's polls run on the virtual clock:
// each virtual sleep lets it have real time until it is in the state the tool last asked for
// (a start or a stop), at most the sleep's own length. A stop or start that a loaded machine
// makes slow is waited for as the tool itself would wait, never taken for a refusal; the tool's
// other sleeps cost no real time.
void LetTheSpoolerMove(VirtualClock &clock);
