#pragma once

// A small Intel-hex reader of the tests' own, written apart from the tool's,
// to compute what the device's memory must hold after programming a file.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// One Intel-hex (byte-form) record with a correct checksum, without a line
// end. The address field is the low 16 bits of `address`.
std::string intel_record(uint32_t address, int type, const std::vector<int>& data);

// Byte address -> value for every data byte of a byte-form (Intel) hex text,
// honouring types 00, 01, 02 and 04. Throws std::runtime_error on a bad line.
std::map<uint32_t, uint8_t> intel_hex_bytes(const std::string& text);

// Word address -> word for every word of an INHX16 text (word-form records).
std::map<uint32_t, uint16_t> inhx16_words(const std::string& text);

}  // namespace testing_support
