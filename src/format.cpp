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

// Largest fixed text: 309 integral digits of DBL_MAX, a sign, a point and
// the requested decimals.
template <class... Precision>
std::string to_fixed(double value, Precision... precision) {
    std::array<char, 330 + 1100> buffer;
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                std::chars_format::fixed, precision...);
    return std::string(buffer.data(), result.ptr);
}

}  // namespace

std::string format_shortest(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    return to_fixed(value);
}

std::string format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) return non_finite_text(value);
    return to_fixed(value, decimals);
}

}  // namespace ostina
