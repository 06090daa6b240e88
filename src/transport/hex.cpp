#include "transport/hex.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace jointbus::transport {

void append_hex(std::string& out, std::uint32_t value, int min_digits, HexCase letters) {
    const char* const digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::array<char, 8> text{};  // a 32-bit value has at most 8 hex digits
    std::size_t start = text.size();
    do {
        text[--start] = digits[value & 0xFU];
        value >>= 4;
    } while (value != 0);
    const auto width = static_cast<std::size_t>(std::clamp(min_digits, 1, 8));
    while (text.size() - start < width) text[--start] = '0';
    out += "0x";
    out.append(text.data() + start, text.size() - start);
}

std::string hex(std::uint32_t value, int min_digits, HexCase letters) {
    std::string out;
    append_hex(out, value, min_digits, letters);
    return out;
}

}  // namespace jointbus::transport
