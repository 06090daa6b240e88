// Numbers as "0x" hexadecimal text: how every message of the library and of its programs writes
// an identifier or a code. The library's messages write the fewest digits in lower case
// ("0x1f"); the programs pad to a column width in upper case ("0x01F"), as candump writes ids.
#pragma once

#include <cstdint>
#include <string>

namespace jointbus::transport {

enum class HexCase : std::uint8_t { Lower, Upper };

// Appends "0x" and `value` in hexadecimal, zero-padded to at least `min_digits` digits (1 to 8;
// values outside are taken as the nearer bound). Allocates only when `out` must grow.
void append_hex(std::string& out, std::uint32_t value, int min_digits = 1,
                HexCase letters = HexCase::Lower);
[[nodiscard]] std::string hex(std::uint32_t value, int min_digits = 1,
                              HexCase letters = HexCase::Lower);

}  // namespace jointbus::transport
