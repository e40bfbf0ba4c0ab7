// The command line: its words and their exit codes, the parent window, the wait for help windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <random>
#include <string>

#include "dispatcher.h"
#include "dispatcher_internal.h"
#include "import_hook.h"
#include "setup_context.h"
#include "virtual_clock.h"

namespace {

TEST(CommandWords, EveryWordAndItsCaseRules)
{
    const struct {
        const WCHAR *word;
        SetupCommand command;
    } cases[] = {
        {L"in", COMMAND_INSTALL},
        {L"install", COMMAND_INSTALL},
        {L"serverinstall", COMMAND_INSTALL},
        {L"INSTALL", COMMAND_INSTALL},
        {L"Install", COMMAND_INSTALL},
        {L"SERVERINSTALL", COMMAND_INSTALL},
        {L"IN", COMMAND_INSTALL},
        {L"in_notray", COMMAND_INSTALL_NO_TRAY},
        {L"In_NoTray", COMMAND_INSTALL_NO_TRAY},
        {L"un", COMMAND_UNINSTALL},
        {L"uninstall", COMMAND_UNINSTALL},
        {L"UnInstall", COMMAND_UNINSTALL},
        {L"removetray", COMMAND_REMOVE_TRAY},
        {L"REMOVETRAY", COMMAND_REMOVE_TRAY},
        {L"onChkDrv", COMMAND_CHECK_DRIVER},
        {L"onchkdrv", COMMAND_CHECK_DRIVER},
        {L"onInit", COMMAND_ON_INIT},
        {L"ONINIT", COMMAND_ON_INIT},
        {L"def.set", COMMAND_SET_DEFAULT},
        {L"DEF.SET", COMMAND_NONE},
        {L"Def.set", COMMAND_NONE},
        {L"", COMMAND_NONE},
        {L"installx", COMMAND_NONE},
        {L"instal", COMMAND_NONE},
        {L" install", COMMAND_NONE},
        {L"install ", COMMAND_NONE},
        {L"/install", COMMAND_NONE},
        {L"i", COMMAND_NONE},
        // Only ASCII letters fold: a dotless i, a dotted capital I, fullwidth letters and the
        // Kelvin sign are other letters.
        {L"\x0131n", COMMAND_NONE},
        {L"\x0130N", COMMAND_NONE},
        {L"\xFF49\xFF4E", COMMAND_NONE},
        {L"un\x212A", COMMAND_NONE},
        {L"in_notray\x00A0", COMMAND_NONE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.command, ClassifyCommand(c.word)) << "word #" << (&c - cases);
    EXPECT_EQ(COMMAND_NONE, ClassifyCommand(nullptr));
}

// What IsWindow was asked, so that parsing is checked without needing such a window.
std::vector<HWND> isWindowCalls;
BOOL WINAPI RecordingIsWindow(HWND window)
{
    isWindowCalls.push_back(window);
    auto real = SYSTEM_FUNCTION("user32.dll", IsWindow);
    return real(window);
}

class ParentWindow : public ::testing::Test {
protected:
    ImportHook hook{"user32.dll", "IsWindow", reinterpret_cast<const void *>(&RecordingIsWindow)};
    void SetUp() override
    {
        isWindowCalls.clear();
    }
    HWND asked(const WCHAR *text)
    {
        isWindowCalls.clear();
        ParseParentWindow(text);
        return isWindowCalls.size() == 1 ? isWindowCalls[0] : (HWND)(LONG_PTR)0x5A5A;
    }
};

HWND Handle(LONG_PTR value)
{
    return reinterpret_cast<HWND>(value);
}

TEST_F(ParentWindow, ParsesDecimalAsWcstolWithSaturation)
{
    EXPECT_EQ(Handle(123), asked(L"123"));
    EXPECT_EQ(Handle(123), asked(L"  \t+123"));
    EXPECT_EQ(Handle(123), asked(L"123abc"));
    EXPECT_EQ(Handle(0), asked(L"abc"));
    EXPECT_EQ(Handle(0), asked(L""));
    EXPECT_EQ(Handle(0), asked(L"0x10"));
    EXPECT_EQ(Handle(-5), asked(L"-5"));
    EXPECT_EQ(Handle(2147483647), asked(L"2147483647"));
    EXPECT_EQ(Handle(2147483647), asked(L"99999999999999999999"));
    // Sign-extended to the width of a handle.
    EXPECT_EQ(Handle(-2147483647LL - 1), asked(L"-99999999999999999999"));
    EXPECT_EQ(Handle(-2147483647LL - 1), asked(L"-2147483648"));
}

TEST_F(ParentWindow, OnlyARealWindowIsKept)
{
    HWND window =
        CreateWindowExW(0, L"STATIC", L"caller", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    ASSERT_NE(nullptr, window) << "needs a display (Xvfb)";
    std::wstring decimal = std::to_wstring((LONG)(LONG_PTR)window);
    EXPECT_EQ(window, ParseParentWindow(decimal.c_str()));
    DestroyWindow(window);
    EXPECT_EQ(nullptr, ParseParentWindow(decimal.c_str()));
    EXPECT_EQ(nullptr, ParseParentWindow(L"0"));
    EXPECT_EQ(nullptr, ParseParentWindow(L"2147483647"));
}

TEST_F(ParentWindow, TheNoWindowWordAsksForNoWindowAndNamesNoOwner)
{
    const struct {
        const WCHAR *text;
        bool window;
        size_t asked;
    } cases[] = {
        {L"nowindow", false, 0}, {L"NoWindow", false, 0},     {L"NOWINDOW", false, 0},
        {L"nowindow ", true, 1}, {L"no window", true, 1},     {L"nowindo", true, 1},
        {L"nowindows", true, 1}, {L"now\x0131ndow", true, 1}, {L"77", true, 1},
        {L"", true, 1},
    };
    for (const auto &c : cases) {
        isWindowCalls.clear();
        HWND owner = Handle(0x5A5A);
        EXPECT_EQ(c.window, ReadCallerWindow(c.text, &owner)) << "case #" << (&c - cases);
        EXPECT_EQ(c.asked, isWindowCalls.size()) << "case #" << (&c - cases);
        EXPECT_EQ(nullptr, owner) << "case #" << (&c - cases);
    }
}

TEST_F(ParentWindow, ReadOnlyWithExactlyThreeElements)
{
    WCHAR exe[] = L"setup.exe", word[] = L"bogus", handle[] = L"77", extra[] = L"more";
    WCHAR *three[] = {exe, word, handle};
    WCHAR *four[] = {exe, word, handle, extra};
    WCHAR *two[] = {exe, word};
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommand(3, three));
    ASSERT_EQ(1u, isWindowCalls.size());
    EXPECT_EQ(Handle(77), isWindowCalls[0]);
    isWindowCalls.clear();
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommand(4, four));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommand(2, two));
    EXPECT_TRUE(isWindowCalls.empty());
}

