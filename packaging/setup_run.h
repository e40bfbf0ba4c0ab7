// Running setup.exe for the package: the command words the package may ask for, and what each
// exit code of the tool means for the package.
#pragma once

#include <windows.h>
#include <msi.h>

const WCHAR SETUP_FILE_NAME[] = L"setup.exe";

// What the run of a command is for.
enum SetupPurpose { SETUP_INSTALLS, SETUP_REMOVES, SETUP_STOPS_TRAY };

// A command word with the exit code of a clean run of it and what the run is for.
struct SetupCommand {
    const WCHAR *word;
    DWORD doneCode;
    SetupPurpose purpose;
};

// What an exit code of setup.exe means for the package.
enum SetupOutcome {
    SETUP_DONE,          // the clean run of the command asked for
    SETUP_REBOOT_NEEDED, // done, and files of the product are removed at the next reboot
    SETUP_ERRORS,        // the tool reported errors, in its support log
    SETUP_UNEXPECTED,    // any other code: another command's, a crash's, a kill's
};

// The removal of a version that a major upgrade replaces only stops the tray companion.
const WCHAR STOP_TRAY_WORD[] = L"removetray";

// The command of the `length` characters at `word`, written as the package writes it; null for
// a word the package does not ask for.
const SetupCommand *FindSetupCommand(const WCHAR *word, size_t length);

SetupOutcome MapExitCode(const SetupCommand *command, DWORD exitCode);

// Runs `folder`setup.exe (folder with its closing backslash) with the command's word and waits
// for it, then logs what its exit code means: a needed reboot is noted for RequestReboot, the
// tool's errors are followed by its support log's run. ERROR_SUCCESS when the run did its
// command, else ERROR_INSTALL_FAILURE.
UINT RunSetup(MSIHANDLE install, const SetupCommand *command, const WCHAR *productCode,
              const WCHAR *folder);
