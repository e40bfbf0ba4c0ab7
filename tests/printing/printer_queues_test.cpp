// Product printers: which are kept, their written records, their deletion and their re-creation.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <string>
#include <vector>

#include "import_hook.h"
#include "printing/kept_printers.h"
#include "printing/printer_queues.h"
#include "printing/printer_queues_internal.h"
#include "printing_test_support.h"
#include "services/spooler_queries.h"
#include "setup_context.h"

namespace {

// What the faked printer enumeration returns.
PrinterList *g_enumerated;

const WCHAR KEPT_RECORDS[] = L"Software\\Tovalin Software KFT\\Zentavo\\Kept printers";

// A kept printer's record as the tool writes it.
std::vector<BYTE> Record(DWORD flags, const std::string &subKey, const std::wstring &comment,
                         const std::wstring &location)
{
    DWORD header[4] = {flags, (DWORD)subKey.size(), (DWORD)comment.size(), (DWORD)location.size()};
    std::vector<BYTE> data(reinterpret_cast<BYTE *>(header), reinterpret_cast<BYTE *>(header + 4));
    data.insert(data.end(), subKey.begin(), subKey.end());
    const BYTE *c = reinterpret_cast<const BYTE *>(comment.data());
    data.insert(data.end(), c, c + comment.size() * 2);
    const BYTE *l = reinterpret_cast<const BYTE *>(location.data());
    data.insert(data.end(), l, l + location.size() * 2);
    return data;
}

// A record whose two text lengths add up, past 32 bits, to the size of a short one.
std::vector<BYTE> WrappedLengths()
{
    std::vector<BYTE> data = Record(0, "key", L"ab", L"");
    DWORD lengths[2] = {0x80000001u, 0x80000001u}; // twice 2^31 + 1 wraps to 2 characters
    memcpy(data.data() + 8, lengths, sizeof(lengths));
    return data;
}

void WriteRecord(const std::wstring &name, DWORD type, const std::vector<BYTE> &data)
{
    HKEY key = NULL;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    RegSetValueExW(key, name.c_str(), 0, type, data.data(), (DWORD)data.size());
    RegCloseKey(key);
}

// The names of the records still written down, sorted.
std::vector<std::wstring> RecordNames()
{
    std::vector<std::wstring> names;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    WCHAR name[1024];
    for (DWORD i = 0;; i++) {
        DWORD chars = 1024;
        if (RegEnumValueW(key, i, name, &chars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}

class PrinterQueues : public ::testing::Test {
protected:
    SetupContext context = {};
    void SetUp() override
    {
        MakeContext(&context);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, KEPT_RECORDS);
    }
    void TearDown() override
    {
        FreeSetupContext(&context);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, KEPT_RECORDS);
    }
    void UseSnapshot(const std::vector<PrinterSpec> &specs)
    {
        ReleaseSpoolerList(&context.printers);
        context.printers = MakePrinterList(specs);
    }
};

TEST_F(PrinterQueues, SubKeyIsReadOnlyAsTerminatedTextWithinTheBuffer)
{
    FakePrinters spooler({Spec(L"P", L"Zentavo:", L"Zentavo printer")});
    HANDLE printer = NULL;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"P"), &printer, NULL));
    FakePrinters::Printer *p = spooler.find(L"P");
    const struct {
        std::string plain, dsUser, read;
    } cases[] = {
        {std::string("key1", 5), "", "key1"},
        {"", std::string("fromDs", 7), "fromDs"},
        {std::string(63, 'a') + '\0', "", std::string(63, 'a')},
        // 64 bytes without a terminator: nothing after the buffer may be read as its end.
        {std::string(64, 'b'), "", ""},
        {std::string(64, 'b'), std::string("second", 7), "second"},
        {std::string(64, 'c') + '\0', "", ""}, // too long for the buffer
        {"", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.read);
        p->subKey = c.plain;
        p->dsUserSubKey = c.dsUser;
        char buffer[SUBKEY_BUFFER + 8];
        memset(buffer, 'z', sizeof(buffer));
        GetSubKeySetting(printer, buffer);
        EXPECT_EQ(c.read, std::string(buffer));
    }
    ClosePrinter(printer);
}

