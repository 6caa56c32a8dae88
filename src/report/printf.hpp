#pragma once

// The printf whose formats the tool's printing functions take: MinGW's own
// (C99: %zu, %llu) on Windows, the C library's elsewhere.
#ifdef __MINGW32__
#define BOOTLINK_PRINTF gnu_printf
#else
#define BOOTLINK_PRINTF printf
#endif
