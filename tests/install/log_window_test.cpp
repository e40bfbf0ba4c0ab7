// The log window: its dialog resource and manifest, its title and text, and when it opens at all.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "dispatcher.h"
#include "dispatcher_internal.h"
#include "import_hook.h"
#include "res/resource.h"
#include "setup_context.h"
#include "setup_log.h"
#include "test_paths.h"

namespace {

const WORD LANG_EN_US = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// Reads the compiled dialog template field by field.
struct TemplateReader {
    const BYTE *p;
    WORD word()
    {
        WORD v;
        memcpy(&v, p, 2);
        p += 2;
        return v;
    }
    DWORD dword()
    {
        DWORD v;
        memcpy(&v, p, 4);
        p += 4;
        return v;
    }
    std::wstring sz()
    {
        std::wstring s;
        for (WORD c; (c = word()) != 0;)
            s += (WCHAR)c;
        return s;
    }
    void align(const BYTE *base)
    {
        while ((p - base) % 4)
            p++;
    }
};

TEST(LogWindowResource, DialogTemplateIsExactlyTheLogWindow)
{
    HRSRC resource =
        FindResourceExW(NULL, (LPCWSTR)RT_DIALOG, MAKEINTRESOURCEW(IDD_LOG), LANG_EN_US);
    ASSERT_NE(nullptr, resource);
    const BYTE *base = static_cast<const BYTE *>(LockResource(LoadResource(NULL, resource)));
    TemplateReader r{base};
    EXPECT_EQ(1, r.word());      // dlgVer
    EXPECT_EQ(0xFFFF, r.word()); // DIALOGEX
    EXPECT_EQ(0u, r.dword());    // help id
    EXPECT_EQ(0u, r.dword());    // extended style
    EXPECT_EQ(0x80C808C8u, r.dword());
    EXPECT_EQ(2, r.word()); // controls
    EXPECT_EQ(0, r.word());
    EXPECT_EQ(0, r.word());
    EXPECT_EQ(451, r.word());
    EXPECT_EQ(228, r.word());
    EXPECT_EQ(0, r.word()); // no menu
    EXPECT_EQ(0, r.word()); // no class
    EXPECT_EQ(L"", r.sz()); // empty caption
    EXPECT_EQ(8, r.word());
    EXPECT_EQ(400, r.word());
    EXPECT_EQ(0, *r.p++); // not italic
    EXPECT_EQ(1, *r.p++); // DEFAULT_CHARSET
    EXPECT_EQ(L"MS Shell Dlg", r.sz());

    const struct {
        DWORD style;
        short x, y, cx, cy;
        DWORD id;
        WORD atom;
        const WCHAR *text;
    } controls[] = {{0x50010001, 394, 207, 50, 14, IDOK, 0x0080, L"Close"},
                    {0x50A108C4, 7, 7, 437, 194, IDC_LOGTEXT, 0x0081, L""}};
    for (const auto &c : controls) {
        r.align(base);
        EXPECT_EQ(0u, r.dword()); // help id
        EXPECT_EQ(0u, r.dword()); // extended style
        EXPECT_EQ(c.style, r.dword()) << "control " << c.id;
        EXPECT_EQ(c.x, (short)r.word());
        EXPECT_EQ(c.y, (short)r.word());
        EXPECT_EQ(c.cx, (short)r.word());
        EXPECT_EQ(c.cy, (short)r.word());
        EXPECT_EQ(c.id, r.dword());
        EXPECT_EQ(0xFFFF, r.word());
        EXPECT_EQ(c.atom, r.word());
        std::wstring text;
        if (*reinterpret_cast<const WORD *>(r.p) == 0xFFFF) {
            r.word();
            r.word();
        } else {
            text = r.sz();
        }
        EXPECT_EQ(std::wstring(c.text), text);
        EXPECT_EQ(0, r.word()); // no creation data
    }
}

TEST(LogWindowResource, ManifestRequestsAdministratorAndCommonControls6)
{
    HRSRC resource = FindResourceExW(NULL, (LPCWSTR)RT_MANIFEST, MAKEINTRESOURCEW(1), LANG_EN_US);
    ASSERT_NE(nullptr, resource);
    const char *text = static_cast<const char *>(LockResource(LoadResource(NULL, resource)));
    std::string manifest(text, SizeofResource(NULL, resource));
    // The manifest's version is the product version, which ends in the tool's build.
    EXPECT_NE(std::string::npos, manifest.find("name=\"Zentavo.Install\" version=\"1.0." +
                                               std::to_string(BUILD_NUMBER) + ".0\""));
    EXPECT_NE(std::string::npos, manifest.find("<description>Zentavo printer setup</description>"));
    EXPECT_NE(std::string::npos,
              manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, manifest.find("publicKeyToken=\"6595b64144ccf1df\""));
    EXPECT_NE(std::string::npos,
              manifest.find("level=\"requireAdministrator\" uiAccess=\"false\""));
}

// What a watcher thread saw of the log window before it closed it.
struct Seen {
    WORD closeWith = IDOK;
    bool screenshot = false;
    HWND window = nullptr;
    std::wstring title, text, closeLabel;
    HWND owner = nullptr;
};

Seen Closing(WORD closeWith, bool screenshot = false)
{
    Seen seen;
    seen.closeWith = closeWith;
    seen.screenshot = screenshot;
    return seen;
}

void SaveScreenshot(HWND window, const std::wstring &path)
{
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + stride * height;
    FILE *out = _wfopen(path.c_str(), L"wb");
    if (out) {
        fwrite(&file, sizeof(file), 1, out);
        fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out);
        fwrite(bits, stride, height, out);
        fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

// The log window watched from a timer of the thread that shows it: the modal loop runs the timer,
// so no second thread is still ending when the test's process ends (Wine's server kills a
// process that is not gone soon after it leaves the server).
Seen *watched;
int ticksSinceFound;
const UINT WATCH_TICK_MS = 50;
const int PAINT_TICKS = 6; // let it paint before the picture is taken

void CALLBACK WatchLogWindow(HWND, UINT, UINT_PTR timer, DWORD)
{
    Seen *seen = watched;
    if (!seen->window) {
        // The modal loop runs once the dialog exists: it is this thread's own.
        HWND found = FindWindowW(L"#32770", NULL);
        if (found && GetWindowThreadProcessId(found, NULL) == GetCurrentThreadId())
            seen->window = found;
        return;
    }
    if (++ticksSinceFound < PAINT_TICKS)
        return;
    KillTimer(NULL, timer);
    WCHAR buffer[4096];
    GetWindowTextW(seen->window, buffer, 4096);
    seen->title = buffer;
    GetDlgItemTextW(seen->window, IDC_LOGTEXT, buffer, 4096);
    seen->text = buffer;
    GetDlgItemTextW(seen->window, IDOK, buffer, 4096);
    seen->closeLabel = buffer;
    seen->owner = GetWindow(seen->window, GW_OWNER);
    if (seen->screenshot) {
        UpdateWindow(seen->window);
        SaveScreenshot(seen->window, BuildDir() + L"log-window.bmp");
    }
    // What the Close button (IDOK) or Esc (IDCANCEL) sends to the dialog.
    PostMessageW(seen->window, WM_COMMAND, MAKEWPARAM(seen->closeWith, BN_CLICKED),
                 (LPARAM)GetDlgItem(seen->window, seen->closeWith));
}

class LogWindow : public ::testing::Test {
protected:
    SetupContext context = {};
    void SetUp() override
    {
        g_instance = GetModuleHandleW(NULL);
        context.logText = NULL;
    }
    void TearDown() override
    {
        FreeString(&context.logText);
    }
    INT_PTR show(Seen &seen, HWND parent = NULL)
    {
        watched = &seen;
        ticksSinceFound = 0;
        UINT_PTR timer = SetTimer(NULL, 0, WATCH_TICK_MS, WatchLogWindow);
        INT_PTR result = DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_LOG), parent,
                                         LogDialogProc, (LPARAM)&context);
        KillTimer(NULL, timer);
        watched = nullptr;
        return result;
    }
};

