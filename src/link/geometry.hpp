#pragma once

#include <cstdint>

namespace bootlink {

// The device's program memory as its bootloader reaches it.
constexpr int64_t ADDRESS_LIMIT = 0xFFFFFF;         // addresses travel as three bytes
constexpr uint32_t ROW_BYTES = 64;                  // erased in 64-byte rows
constexpr uint32_t BLOCK_BYTES = 8;                 // written in 8-byte blocks
constexpr uint32_t PROGRAM_MEMORY_END = 0x200000;   // ID, configuration and EEPROM images from here up
constexpr int ERASE_ROWS_MAX = 255;                 // row count byte; 256 goes out as 0 on its own only
constexpr int WRITE_BLOCKS_MAX = 31;                // 248 bytes: a request and its reply fit the 256-byte buffer
constexpr int32_t READ_SINGLE_MAX = 255;            // the length byte's range: one read request up to this
constexpr int32_t READ_CHUNK = 251;                 // per request when a read needs several

}  // namespace bootlink
