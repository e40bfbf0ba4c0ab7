// Control of the "spooler" service.
#include "spooler_service.h"