TEST_F(LogWindow, ShowsTheLogWithAnErrorTitleAndClosesWithClose)
{
    LogLine(&context, L"Zentavo %d", BUILD_NUMBER);
    LogLine(&context, L">Check Spooler");
    context.logDepth = 1;
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(&context, ERR_ADD_MONITOR, L"Can`t install a local port monitor'Zentavo:'");
    context.logDepth = 0;
    LogLine(&context, L">>0010");
    Seen seen = Closing(IDOK, true);
    EXPECT_EQ(1, show(seen));
    ASSERT_NE(nullptr, seen.window) << "needs a display (Xvfb)";
    EXPECT_EQ(L"Zentavo build 2551- Install error log!", seen.title);
    EXPECT_EQ(std::wstring(StringText(context.logText)), seen.text);
    EXPECT_EQ(L"Close", seen.closeLabel);
    EXPECT_FALSE(IsWindow(seen.window));
}

TEST_F(LogWindow, WithoutErrorsTheTitleEndsInLogAndEscReturnsZero)
{
    LogLine(&context, L"Zentavo %d", BUILD_NUMBER);
    Seen seen = Closing(IDCANCEL);
    EXPECT_EQ(0, show(seen));
    EXPECT_EQ(L"Zentavo build 2551- Install log.", seen.title);
    EXPECT_EQ(L"Zentavo 2551\r\n", seen.text);
}

TEST_F(LogWindow, AnEmptyLogShowsAnEmptyText)
{
    Seen seen = Closing(IDOK);
    EXPECT_EQ(1, show(seen));
    EXPECT_EQ(L"", seen.text);
}

