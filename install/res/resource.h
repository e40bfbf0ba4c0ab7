// Resource ids of the tool.
#pragma once

#define IDD_LOG 101
#define IDC_LOGTEXT 1001
