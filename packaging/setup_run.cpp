// Runs setup.exe from the installed folder and turns its exit code into the package's outcome.
#include "setup_run.h"

#include <string.h>

#include "action_data.h"
#include "counted_string.h"
#include "dispatcher.h"
#include "last_run.h"
#include "reboot_note.h"
#include "services/file_copy.h"
#include "setup_log.h"
#include "support_log.h"

static const SetupCommand SETUP_COMMANDS[] = {
    {L"install", EXIT_INSTALLED, SETUP_INSTALLS},
    {L"in_notray", EXIT_INSTALLED, SETUP_INSTALLS},
    {L"uninstall", EXIT_UNINSTALLED, SETUP_REMOVES},
    // Stops the companion, so that its program file can be removed without a reboot; the new
    // version starts it again. The tool ends it with the code of a run that did no command.
    {STOP_TRAY_WORD, EXIT_NO_COMMAND, SETUP_STOPS_TRAY},
};

const SetupCommand *FindSetupCommand(const WCHAR *word, size_t length)
{
    for (size_t i = 0; i < sizeof(SETUP_COMMANDS) / sizeof(SETUP_COMMANDS[0]); i++) {
        if (wcslen(SETUP_COMMANDS[i].word) == length &&
            wcsncmp(SETUP_COMMANDS[i].word, word, length) == 0)
            return &SETUP_COMMANDS[i];
    }
    return NULL;
}

SetupOutcome MapExitCode(const SetupCommand *command, DWORD exitCode)
{
    if (exitCode == command->doneCode)
        return SETUP_DONE;
    if (exitCode == EXIT_REBOOT_NEEDED)
        return SETUP_REBOOT_NEEDED;
    if (exitCode == EXIT_ERRORS)
        return SETUP_ERRORS;
    return SETUP_UNEXPECTED;
}

// Starts `path` with `commandLine` and waits for its end. The tool bounds its own waits; only
// its log window waits for a person, and the package must not go on (or roll back) while the
// tool still works on the spooler, so the wait has no bound of its own. False, reported, when
// it could not be started or its exit code cannot be read.
static bool RunToEnd(MSIHANDLE install, const WCHAR *path, CountedString commandLine,
                     DWORD *exitCode)
{
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(&process, sizeof(process));
    Report(install, INSTALLMESSAGE_INFO, L"Running %s", StringText(commandLine));
    if (!CreateProcessW(path, commandLine->text, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process)) {
        DWORD error = GetLastError();
        WCHAR *message = SystemMessageText(error);
        Report(install, REPORT_FAILURE, L"%s could not be started: %s (error %lu).", path,
               message ? message : L"no description", error);
        if (message)
            LocalFree(message);
        return false;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    bool known = GetExitCodeProcess(process.hProcess, exitCode) != 0;
    if (!known)
        Report(install, REPORT_FAILURE, L"The exit code of %s is unknown (error %lu).", path,
               GetLastError());
    CloseHandle(process.hProcess);
    return known;
}

// Logs what the run's exit code means and acts on it; the package's result.
static UINT TakeOutcome(MSIHANDLE install, const SetupCommand *command, DWORD exitCode,
                        const WCHAR *productCode, const WCHAR *logPath,
                        const SupportLogState *before)
{
    Report(install, INSTALLMESSAGE_INFO, L"setup.exe %s ended with code %lu.", command->word,
           exitCode);
    switch (MapExitCode(command, exitCode)) {
    case SETUP_DONE:
        return ERROR_SUCCESS;
    case SETUP_REBOOT_NEEDED:
        Report(install, INSTALLMESSAGE_INFO,
               L"Files of the product are removed at the next reboot.");
        NoteRebootNeeded(install, productCode);
        return ERROR_SUCCESS;
    case SETUP_ERRORS:
        Report(install, REPORT_FAILURE, L"setup.exe %s reported errors; its log follows.",
               command->word);
        CopyLastRun(install, logPath, before, exitCode);
        return ERROR_INSTALL_FAILURE;
    case SETUP_UNEXPECTED:
        break;
    }
    Report(install, REPORT_FAILURE, L"setup.exe %s ended with the unexpected code %lu.",
           command->word, exitCode);
    return ERROR_INSTALL_FAILURE;
}

// The package runs without a person at the tool's side (and the tool opens no window as
// LocalSystem anyway): it asks for no log window, whatever account it runs as.
UINT RunSetup(MSIHANDLE install, const SetupCommand *command, const WCHAR *productCode,
              const WCHAR *folder)
{
    CountedString path = NULL;
    CountedString commandLine = NULL;
    CountedString logPath = NULL;
    UINT result = ERROR_INSTALL_FAILURE;
    DWORD exitCode = 0;
    SupportLogState before;
    if (!Assign(&path, folder) || !Append(&path, SETUP_FILE_NAME) || !Assign(&logPath, folder) ||
        !Append(&logPath, SUPPORT_LOG_NAME) || !Assign(&commandLine, L"\"") ||
        !Append(&commandLine, StringText(path)) || !Append(&commandLine, L"\" ") ||
        !Append(&commandLine, command->word) || !Append(&commandLine, L" ") ||
        !Append(&commandLine, NO_WINDOW_WORD)) {
        Report(install, REPORT_FAILURE, L"setup.exe %s was not started: out of memory.",
               command->word);
        goto done;
    }
    NoteSupportLogState(StringText(logPath), &before);
    if (!RunToEnd(install, StringText(path), commandLine, &exitCode))
        goto done;
    result = TakeOutcome(install, command, exitCode, productCode, StringText(logPath), &before);
    // The removed product leaves no log behind; a failed removal keeps it for support.
    if (result == ERROR_SUCCESS && command->purpose == SETUP_REMOVES)
        DeleteOwnFile(StringText(logPath));
done:
    FreeString(&commandLine);
    FreeString(&logPath);
    FreeString(&path);
    return result;
}