TEST_F(LogWindow, TheCallerWindowOwnsIt)
{
    HWND caller =
        CreateWindowExW(0, L"STATIC", L"installer", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    ASSERT_NE(nullptr, caller);
    Seen seen = Closing(IDOK);
    show(seen, caller);
    EXPECT_EQ(caller, seen.owner);
    DestroyWindow(caller);
}

int dialogs;
INT_PTR WINAPI CountingDialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM)
{
    dialogs++;
    return 1;
}

SHORT shiftState;
SHORT WINAPI FakeGetAsyncKeyState(int key)
{
    return key == VK_SHIFT ? shiftState : 0;
}

TEST_F(LogWindow, OpensOnErrorsOrWhileShiftIsHeld)
{
    ImportHook dialog("user32.dll", "DialogBoxParamW",
                      reinterpret_cast<const void *>(&CountingDialogBoxParamW));
    ImportHook keys("user32.dll", "GetAsyncKeyState",
                    reinterpret_cast<const void *>(&FakeGetAsyncKeyState));
    const struct {
        LONG errors;
        SHORT shift;
        int shown;
    } cases[] = {{0, 0, 0}, {0, 1, 0}, {0, (SHORT)0x8000, 1}, {2, 0, 1}, {1, (SHORT)0x8001, 1}};
    for (const auto &c : cases) {
        dialogs = 0;
        shiftState = c.shift;
        context.errorCount = c.errors;
        ShowLogWindowIfNeeded(&context, NULL);
        EXPECT_EQ(c.shown, dialogs) << "errors " << c.errors << " shift " << c.shift;
    }
}

BOOL WINAPI FailingGetUserObjectInformationW(HANDLE, int, PVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A service's window station has no screen: a modal window there could never be closed.
TEST_F(LogWindow, NeverOpensWhereNoOneCanSeeIt)
{
    ImportHook dialog("user32.dll", "DialogBoxParamW",
                      reinterpret_cast<const void *>(&CountingDialogBoxParamW));
    context.errorCount = 1;
    HWINSTA visible = GetProcessWindowStation();
    HWINSTA hidden = CreateWindowStationW(L"LogWindowTest", 0, WINSTA_ALL_ACCESS, NULL);
    ASSERT_NE(nullptr, hidden);
    ASSERT_TRUE(SetProcessWindowStation(hidden));
    dialogs = 0;
    ShowLogWindowIfNeeded(&context, NULL);
    SetProcessWindowStation(visible);
    CloseWindowStation(hidden);
    EXPECT_EQ(0, dialogs) << "on a window station made without WSF_VISIBLE";

    ShowLogWindowIfNeeded(&context, NULL);
    EXPECT_EQ(1, dialogs) << "back on the visible one";

    ImportHook flags("user32.dll", "GetUserObjectInformationW",
                     reinterpret_cast<const void *>(&FailingGetUserObjectInformationW));
    ShowLogWindowIfNeeded(&context, NULL);
    EXPECT_EQ(1, dialogs) << "when the station cannot be asked";
}

// The token's user as the hooked GetTokenInformation reports it; null fails the call.
WELL_KNOWN_SID_TYPE tokenUser;
bool tokenReadable;
BOOL WINAPI FakeGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size,
                                    PDWORD needed)
{
    if (!tokenReadable || kind != TokenUser) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    TOKEN_USER *user = static_cast<TOKEN_USER *>(data);
    DWORD sidSize = size - sizeof(TOKEN_USER);
    user->User.Sid = reinterpret_cast<BYTE *>(data) + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
    *needed = size;
    return CreateWellKnownSid(tokenUser, NULL, user->User.Sid, &sidSize);
}

// A LocalSystem window on a user's desktop would give that user LocalSystem's rights: a tool
// whose token is LocalSystem's, or cannot be read, shows none, errors or not.
TEST_F(LogWindow, NeverOpensFromLocalSystem)
{
    ImportHook dialog("user32.dll", "DialogBoxParamW",
                      reinterpret_cast<const void *>(&CountingDialogBoxParamW));
    ImportHook token("advapi32.dll", "GetTokenInformation",
                     reinterpret_cast<const void *>(&FakeGetTokenInformation));
    context.errorCount = 1;
    const struct {
        bool readable;
        WELL_KNOWN_SID_TYPE user;
        int shown;
    } cases[] = {{true, WinLocalSystemSid, 0},
                 {false, WinLocalSystemSid, 0},
                 {true, WinBuiltinAdministratorsSid, 1},
                 {true, WinLocalServiceSid, 1}};
    for (const auto &c : cases) {
        dialogs = 0;
        tokenReadable = c.readable;
        tokenUser = c.user;
        ShowLogWindowIfNeeded(&context, NULL);
        EXPECT_EQ(c.shown, dialogs) << "readable " << c.readable << " user " << c.user;
    }
}

} // namespace
