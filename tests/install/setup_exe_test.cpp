// The real setup.exe under Wine: the exit codes of words that change nothing on the system.
#include <gtest/gtest.h>

#include <windows.h>

#include "test_paths.h"

namespace {

int RunSetup(const std::wstring &arguments)
{
    return RunProgram(SetupExePath(), arguments, 60000);
}

TEST(SetupExe, NoOrUnknownCommandWordExitsWith6)
{
    EXPECT_EQ(6, RunSetup(L""));
    EXPECT_EQ(6, RunSetup(L"bogus"));
    EXPECT_EQ(6, RunSetup(L"\"\""));
    EXPECT_EQ(6, RunSetup(L"installx 123"));
    EXPECT_EQ(6, RunSetup(L"DEF.SET"));
    EXPECT_EQ(6, RunSetup(L"Def.set"));
}

TEST(SetupExe, DefSetExitsWith4)
{
    EXPECT_EQ(4, RunSetup(L"def.set"));
    EXPECT_EQ(4, RunSetup(L"def.set 0 extra"));
}

TEST(SetupExe, ImportsOnlyKnownSystemDllsAtStart)
{
    HMODULE image = LoadLibraryExW(SetupExePath().c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, image);
    BYTE *base = reinterpret_cast<BYTE *>((ULONG_PTR)image & ~(ULONG_PTR)3);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, nt->OptionalHeader.Subsystem);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
    // Only DLLs on Windows' known-DLL list, which are never taken from the program's folder; the
    // others (winspool.drv, version.dll) are delay-loaded from the system directory.
    const char *allowed[] = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll",
                             "SHELL32.dll",  "msvcrt.dll", "GDI32.dll"};
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int count = 0;
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); d->Name;
         d++) {
        const char *name = reinterpret_cast<const char *>(base + d->Name);
        bool known = false;
        for (const char *a : allowed)
            known = known || _stricmp(a, name) == 0;
        EXPECT_TRUE(known) << name;
        count++;
    }
    EXPECT_GT(count, 3);
    FreeLibrary(image);
}

} // namespace