TEST_F(PrinterQueues, OnlyLocalPrintersOfTheExactDriverAreKeptAndDeleted)
{
    std::vector<PrinterSpec> specs = {
        Spec(L"A", L"Zentavo:", L"Zentavo printer"),
        Spec(L"Foreign", L"Zentavo:", L"Other driver"),
        Spec(L"Case", L"Zentavo:", L"Zentavo Printer"),
        Spec(L"NoKey", L"Zentavo:", L"Zentavo printer"),
        Spec(L"Shared", L"Zentavo:", L"Zentavo printer"),
        Spec(L"B", L"LPT1:", L"Zentavo printer"),
    };
    specs[4].attributes = PRINTER_ATTRIBUTE_NETWORK;
    specs[4].server = L"\\\\server";
    UseSnapshot(specs);
    FakePrinters spooler(specs);
    spooler.find(L"A")->subKey = std::string("keyA", 5);
    spooler.find(L"Shared")->subKey = std::string("keyS", 5);
    spooler.find(L"B")->dsUserSubKey = std::string("keyB", 5);

    EXPECT_TRUE(DeleteProductPrinters(&context));

    EXPECT_EQ((std::vector<std::wstring>{L"A", L"NoKey", L"B"}), spooler.deletedOrder);
    EXPECT_NE(nullptr, spooler.find(L"Foreign"));
    EXPECT_NE(nullptr, spooler.find(L"Case"));
    EXPECT_NE(nullptr, spooler.find(L"Shared")); // a connection is its server's queue
    ASSERT_NE(nullptr, context.keptSettings);
    EXPECT_STREQ("keyB", context.keptSettings->subKeyValue);
    EXPECT_STREQ(L"B", context.keptSettings->printerRecord->pPrinterName);
    ASSERT_NE(nullptr, context.keptSettings->next);
    EXPECT_STREQ("keyA", context.keptSettings->next->subKeyValue);
    EXPECT_EQ(nullptr, context.keptSettings->next->next);
    EXPECT_EQ(0, context.errorCount);
    EXPECT_EQ(0, spooler.openHandles);
    EXPECT_EQ(0, context.logDepth);
}

TEST_F(PrinterQueues, NullNameIsReportedWithoutOpeningTheServer)
{
    FakePrinters spooler({});
    EXPECT_FALSE(DeletePrinterQueue(&context, NULL));
    EXPECT_TRUE(spooler.opened.empty());
    EXPECT_EQ(L">DeletePrinter(*)\r\n  Error(16): Can`t open printer '*' - (Invalid printer "
              L"name.)\r\n",
              Log(context));
    HANDLE printer = AddPrinterQueue(&context, NULL);
    EXPECT_EQ(nullptr, printer);
    EXPECT_TRUE(spooler.added.empty());
    EXPECT_TRUE(LinesInOrder(Log(context), {L">AddPrinter(*)", L"Let's check our port monitors",
                                            L"Error(15): Can`t add printer '*' - (Invalid "
                                            L"printer name.)"}));
    EXPECT_EQ(2, context.errorCount);
    EXPECT_EQ(0, context.logDepth);
}

// Monitors without the product's, as the spooler lists them.
MonitorList *g_monitors;
BOOL WINAPI ListedEnumMonitorsW(LPWSTR, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                                LPDWORD count)
{
    *needed = g_monitors->count * (DWORD)sizeof(MONITOR_INFO_2W);
    *count = g_monitors->count;
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, g_monitors->buffer, *needed); // the names stay in the list's block
    return TRUE;
}

