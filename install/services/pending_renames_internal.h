// Functions of pending_renames that only its tests call: not part of its surface.
#pragma once

#include <windows.h>

#include "services/pending_renames.h"

// The raw value in a new zero-filled block and its byte count; closes `key` in every case.
BYTE *ReadPendingRenameValue(HKEY key, DWORD *byteCount);
// Builds a table from a raw multi-string of `byteCount` bytes; never reads past it.
PendingRenameTable ParsePendingRenameValue(const BYTE *block, DWORD byteCount);
