// The system's pending file-rename operations.
#include "pending_renames.h"