// Every record handed to AddPrinterW holds the product's fields and nothing else, then goes on
// to the fake spooler.
const ImportHook *g_addPrinter;
HANDLE WINAPI FieldCheckingAddPrinterW(LPWSTR server, DWORD level, LPBYTE buffer)
{
    const PRINTER_INFO_2W *r = reinterpret_cast<const PRINTER_INFO_2W *>(buffer);
    EXPECT_EQ(nullptr, server);
    EXPECT_EQ(2u, level);
    EXPECT_STREQ(L"Zentavo:", r->pPortName);
    EXPECT_STREQ(L"Zentavo printer", r->pDriverName);
    EXPECT_STREQ(L"WinPrint", r->pPrintProcessor);
    EXPECT_STREQ(L"", r->pComment); // an empty text, not null
    EXPECT_EQ(nullptr, r->pServerName);
    EXPECT_EQ(nullptr, r->pShareName);
    EXPECT_EQ(nullptr, r->pLocation);
    EXPECT_EQ(nullptr, r->pDevMode);
    EXPECT_EQ(nullptr, r->pSepFile);
    EXPECT_EQ(nullptr, r->pParameters);
    EXPECT_EQ(nullptr, r->pSecurityDescriptor);
    EXPECT_EQ(0u, r->Attributes | r->Priority | r->DefaultPriority | r->StartTime | r->UntilTime |
                      r->Status | r->cJobs | r->AveragePPM);
    return RealFunction<decltype(AddPrinterW)>(*g_addPrinter)(server, level, buffer);
}

TEST_F(PrinterQueues, AFailedRecreationIsReportedAndTheOthersStillComeBack)
{
    std::vector<PrinterSpec> old = {
        Spec(L"A", L"Zentavo:", L"Zentavo printer", L"comment A", L"room A"),
        Spec(L"B", L"Zentavo:", L"Zentavo printer", L"comment B", L"room B"),
        Spec(L"C", L"Zentavo:", L"Zentavo printer", L"comment C", L"room C"),
    };
    old[0].attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    UseSnapshot(old);
    FakePrinters spooler(old);
    for (const WCHAR *name : {L"A", L"B", L"C"})
        spooler.find(name)->subKey = std::string("key") + (char)name[0] + '\0';
    DeleteProductPrinters(&context);
    spooler.refuseAdd = L"B";
    spooler.sets.clear();
    FreeString(&context.logText);
    MonitorList monitors =
        MakeMonitorList({{L"Local Port", L"localspl.dll"}, {L"Other:", L"other.dll"}});
    g_monitors = &monitors;
    ImportHook enumMonitors("winspool.drv", "EnumMonitorsW", (const void *)&ListedEnumMonitorsW);
    ImportHook addPrinter("winspool.drv", "AddPrinterW", (const void *)&FieldCheckingAddPrinterW);
    g_addPrinter = &addPrinter;

    EXPECT_FALSE(RestoreKeptPrinters(&context));

    EXPECT_EQ((std::vector<std::wstring>{L"C", L"B", L"A"}), spooler.added);
    EXPECT_EQ(1, context.errorCount);
    EXPECT_TRUE(LinesInOrder(
        Log(context),
        {L">AddPrinter(C)", L"Let's check our port monitors", L"No Zentavo port monitor was found.",
         L"------- 2 existing monitors ----------", L"1. Local Port", L"2. Other:",
         L"---------------------------------------", L"OK :)", L">AddPrinter(B)",
         L"Error(15): Can`t add printer 'B' - (Unknown printer driver.)", L">AddPrinter(A)",
         L"OK :)"}));
    for (const WCHAR *name : {L"A", L"C"}) {
        FakePrinters::Printer *p = spooler.find(name);
        ASSERT_NE(nullptr, p);
        std::string key = std::string("key") + (char)name[0];
        EXPECT_EQ(key + '\0', p->subKey);
        EXPECT_EQ(key + '\0', p->dsUserSubKey);
        EXPECT_EQ(std::wstring(L"comment ") + name, p->spec.comment);
        EXPECT_EQ(std::wstring(L"room ") + name, p->spec.location);
        EXPECT_EQ(L"Zentavo:", p->spec.port);
    }
    EXPECT_EQ(nullptr, spooler.find(L"B"));
    EXPECT_EQ(L"A", spooler.defaultSetTo);
    EXPECT_EQ(0, spooler.openHandles);

    // When none comes back, the one printer "Zentavo" is added.
    spooler.refuseAdd = L"";
    for (KeptSetting *entry = context.keptSettings; entry; entry = entry->next)
        entry->printerRecord->pPrinterName = const_cast<LPWSTR>(L"B");
    spooler.refuseAdd = L"B";
    spooler.added.clear();
    EXPECT_FALSE(RestoreKeptPrinters(&context));
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"B", L"B", L"Zentavo"}), spooler.added);
    ReleaseSpoolerList(&monitors);
}

