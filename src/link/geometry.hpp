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
constexpr int32_t EEPROM_WRITE_MAX = 64;          // EEPROM bytes one write request carries: each takes ms
// How much longer than --timeout a reply may take while the device works.
constexpr int ERASE_ALLOWANCE_MS = 20;       // per row erased
constexpr int WRITE_ALLOWANCE_MS = 5;        // per 8-byte block written
constexpr int BYTE_WRITE_ALLOWANCE_MS = 10;  // per EEPROM or configuration byte (a few ms each)
// How long the part is typically busy, for estimates of a run's time.
constexpr int ROW_ERASE_US = 2000;        // a row takes a couple of ms
constexpr int BLOCK_WRITE_US = 2000;
constexpr int BYTE_WRITE_US = 4000;       // an EEPROM byte takes a few ms

// Where hex files put the other memories, as compilers for these parts lay
// them out (byte addresses).
constexpr uint32_t ID_FIRST = 0x200000;          // ID locations, 8 bytes
constexpr uint32_t ID_END = 0x200008;
constexpr uint32_t CONFIG_FIRST = 0x300000;      // configuration bytes
constexpr uint32_t CONFIG_END = 0x300010;
constexpr uint32_t DEVICE_ID_FIRST = 0x3FFFFE;   // the part's ID, fixed in silicon
constexpr uint32_t DEVICE_ID_END = 0x400000;
constexpr uint32_t EEPROM_FIRST = 0xF00000;      // data EEPROM, byte 0
constexpr int32_t EEPROM_SIZE_DEFAULT = 256;     // the common size; --eeprom-size for others
constexpr int32_t EEPROM_SIZE_MAX = 65536;       // 16-bit EEPROM addresses
constexpr int32_t FLASH_SIZE_MAX = static_cast<int32_t>(PROGRAM_MEMORY_END);  // --flash-size: the largest parts

}  // namespace bootlink
