// The Windows Installer package's deferred action of install and removal: runs setup.exe from
// the installed folder, or, for a version that a major upgrade replaces, only stops its tray
// companion.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string.h>

#include "action_data.h"
#include "counted_string.h"
#include "setup_run.h"
#include "upgrade_marker.h"

// Its data is "WORD|PRODUCTCODE|FOLDER" (see ParseActionData). The removal of a version that a
// major upgrade replaces runs setup.exe removetray instead of uninstall (which would delete the
// user's printers, which the new version's install keeps); whatever comes of it, the upgrade
// goes on.
extern "C" UINT __stdcall RunSetupTool(MSIHANDLE install)
{
    CountedString data = NULL;
    CountedString productCode = NULL;
    CountedString folder = NULL;
    const SetupCommand *command = NULL;
    UINT result = ERROR_INSTALL_FAILURE;
    if (!ReadActionData(install, &data)) {
        Report(install, REPORT_FAILURE,
               L"setup.exe was not started: the action's data cannot be read.");
    } else if (!ParseActionData(StringText(data), &command, &productCode, &folder)) {
        Report(install, REPORT_FAILURE,
               L"setup.exe was not started: the action's data \"%s\" names no "
               L"command, product and absolute folder.",
               StringText(data));
    } else if (command->purpose == SETUP_STOPS_TRAY ||
               (command->purpose == SETUP_REMOVES &&
                IsBeingReplaced(install, StringText(productCode)))) {
        Report(install, INSTALLMESSAGE_INFO,
               L"A new version replaces %s: setup.exe uninstall is not run.",
               StringText(productCode));
        RunSetup(install, FindSetupCommand(STOP_TRAY_WORD, wcslen(STOP_TRAY_WORD)),
                 StringText(productCode), StringText(folder));
        result = ERROR_SUCCESS;
    } else {
        if (command->purpose == SETUP_INSTALLS)
            ForgetUpgrade();
        result = RunSetup(install, command, StringText(productCode), StringText(folder));
    }
    FreeString(&folder);
    FreeString(&productCode);
    FreeString(&data);
    return result;
}