BOOL WINAPI RefusingDeletePrinter(HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(PrinterQueues, APrinterThatCannotBeDeletedIsError17AndIsStillAddedAgain)
{
    std::vector<PrinterSpec> specs = {Spec(L"A", L"Zentavo:", L"Zentavo printer")};
    UseSnapshot(specs);
    FakePrinters spooler(specs);
    spooler.find(L"A")->subKey = std::string("keyA", 5);
    {
        ImportHook refuse("winspool.drv", "DeletePrinter", (const void *)&RefusingDeletePrinter);
        EXPECT_FALSE(DeleteProductPrinters(&context));
    }
    EXPECT_EQ(L">DeleteAllPrinters\r\n"
              L"  >DeletePrinter(A)\r\n"
              L"    Error(17): Can`t delete printer 'A' - (Access denied.)\r\n",
              Log(context));
    EXPECT_EQ(1, context.errorCount);
    EXPECT_EQ(0, spooler.openHandles);

    EXPECT_TRUE(RestoreKeptPrinters(&context));
    EXPECT_EQ(std::vector<std::wstring>{L"A"}, spooler.added);
    EXPECT_EQ(1, context.errorCount);
}

std::vector<std::string> openedUserKeys;
std::vector<REGSAM> openedUserAccess;
LSTATUS WINAPI RecordingRegOpenKeyExA(HKEY root, LPCSTR name, DWORD, REGSAM access, PHKEY key)
{
    EXPECT_EQ(HKEY_CURRENT_USER, root);
    openedUserKeys.push_back(name);
    openedUserAccess.push_back(access);
    *key = NULL;
    return ERROR_FILE_NOT_FOUND;
}

// "SubKey" is printer data that anyone who manages the printer sets: it is carried across byte
// for byte, but used as a key name only when it is a single name below the product's key.
TEST_F(PrinterQueues, OnlyASingleKeyNameIsUsedToClearTheDeletedMark)
{
    const char *values[] = {"keyA", "..\\..\\Software", "a\\b", "a/b", ".", "..", "...", "\\"};
    std::vector<PrinterSpec> old;
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); i++)
        old.push_back(Spec(std::wstring(1, (WCHAR)(L'A' + i)), L"Zentavo:", L"Zentavo printer"));
    UseSnapshot(old);
    FakePrinters spooler(old);
    for (size_t i = 0; i < old.size(); i++)
        spooler.find(old[i].name)->subKey = std::string(values[i]) + '\0';
    DeleteProductPrinters(&context);
    openedUserKeys.clear();
    openedUserAccess.clear();
    {
        ImportHook open("advapi32.dll", "RegOpenKeyExA",
                        reinterpret_cast<const void *>(&RecordingRegOpenKeyExA));
        RestoreKeptPrinters(&context);
    }
    for (size_t i = 0; i < old.size(); i++) {
        FakePrinters::Printer *p = spooler.find(old[i].name);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(std::string(values[i]) + '\0', p->subKey);
        EXPECT_EQ(std::string(values[i]) + '\0', p->dsUserSubKey);
    }
    EXPECT_EQ((std::vector<std::string>{"Software\\Tovalin Software KFT\\Zentavo\\Zentavos\\...",
                                        "Software\\Tovalin Software KFT\\Zentavo\\Zentavos\\keyA"}),
              openedUserKeys);
    EXPECT_EQ(std::vector<REGSAM>(2, KEY_SET_VALUE), openedUserAccess);
}