TEST(RunCommand, WordsThatChangeNothingGiveTheirCodes)
{
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe"));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe bogus"));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe \"\""));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe DEF.SET"));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe bogus 123 456"));
}

LPWSTR *WINAPI FailingCommandLineToArgvW(LPCWSTR, int *)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST(RunCommand, UnsplittableCommandLineIsNoCommand)
{
    ImportHook hook("shell32.dll", "CommandLineToArgvW",
                    reinterpret_cast<const void *>(&FailingCommandLineToArgvW));
    EXPECT_EQ(EXIT_NO_COMMAND, RunCommandLine(L"setup.exe install"));
}

// An independent model of the word table: lower-case the ASCII letters, then look the word up.
SetupCommand ModelCommand(const std::wstring &word)
{
    if (word == L"def.set")
        return COMMAND_SET_DEFAULT;
    std::wstring folded = word;
    for (auto &c : folded)
        if (c >= L'A' && c <= L'Z')
            c = c + 32;
    if (folded == L"in" || folded == L"install" || folded == L"serverinstall")
        return COMMAND_INSTALL;
    if (folded == L"in_notray")
        return COMMAND_INSTALL_NO_TRAY;
    if (folded == L"un" || folded == L"uninstall")
        return COMMAND_UNINSTALL;
    if (folded == L"removetray")
        return COMMAND_REMOVE_TRAY;
    if (folded == L"onchkdrv")
        return COMMAND_CHECK_DRIVER;
    if (folded == L"oninit")
        return COMMAND_ON_INIT;
    return COMMAND_NONE;
}

