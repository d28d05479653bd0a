#include "format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace ostina {
namespace {

// Text for the values to_chars would print as "nan" / "inf".
const char* non_finite_text(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

// Places the shortest round-trip digits from to_chars' scientific form
// ("1.5e+21") around the decimal point, padding with zeros. Fixed form alone
// would print the exact binary digits of large values (2^64 as
// "18446744073709551616" rather than "18446744073709552000").
std::string positional_shortest(double value) {
    std::array<char, 32> buffer;
    auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                             std::chars_format::scientific).ptr;
    std::string_view text(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
    std::string out;
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    auto e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits += c;
    auto exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    const long integral_digits = exponent + 1L;
    const long count = static_cast<long>(digits.size());
    if (integral_digits <= 0) return out + "0." + std::string(-integral_digits, '0') + digits;
    if (integral_digits >= count) return out + digits + std::string(integral_digits - count, '0');
    return out + digits.substr(0, integral_digits) + "." + digits.substr(integral_digits);
}

}  // namespace

std::string format_shortest(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    return positional_shortest(value);
}

std::string format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    // 309 integral digits at most, a sign, a point and the decimals.
    std::string buffer(312 + static_cast<std::size_t>(decimals), '\0');
    auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                             std::chars_format::fixed, decimals).ptr;
    buffer.resize(static_cast<std::size_t>(end - buffer.data()));
    return buffer;
}

}  // namespace ostina