TEST_F(PrinterQueues, WrittenDownRecordsAreTakenUpWholeOrDropped)
{
    UseSnapshot({Spec(L"Taken", L"LPT1:", L"Other driver")});
    std::vector<BYTE> good = Record(1, "key", L"comment", L"room");
    std::vector<BYTE> longer = good;
    longer.push_back(0);
    const struct {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    } dropped[] = {
        {L"As text", REG_SZ, good},
        {L"Short", REG_BINARY, std::vector<BYTE>(good.begin(), good.begin() + 15)},
        {L"Longer", REG_BINARY, longer},
        {L"Unknown flag", REG_BINARY, Record(2, "key", L"", L"")},
        {L"No value", REG_BINARY, Record(0, "", L"c", L"")},
        {L"Value too long", REG_BINARY, Record(0, std::string(64, 'v'), L"", L"")},
        {L"Zero in value", REG_BINARY, Record(0, std::string("k\0y", 3), L"", L"")},
        {L"Lengths wrap around", REG_BINARY, WrappedLengths()},
        {L"Huge", REG_BINARY, std::vector<BYTE>(70000, 0)},
        {L"Taken", REG_BINARY, good}, // the name is a printer of another driver now
    };
    for (const auto &d : dropped)
        WriteRecord(d.name, d.type, d.data);
    WriteRecord(L"Old", REG_BINARY, good);
    WriteRecord(
        L"Longest", REG_BINARY,
        Record(0, std::string(63, 'k'), std::wstring(1024, L'c'), std::wstring(1024, L'l')));
    // The spooler's own limits are the only limits of a kept printer's texts and name.
    const std::wstring longName(300, L'n');
    WriteRecord(L"Long texts", REG_BINARY,
                Record(0, "key", std::wstring(2000, L'c'), std::wstring(1025, L'l')));
    WriteRecord(longName, REG_BINARY, good);

    EXPECT_TRUE(TakeUpKeptRecords(&context));

    EXPECT_EQ((std::vector<std::wstring>{L"Long texts", L"Longest", L"Old", longName}),
              RecordNames());
    std::wstring log = Log(context);
    for (const auto &d : dropped)
        EXPECT_EQ(1u, CountLines(log, L"Kept printer record '" + d.name + L"' dropped"))
            << LogText(context);
    for (const std::wstring &name :
         {std::wstring(L"Old"), std::wstring(L"Longest"), std::wstring(L"Long texts"), longName})
        EXPECT_EQ(1u, CountLines(log, L"Kept printer '" + name + L"' taken up from an earlier run"))
            << LogText(context);
    std::vector<std::wstring> names;
    for (KeptSetting *entry = context.keptSettings; entry; entry = entry->next) {
        const PRINTER_INFO_2W *record = entry->printerRecord;
        names.push_back(record->pPrinterName);
        if (names.back() == L"Old") {
            EXPECT_STREQ("key", entry->subKeyValue);
            EXPECT_STREQ(L"comment", record->pComment);
            EXPECT_STREQ(L"room", record->pLocation);
            EXPECT_EQ((DWORD)PRINTER_ATTRIBUTE_DEFAULT, record->Attributes);
        } else if (names.back() == L"Long texts") {
            EXPECT_EQ(std::wstring(2000, L'c'), record->pComment);
            EXPECT_EQ(std::wstring(1025, L'l'), record->pLocation);
        } else if (names.back() == longName) {
            EXPECT_STREQ(L"comment", record->pComment);
        } else {
            EXPECT_EQ(std::string(63, 'k'), entry->subKeyValue);
            EXPECT_EQ(std::wstring(1024, L'l'), record->pLocation);
            EXPECT_EQ(0u, record->Attributes);
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::wstring>{L"Long texts", L"Longest", L"Old", longName}), names);
}

// The registry calls by name cannot make a value whose name holds a NUL; the native call can.
bool WriteNulNamedRecord(const std::wstring &name, const std::vector<BYTE> &data)
{
    struct CountedName {
        USHORT Length;
        USHORT MaximumLength;
        PWSTR Buffer;
    };
    typedef LONG(WINAPI * SetValueKey)(HANDLE, CountedName *, ULONG, ULONG, PVOID, ULONG);
    SetValueKey setValue = reinterpret_cast<SetValueKey>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    HKEY key = NULL;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEPT_RECORDS, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    CountedName counted = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2),
                           const_cast<PWSTR>(name.data())};
    LONG status =
        setValue ? setValue(key, &counted, 0, REG_BINARY, (PVOID)data.data(), (ULONG)data.size())
                 : -1;
    RegCloseKey(key);
    return status == 0;
}

