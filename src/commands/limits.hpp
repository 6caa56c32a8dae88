#pragma once

#include <cstdint>

namespace bootlink {

// What the bootloader's requests can address.
constexpr int64_t ADDRESS_LIMIT = 0xFFFFFF;  // program addresses travel as three bytes
constexpr int32_t ROW_BYTES = 64;            // the device erases 64-byte rows
constexpr int32_t BLOCK_BYTES = 8;           // and writes 8-byte blocks
constexpr int32_t ROWS_PER_REQUEST = 255;    // row count byte; 256 goes out as 0 on its own only

}  // namespace bootlink
