#include "python/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace jointbus::python {

namespace {

// True when the special value was written.
bool append_special(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "NaN";  // whatever the sign bit says
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0.0F ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

void append_shortest(std::string& out, float value) {
    if (append_special(out, value)) return;
    // The scientific form holds the shortest round-trip digits, d.ddd, and their exponent;
    // the fixed form would print the exact binary value of a large whole number instead
    // (1e20 as 100000002004087734272).
    char buffer[32];  // "-1.2345678e-45" at most
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* const end = result.ptr;
    const char* cursor = buffer;
    if (*cursor == '-') out += *cursor++;

    char digits[9];  // a float never needs more than 9 significant digits
    std::ptrdiff_t count = 0;
    for (; *cursor != 'e'; ++cursor) {
        if (*cursor != '.') digits[count++] = *cursor;
    }
    const char* exponent_text = cursor + 1;  // after the 'e'; from_chars takes no '+'
    if (*exponent_text == '+') ++exponent_text;
    int exponent = 0;
    std::from_chars(exponent_text, end, exponent);

    // The decimal point falls after `whole` digits.
    const std::ptrdiff_t whole = exponent + 1;
    if (whole <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-whole), '0');
        out.append(digits, static_cast<std::size_t>(count));
    } else if (whole >= count) {
        out.append(digits, static_cast<std::size_t>(count));
        out.append(static_cast<std::size_t>(whole - count), '0');
    } else {
        out.append(digits, static_cast<std::size_t>(whole));
        out += '.';
        out.append(digits + whole, static_cast<std::size_t>(count - whole));
    }
}

void append_four_decimals(std::string& out, float value) {
    if (append_special(out, value)) return;
    // With a precision, to_chars rounds the exact binary value like printf("%.4f") (ties to
    // even, the sign kept on a negative that rounds to zero) but ignores the C locale, whose
    // decimal separator a Python program may have changed.
    char buffer[48];  // FLT_MAX has 39 whole digits
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    out.append(buffer, result.ptr);
}

}  // namespace jointbus::python