// How often the walk listed a value; past the bound it is told the list ended, so that a walk
// that never ends fails here instead of holding the test run.
int g_enumCalls;
const int ENUM_CALL_BOUND = 50;

LSTATUS WINAPI BoundedRegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD chars,
                                    LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD bytes)
{
    if (++g_enumCalls > ENUM_CALL_BOUND)
        return ERROR_NO_MORE_ITEMS;
    return SYSTEM_FUNCTION("advapi32.dll", RegEnumValueW)(key, index, name, chars, reserved, type,
                                                          data, bytes);
}

TEST_F(PrinterQueues, ARecordNamedWithANulIsLeftOnceAndTheWalkEnds)
{
    // "Old" would be read in its place by the name's first part.
    std::vector<BYTE> good = Record(1, "key", L"comment", L"room");
    WriteRecord(L"Old", REG_BINARY, good);
    ASSERT_TRUE(WriteNulNamedRecord(std::wstring(L"Old\0x", 5), Record(0, "bad", L"", L"")));
    // No value is named by this one's first part: read and deleted by it, it is never found.
    ASSERT_TRUE(WriteNulNamedRecord(std::wstring(L"Gone\0y", 6), Record(0, "bad", L"", L"")));
    WriteRecord(L"Later", REG_BINARY, good);
    ASSERT_EQ(4u, RecordNames().size()) << "the NUL-named values were not made";

    g_enumCalls = 0;
    {
        ImportHook bound("advapi32.dll", "RegEnumValueW", (const void *)&BoundedRegEnumValueW);
        EXPECT_TRUE(TakeUpKeptRecords(&context));
    }
    EXPECT_LE(g_enumCalls, 5) << "the walk went round";
    std::wstring log = Log(context);
    EXPECT_EQ(1u, CountLines(log, L"Kept printer record 'Old' has a NUL in its name: left"))
        << LogText(context);
    EXPECT_EQ(1u, CountLines(log, L"Kept printer record 'Gone' has a NUL in its name: left"));
    EXPECT_EQ(1u, CountLines(log, L"Kept printer 'Old' taken up from an earlier run"));
    EXPECT_EQ(1u, CountLines(log, L"Kept printer 'Later' taken up from an earlier run"));
    int entries = 0;
    for (KeptSetting *entry = context.keptSettings; entry; entry = entry->next) {
        entries++;
        EXPECT_STREQ("key", entry->subKeyValue);
    }
    EXPECT_EQ(2, entries);
    EXPECT_EQ(4u, RecordNames().size()); // "Old" is not deleted in the other's place
}