std::wstring RandomCommandLine(std::mt19937 &random)
{
    static const WCHAR *const pieces[] = {
        L"in",      L"IN",        L"install",    L"un",       L"def.set",    L"DEF.SET",
        L"onInit",  L"\"",        L"\\",         L"\\\"",     L" ",          L"\t",
        L"_notray", L"tray",      L"0",          L"-",        L"123",        L"\x0131",
        L"\x00E9",  L"\xD83D",    L"\xDE00",     L"\xFFFF",   L"a",          L"\"\"",
        L".",       L"uninstall", L"removetray", L"onchkdrv", L"99999999999"};
    std::wstring line;
    if (random() % 4)
        line = L"\"C:\\Program Files\\Zentavo\\Setup\\setup.exe\"";
    int count = random() % 8;
    for (int i = 0; i < count; i++) {
        if (random() % 3 == 0)
            line += (WCHAR)(random() % 0xFFFF + 1);
        else
            line += pieces[random() % (sizeof(pieces) / sizeof(pieces[0]))];
    }
    if (random() % 10 == 0)
        line += std::wstring(random() % 40000, L'x');
    return line;
}

bool ChangesTheSystem(SetupCommand command)
{
    return command != COMMAND_NONE && command != COMMAND_SET_DEFAULT;
}

TEST(RunCommand, RandomCommandLinesGiveTheDocumentedCode)
{
    std::mt19937 random(20261207);
    int ran = 0;
    for (int i = 0; i < 4000; i++) {
        std::wstring line = RandomCommandLine(random);
        int argc = 0;
        LPWSTR *argv = CommandLineToArgvW(line.c_str(), &argc);
        ASSERT_NE(nullptr, argv);
        SetupCommand expected = argc >= 2 ? ModelCommand(argv[1]) : COMMAND_NONE;
        if (argc >= 2) {
            ASSERT_EQ(expected, ClassifyCommand(argv[1])) << "case " << i;
        }
        LocalFree(argv);
        if (ChangesTheSystem(expected))
            continue; // those run real commands: their codes are checked on setup.exe
        int code = RunCommandLine(line.c_str());
        ASSERT_EQ(expected == COMMAND_SET_DEFAULT ? EXIT_DEFAULT_SET : EXIT_NO_COMMAND, code)
            << "case " << i;
        ran++;
    }
    EXPECT_GT(ran, 2000);
}

// A help viewer window: one that closes when asked, or one that ignores SC_CLOSE.
bool stubbornHelp;
LRESULT CALLBACK HelpWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE && stubbornHelp)
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

class HelpWindows : public ::testing::Test {
protected:
    HWND help = nullptr;
    void SetUp() override
    {
        WNDCLASSW cls = {};
        cls.lpfnWndProc = HelpWindowProc;
        cls.hInstance = GetModuleHandleW(NULL);
        cls.lpszClassName = L"HH Parent";
        RegisterClassW(&cls);
        help = CreateWindowExW(0, L"HH Parent", L"Zentavo Help", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                               100, NULL, NULL, GetModuleHandleW(NULL), NULL);
        ASSERT_NE(nullptr, help) << "needs a display (Xvfb)";
    }
    void TearDown() override
    {
        if (IsWindow(help))
            DestroyWindow(help);
    }
};

void PumpMessages(DWORD)
{
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

TEST_F(HelpWindows, AHelpWindowThatClosesEndsTheRounds)
{
    stubbornHelp = false;
    VirtualClock clock;
    clock.onSleep = PumpMessages;
    CloseHelpWindows();
    EXPECT_FALSE(IsWindow(help));
    EXPECT_EQ(std::vector<DWORD>{50}, clock.sleeps());
}

TEST_F(HelpWindows, AHelpWindowThatNeverClosesIsGivenUpAfter100Rounds)
{
    stubbornHelp = true;
    VirtualClock clock;
    clock.onSleep = PumpMessages;
    CloseHelpWindows();
    EXPECT_TRUE(IsWindow(help));
    EXPECT_EQ(std::vector<DWORD>(100, 50), clock.sleeps());
}

TEST(HelpWindowsAbsent, NoWindowNoWait)
{
    VirtualClock clock;
    CloseHelpWindows();
    EXPECT_TRUE(clock.sleeps().empty());
}

} // namespace
