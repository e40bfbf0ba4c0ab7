// Functions of counted_string that only its tests call: not part of its surface.
#pragma once

#include <stddef.h>

// Bytes of the block that holds `length` characters and the terminator, its capacity rounded up
// to whole steps of 32 characters; 0 when it would not fit in a size_t.
size_t CountedStringBlockSize(size_t length);