TEST_F(PrinterQueues, EarlierRecordsMergeWithThePrintersKeptNowAndLeaveOnceBack)
{
    std::vector<PrinterSpec> specs = {
        Spec(L"A", L"Zentavo:", L"Zentavo printer", L"comment A", L"room A"),
        // Re-created by a run that ended before its value was written back.
        Spec(L"B", L"Zentavo:", L"Zentavo printer"),
        Spec(L"Unread", L"Zentavo:", L"Zentavo printer"),
        Spec(L"Unwritten", L"Zentavo:", L"Zentavo printer"),
    };
    specs[0].attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    UseSnapshot(specs);
    FakePrinters spooler(specs);
    spooler.find(L"A")->subKey = std::string("keyA", 5);
    spooler.find(L"Unread")->subKey = std::string("keyU", 5);
    spooler.find(L"Unread")->readError = ERROR_ACCESS_DENIED;
    spooler.find(L"Unwritten")->subKey = std::string("keyW", 5);
    WriteRecord(L"B", REG_BINARY, Record(0, "keyB", L"comment B", L"room B"));
    WriteRecord(L"Gone", REG_BINARY, Record(1, "keyG", L"comment G", L"room G"));
    {
        RefusedRegistryValue refuse(L"Unwritten");
        EXPECT_FALSE(DeleteProductPrinters(&context));
    }

    // What could not be written down, or not read, is not deleted.
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), spooler.deletedOrder);
    EXPECT_TRUE(LinesInOrder(
        Log(context), {L"Printer 'Unread' is not deleted: its settings could not be kept (5)",
                       L"Printer 'Unwritten' is not deleted: its settings could not be kept (5)"}));
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B", L"Gone"}), RecordNames());
    EXPECT_EQ(0, context.errorCount);

    spooler.sets.clear();
    EXPECT_TRUE(RestoreKeptPrinters(&context));
    // A, the one kept now, first; then the earlier records; the last default one wins.
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B", L"Gone"}), spooler.added);
    EXPECT_EQ(L"Gone", spooler.defaultSetTo);
    for (const WCHAR *name : {L"A", L"B", L"Gone"}) {
        SCOPED_TRACE(name);
        FakePrinters::Printer *p = nullptr;
        for (FakePrinters::Printer &candidate : spooler.printers) {
            if (!candidate.deleted && candidate.spec.name == name)
                p = &candidate;
        }
        ASSERT_NE(nullptr, p);
        std::string key = std::string("key") + (char)name[0] + '\0';
        EXPECT_EQ(key, p->subKey);
        EXPECT_EQ(std::wstring(L"comment ") + name[0], p->spec.comment);
        EXPECT_EQ(std::wstring(L"room ") + name[0], p->spec.location);
    }
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(PrinterQueues, DefaultMarkFollowsTheQueriedName)
{
    std::vector<PrinterSpec> specs = {Spec(L"One", L"LPT1:", L"x"), Spec(L"Two", L"LPT1:", L"x"),
                                      Spec(L"two", L"LPT1:", L"x")};
    specs[1].attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    FakePrinters spooler(specs); // answers the default-printer query with "Two"
    // The snapshot comes from the enumeration; only the queried name may carry the mark.
    std::vector<PrinterSpec> enumerated = specs;
    enumerated[1].attributes = PRINTER_ATTRIBUTE_LOCAL;
    PrinterList list = MakePrinterList(enumerated);
    struct Enum {
        static BOOL WINAPI Printers(DWORD, LPWSTR, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                                    LPDWORD count)
        {
            *needed = (DWORD)GlobalSize(g_enumerated->buffer);
            *count = g_enumerated->count;
            if (size < *needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            // The records point into the source block, which outlives the test's use.
            memcpy(buffer, g_enumerated->buffer, g_enumerated->count * sizeof(PRINTER_INFO_2W));
            return TRUE;
        }
    };
    g_enumerated = &list;
    ImportHook enumPrinters("winspool.drv", "EnumPrintersW", (const void *)&Enum::Printers);

    EXPECT_TRUE(MarkDefaultPrinter(&context));

    ASSERT_EQ(3u, context.printers.count);
    EXPECT_FALSE(PrinterAt(context.printers, 0)->Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_TRUE(PrinterAt(context.printers, 1)->Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_FALSE(PrinterAt(context.printers, 2)->Attributes & PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_TRUE(Log(context).empty());

    // The query holds 255 characters with the terminator: a longer name is no answer.
    const struct {
        size_t length;
        bool marked;
    } names[] = {{254, true}, {255, false}};
    for (const auto &n : names) {
        std::wstring name(n.length, L'n');
        spooler.printers[1].spec.name = name;
        enumerated[1].name = name;
        PrinterList longer = MakePrinterList(enumerated);
        g_enumerated = &longer;
        EXPECT_EQ(n.marked, MarkDefaultPrinter(&context)) << n.length;
        ASSERT_EQ(3u, context.printers.count);
        EXPECT_EQ(n.marked,
                  (PrinterAt(context.printers, 1)->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0)
            << n.length;
        ReleaseSpoolerList(&context.printers); // its records point into `longer`
        ReleaseSpoolerList(&longer);
    }
    ReleaseSpoolerList(&list);
}

} // namespace
